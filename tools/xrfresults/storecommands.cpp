// store: result files through the queue into the database; generate: result
// files of realistic variety, without the library.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include "commands.h"
#include "resultfiles.h"
#include "resultgenerator.h"
#include "resultreport.h"
#include "xrfhost.h"

namespace {

QString imagesFolderBeside(const QList<XrfHost::Stored> &results)
{
    return results.isEmpty()
            ? QString()
            : QFileInfo(results.first().source).absolutePath() + QStringLiteral("/images");
}

int storeAndReport(XrfHost &host, QList<XrfHost::Stored> &results, const QString &imagesFrom)
{
    QString error;
    const bool ok = host.store(results, imagesFrom, true, &error);
    for (const XrfHost::Stored &s : results) {
        if (s.testId > 0)
            out() << ResultReport::storedLine(s.testId, s.result) << '\n';
    }
    out().flush();
    if (ok)
        return ExitOk;
    // Only files that name pictures they did not bring: the files' fault.
    int badFiles = 0;
    for (const XrfHost::Stored &s : results)
        badFiles += s.testId <= 0 && s.problemExit == ExitBadInput ? 1 : 0;
    return fail(badFiles == error.count(QLatin1Char('\n')) + 1 ? ExitBadInput : ExitLibrary, error);
}

} // namespace

int runStore(const CommandContext &context)
{
    ResultFiles::Loaded loaded = ResultFiles::load(context.paths);
    const int code
            = storeAndReport(*context.host, loaded.results, imagesFolderBeside(loaded.results));
    for (const QString &problem : loaded.problems)
        QTextStream(stderr) << "xrfresults: " << problem << '\n';
    if (code != ExitOk)
        return code;
    return loaded.problems.isEmpty() ? ExitOk : ExitBadInput;
}

int runGenerate(const CommandContext &context)
{
    bool ok = false;
    const int count = context.args.value(0).toInt(&ok);
    const QString outDir = context.paths.value(1);
    if (!ok || count < 0 || outDir.isEmpty())
        return fail(ExitUsage, QStringLiteral("generate needs a count and a folder"));
    ResultFiles::Loaded samples = ResultFiles::load({ context.samplesDir });
    QList<XrfKorviResult> templates;
    for (const XrfHost::Stored &s : samples.results)
        templates << s.result;
    if (!QDir().mkpath(outDir))
        return fail(ExitUsage, QStringLiteral("cannot create ") + outDir);
    const QDateTime start(QDate(2026, 1, 5), QTime(7, 0), Qt::UTC);
    int i = 0;
    for (const XrfKorviResult &r : ResultGenerator::generate(templates, count, start, 7)) {
        QFile f(QStringLiteral("%1/gen-%2.json").arg(outDir).arg(++i, 5, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(r.toJsonObject()).toJson()) < 0)
            return fail(ExitUsage, QStringLiteral("cannot write ") + f.fileName());
    }
    return ExitOk;
}
