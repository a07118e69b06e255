// push: the stored results into the lab's shared PostgreSQL database
// (fleetpush.h). The library opens the data folder as for any reading
// command (an older file is upgraded first); the rows are then read from the
// file it names.

#include <QJsonObject>
#include <QTextStream>

#include "commands.h"
#include "fleetpush.h"
#include "progressbar.h"
#include "resultmanager.h"

namespace {

const int defaultBatch = 250;
// Failures named one per line, then counted.
const int namedFailures = 10;

} // namespace

int runPush(const CommandContext &context)
{
    const QMap<QString, QString> &options = context.options;
    if (!context.args.isEmpty())
        return fail(ExitUsage, QStringLiteral("push takes no arguments, only --to URL"));
    if (!options.contains(QStringLiteral("to")))
        return fail(ExitUsage, QStringLiteral("push needs --to postgresql://user@host/database"));
    FleetPush::Target target;
    QString error;
    if (!FleetPush::parseUrl(options.value(QStringLiteral("to")), &target, &error))
        return fail(ExitUsage, error);
    int batch = defaultBatch;
    if (options.contains(QStringLiteral("batch"))) {
        bool ok = false;
        batch = options.value(QStringLiteral("batch")).toInt(&ok);
        if (!ok || batch <= 0)
            return fail(ExitUsage,
                        QStringLiteral("--batch needs a number of results, not '%1'")
                                .arg(options.value(QStringLiteral("batch"))));
    }
    const bool dryRun = options.contains(QStringLiteral("dry-run"));

    QJsonObject info;
    const XrfErrorInfo::XrfError code = XrfResultManager::instance()->getDatabaseInfo(&info);
    if (code != XrfErrorInfo::NoError)
        return fail(ExitLibrary, QStringLiteral("no results database is open") + codeText(code));
    FleetPush push(target, info.value(QStringLiteral("file")).toString());
    if (!push.openSource(&error) || !push.connectServer(&error))
        return fail(ExitLibrary, error);
    bool schemaThere = false;
    if (!push.schemaPresent(&schemaThere, &error))
        return fail(ExitLibrary, error);

    ProgressBar bar(true);
    const auto progress = [&bar](int done, int total) { bar.show(done, total); };
    FleetPush::Counts counts;
    const QString serial = push.instrument().serial;
    if (dryRun) {
        const bool ok = push.dryRun(batch, schemaThere, progress, &counts, &error);
        bar.finish();
        if (!ok)
            return fail(ExitLibrary, error);
        out() << QStringLiteral("%1: would send %2, already there %3%4")
                         .arg(serial)
                         .arg(counts.sent)
                         .arg(counts.there)
                         .arg(schemaThere ? QString()
                                          : QStringLiteral(" (the fleet schema would be created)"))
              << '\n';
        return ExitOk;
    }
    if (!schemaThere && !push.createSchema(&error))
        return fail(ExitLibrary, error);
    const bool ok = push.push(batch, progress, &counts, &error);
    bar.finish();
    out() << QStringLiteral("%1: sent %2, already there %3, failed %4")
                     .arg(serial)
                     .arg(counts.sent)
                     .arg(counts.there)
                     .arg(counts.failed)
          << '\n';
    out().flush();
    if (!ok)
        return fail(ExitLibrary, QStringLiteral("push stopped: ") + error);
    const QStringList failures = push.failures();
    for (int i = 0; i < failures.size() && i < namedFailures; ++i)
        QTextStream(stderr) << "xrfresults: not sent: " << failures.at(i) << '\n';
    if (failures.size() > namedFailures)
        QTextStream(stderr) << "xrfresults: and " << failures.size() - namedFailures
                            << " more not sent\n";
    // The server refused these results as they are stored.
    return failures.isEmpty() ? ExitOk : ExitBadInput;
}
