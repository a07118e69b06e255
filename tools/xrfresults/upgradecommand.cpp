// upgrade: the library upgrades an older results database while it opens it
// (before this command runs); this says what the open found and did.

#include <QJsonDocument>
#include <QJsonObject>

#include "commands.h"
#include "resultmanager.h"

int runUpgrade(const CommandContext &context)
{
    QJsonObject info;
    const XrfErrorInfo::XrfError code = XrfResultManager::instance()->getDatabaseInfo(&info);
    if (code != XrfErrorInfo::NoError)
        return fail(ExitLibrary,
                    QStringLiteral("the results database cannot be read") + codeText(code));
    const QString file = info.value(QStringLiteral("file")).toString();
    const QString after = info.value(QStringLiteral("dbVersion")).toString();
    const bool upgraded = info.contains(QStringLiteral("upgradedFrom"));
    const QString before = upgraded ? info.value(QStringLiteral("upgradedFrom")).toString() : after;
    const QString archived = info.value(QStringLiteral("archivedAs")).toString();
    if (context.json) {
        QJsonObject answer {
            { "file", file }, { "before", before }, { "after", after }, { "upgraded", upgraded }
        };
        if (!archived.isEmpty())
            answer.insert(QStringLiteral("archivedAs"), archived);
        out() << QJsonDocument(answer).toJson(QJsonDocument::Indented);
        return ExitOk;
    }
    const QString shown = before.isEmpty() ? QStringLiteral("(none)") : before;
    if (!archived.isEmpty())
        out() << file << ": version " << shown << " was too old to upgrade; archived as "
              << archived << ", new file at version " << after << '\n';
    else if (upgraded)
        out() << file << ": upgraded from version " << shown << " to " << after << '\n';
    else
        out() << file << ": version " << after << ", no upgrade needed\n";
    return ExitOk;
}
