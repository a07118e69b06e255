// show and info: what the library holds, asked of the library.

#include <QJsonDocument>

#include "commands.h"
#include "resultmanager.h"
#include "resultreport.h"

int showResult(const QString &idText, bool json)
{
    bool ok = false;
    const int id = idText.toInt(&ok);
    if (!ok || id <= 0)
        return fail(ExitUsage, QStringLiteral("show needs a test id, not '%1'").arg(idText));
    XrfKorviResult result;
    const XrfErrorInfo::XrfError code
            = XrfResultManager::instance()->syncGetFullResult(id, &result);
    if (code != XrfErrorInfo::NoError && code != XrfErrorInfo::ResultNotFound)
        return fail(ExitLibrary,
                    QStringLiteral("test id %1 cannot be read").arg(id) + codeText(code));
    if (result.analysis().testId() != id)
        return fail(ExitLibrary,
                    QStringLiteral("no result with test id %1").arg(id)
                            + codeText(XrfErrorInfo::ResultNotFound));
    if (json)
        out() << QJsonDocument(result.toJsonObject()).toJson(QJsonDocument::Indented);
    else
        out() << ResultReport::summary(result);
    return ExitOk;
}

int runShow(const CommandContext &context)
{
    return showResult(context.args.value(0), context.json);
}

int runInfo(const CommandContext &context)
{
    out() << ResultReport::info(*context.host);
    return ExitOk;
}
