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

XRF_FIELDS_DEFINE(XrfKorviResult, XRF_KORVIRESULT_FIELDS)
