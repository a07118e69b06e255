#include "xrfkorviresult.h"

const QString XrfKorviResult::g_userFactorLabel = QStringLiteral("userFactor");
const QString XrfKorviResult::g_compoundLabel = QStringLiteral("compound");
const QString XrfKorviResult::g_actionLevelLabel = QStringLiteral("actionLevel");

bool XrfKorviResult::isValidResultJson(const QJsonObject &object, QString *why)
{
    auto fail = [why](const QString &problem) {
        if (why)
            *why = problem;
        return false;
    };
    if (!object.value(QStringLiteral("analysis")).isObject())
        return fail(QStringLiteral("no \"analysis\" object"));
    // A member that is present must be of the type the result writes.
    const XrfKorviResult blank;
    const QJsonObject shape = blank.toJsonObject();
    for (auto it = shape.constBegin(); it != shape.constEnd(); ++it) {
        const auto found = object.constFind(it.key());
        if (found != object.constEnd() && found.value().type() != it.value().type())
            return fail(QStringLiteral("member \"%1\" has the wrong type").arg(it.key()));
    }
    return true;
}

QStringList XrfKorviResult::readResultJson(const QJsonObject &object)
{
    XrfFields::ReadLog log;
    fromJsonObject(object, &log);
    QStringList problems = log.problems();
    const QJsonValue analysis = object.value(QStringLiteral("analysis"));
    if (!analysis.isObject()) {
        if (!problems.contains(QStringLiteral("/analysis")))
            problems.prepend(QStringLiteral("/analysis"));
        return problems;
    }
    // An empty text reads as "no date-time", which other records may hold; a result may not.
    const QString dateTimePointer = QStringLiteral("/analysis/testDateTime");
    if (!m_analysis.testDateTime().isValid() && !problems.contains(dateTimePointer))
        problems.prepend(dateTimePointer);
    return problems;
}

XRF_FIELDS_DEFINE(XrfKorviResult, XRF_KORVIRESULT_FIELDS)
