#include "xrfkorviresult.h"

#include <QJsonArray>

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
    // A test info entry is a label and its text; the objects are kept as they
    // come, so their members are checked here (a number or a list would be
    // stored as an empty text; a member left out is an empty one).
    const QJsonArray info = object.value(QStringLiteral("testInfo")).toArray();
    for (int i = 0; i < info.size(); ++i) {
        for (const char *member : { "key", "value" }) {
            const QJsonValue value = info.at(i).toObject().value(QLatin1String(member));
            const QString pointer
                    = QStringLiteral("/testInfo/%1/%2").arg(i).arg(QLatin1String(member));
            if (!value.isString() && !value.isUndefined() && !problems.contains(pointer)
                && !problems.contains(QStringLiteral("/testInfo/%1").arg(i)))
                problems.append(pointer);
        }
    }
    return problems;
}

XRF_FIELDS_DEFINE(XrfKorviResult, XRF_KORVIRESULT_FIELDS)
