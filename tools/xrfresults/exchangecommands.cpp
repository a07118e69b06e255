// sync-out and import: results carried to a PC or another instrument as a
// mini database (a small SQLite file) or a stream of JSON objects, and
// brought back. Both go through the facade's blocking calls, as the
// analyser's PC link does; the counts of an import come from
// resultsImported, which the library emits before the call returns.

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryFile>

#include "commands.h"
#include "progressbar.h"
#include "requests.h"
#include "resultmanager.h"
#include "xrfhost.h"

namespace {

bool isSqliteFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(16) == QByteArray("SQLite format 3\0", 16);
}

// The objects of a stream, counted as the library reads them (every brace
// counts, also inside texts), for the progress bar only.
int countObjects(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    int objects = 0;
    int depth = 0;
    while (!file.atEnd()) {
        for (const char c : file.read(1 << 16)) {
            if (c == '{' && depth++ == 0)
                ++objects;
            else if (c == '}' && depth > 0)
                --depth;
        }
    }
    return objects;
}

QString captureLine(int captured, int found, const QString &status, const QString &file)
{
    if (found == 0)
        return QStringLiteral("no results after that time; no file written");
    return QStringLiteral("%1 of %2 results (%3) into %4")
            .arg(captured)
            .arg(found)
            .arg(status, file);
}

} // namespace

int runSyncOut(const CommandContext &context)
{
    const QMap<QString, QString> &options = context.options;
    // --json is every command's switch; here it asks for the stream, written
    // to the file given as the argument.
    const bool stream = context.json;
    if (stream == options.contains(QStringLiteral("sqlite")))
        return fail(ExitUsage, QStringLiteral("sync-out writes --sqlite FILE or --json FILE"));
    if (context.paths.size() != (stream ? 1 : 0))
        return fail(ExitUsage,
                    stream ? QStringLiteral("sync-out --json needs one file")
                           : QStringLiteral("sync-out --sqlite takes no other argument"));
    QString from;
    if (!parseUtcBound(options.value(QStringLiteral("from")), &from))
        return fail(ExitUsage,
                    QStringLiteral("sync-out needs --from DATETIME (yyyy-MM-dd hh:mm[:ss[.zzz]] "
                                   "or ISO 8601), not '%1'")
                            .arg(options.value(QStringLiteral("from"))));
    XrfResultManager *rm = XrfResultManager::instance();
    int captured = 0;
    int found = 0;
    QString status;

    if (!stream) {
        for (const char *option : { "to", "ids", "limit" })
            if (options.contains(QLatin1String(option)))
                return fail(ExitUsage,
                            QStringLiteral("--%1 goes with --json; a mini database takes every "
                                           "result after --from, up to 500")
                                    .arg(QLatin1String(option)));
        // The library adds ".sqlite".
        QString name = options.value(QStringLiteral("sqlite"));
        if (name.endsWith(QLatin1String(".sqlite")))
            name.chop(7);
        const XrfErrorInfo::XrfError code
                = rm->getResultsInASqlDbFromTestDateTime(from, name, &captured, &found, &status);
        if (code != XrfErrorInfo::NoError)
            return fail(ExitLibrary,
                        QStringLiteral("sync-out to %1.sqlite").arg(name) + codeText(code));
        out() << captureLine(captured, found, status, name + QStringLiteral(".sqlite")) << '\n';
        return ExitOk;
    }

    QString to;
    if (options.contains(QStringLiteral("to"))
        && !parseUtcBound(options.value(QStringLiteral("to")), &to))
        return fail(ExitUsage,
                    QStringLiteral("--to '%1' is no date-time")
                            .arg(options.value(QStringLiteral("to"))));
    QList<int> ids;
    if (options.contains(QStringLiteral("ids"))
        && !parseTestIds(options.value(QStringLiteral("ids")).split(QLatin1Char(',')), &ids))
        return fail(ExitUsage,
                    QStringLiteral("--ids needs test ids such as 1,2,3, not '%1'")
                            .arg(options.value(QStringLiteral("ids"))));
    bool limitOk = true;
    const uint limit = options.contains(QStringLiteral("limit"))
            ? options.value(QStringLiteral("limit")).toUInt(&limitOk)
            : 0;
    if (!limitOk)
        return fail(ExitUsage,
                    QStringLiteral("--limit needs a number, not '%1'")
                            .arg(options.value(QStringLiteral("limit"))));
    const QString file = context.paths.first();
    const XrfErrorInfo::XrfError code = rm->getAllResultsFromTestDateTime(
            from, to, joinIds(ids), file, &captured, &found, &status, limit);
    // Only "nothing matched" is no failure; a target that is missing,
    // refused or full is named with the library's code.
    if (code == XrfErrorInfo::DatabaseEmpty) {
        out() << captureLine(0, 0, status, file) << '\n';
        return ExitOk;
    }
    if (code != XrfErrorInfo::NoError)
        return fail(ExitLibrary, QStringLiteral("sync-out to ") + file + codeText(code));
    if (status != QLatin1String("Complete") && status != QLatin1String("Partial"))
        return fail(ExitLibrary, QStringLiteral("sync-out to %1: %2").arg(file, status));
    out() << captureLine(captured, found, status, file) << '\n';
    return ExitOk;
}

int runImport(const CommandContext &context)
{
    if (context.paths.size() != 1)
        return fail(ExitUsage, QStringLiteral("import takes one file"));
    const QString file = context.paths.first();
    if (!QFileInfo(file).isFile())
        return fail(ExitBadInput, QStringLiteral("no file ") + file);

    XrfResultManager *rm = XrfResultManager::instance();
    bool reported = false;
    int stored = 0;
    int skipped = 0;
    int failed = 0;
    int picturesMissing = 0;
    // Both signals come from the worker thread while this one waits in the
    // blocking call: direct, or they would arrive after it.
    QObject receiver;
    QObject::connect(
            rm, &XrfResultManager::resultsImported, &receiver,
            [&](int s, int k, int f, int m) {
                reported = true;
                stored = s;
                skipped = k;
                failed = f;
                picturesMissing = m;
            },
            Qt::DirectConnection);

    XrfErrorInfo::XrfError code;
    const bool miniDatabase = isSqliteFile(file);
    if (miniDatabase) {
        code = rm->importResultsFromSqlDb(file);
    } else {
        // The library removes a stream once read, as the instrument's
        // transfer file; the person's own file stays, and its pictures are
        // looked for beside it, not beside the copy. A copy left by a
        // killed run goes with the next run (XrfHost).
        QTemporaryFile copy(context.host->dataDir() + QStringLiteral("/import-XXXXXX.json"));
        QFile source(file);
        if (!copy.open() || !source.open(QIODevice::ReadOnly))
            return fail(ExitLibrary, QStringLiteral("cannot copy %1 for the import").arg(file));
        while (!source.atEnd())
            if (copy.write(source.read(1 << 20)) < 0)
                return fail(ExitLibrary, QStringLiteral("cannot copy %1 for the import").arg(file));
        if (!copy.flush())
            return fail(ExitLibrary, QStringLiteral("cannot copy %1 for the import").arg(file));
        copy.close();
        const int total = countObjects(file);
        ProgressBar bar(!context.json);
        QObject::connect(
                rm, &XrfResultManager::addedNResultsToDb, &receiver,
                [&bar](int added, int all) { bar.show(added, all); }, Qt::DirectConnection);
        code = rm->importResultsFromJsFile(copy.fileName(), total,
                                           QFileInfo(file).absoluteFilePath());
        bar.finish();
        // The stream's reader ends at the end of the file.
        if (code == XrfErrorInfo::FileAccessFailed && reported)
            code = XrfErrorInfo::NoError;
    }
    // Refused before it began (no writable database, no room, not a
    // results file): no counts to give.
    if (code != XrfErrorInfo::NoError && stored + skipped + failed == 0)
        return fail(code == XrfErrorInfo::FileOpenFailed ? ExitBadInput : ExitLibrary,
                    QStringLiteral("import of ") + file + codeText(code));
    if (!reported)
        return fail(ExitLibrary,
                    QStringLiteral("import of %1: the library reported no counts").arg(file)
                            + codeText(code));
    if (context.json)
        printJson(QJsonObject { { QStringLiteral("file"), file },
                                { QStringLiteral("stored"), stored },
                                { QStringLiteral("skipped"), skipped },
                                { QStringLiteral("failed"), failed },
                                { QStringLiteral("picturesMissing"), picturesMissing } });
    else
        out() << QStringLiteral("stored %1, skipped %2 as already there, failed %3")
                         .arg(stored)
                         .arg(skipped)
                         .arg(failed)
              << (picturesMissing > 0 ? QStringLiteral(", %1 pictures missing").arg(picturesMissing)
                                      : QString())
              << '\n';
    if (code != XrfErrorInfo::NoError)
        return fail(ExitLibrary, QStringLiteral("import of ") + file + codeText(code));
    // What could not be stored is in the file still; a file of no results
    // at all is not what the person meant to give.
    if (failed > 0)
        return fail(ExitBadInput,
                    QStringLiteral("%1: %2 results could not be stored").arg(file).arg(failed));
    if (picturesMissing > 0)
        return fail(ExitBadInput,
                    QStringLiteral("%1: %2 pictures it names are not in %3; their results are "
                                   "stored without them (import again with them to add them)")
                            .arg(file)
                            .arg(picturesMissing)
                            .arg(QFileInfo(file).absolutePath()
                                 + QStringLiteral("/instrumentdata/images")));
    if (stored + skipped == 0 && !miniDatabase)
        return fail(ExitBadInput, QStringLiteral("%1: no results in the file").arg(file));
    return ExitOk;
}
