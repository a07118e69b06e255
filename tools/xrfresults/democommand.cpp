// demo: the bundled samples and generated results stored through the queue,
// one of them shown, the state of the data folder, and everything stored
// exported as CSV and PDF.

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>

#include "commands.h"
#include "resultfiles.h"
#include "resultgenerator.h"
#include "resultreport.h"
#include "xrfhost.h"

int runDemo(const CommandContext &context)
{
    XrfHost &host = *context.host;
    const QString &samplesDir = context.samplesDir;
    ResultFiles::Loaded samples = ResultFiles::load({ samplesDir });
    if (samples.results.isEmpty())
        return fail(ExitBadInput, QStringLiteral("no sample results in ") + samplesDir);
    QList<XrfKorviResult> templates;
    for (const XrfHost::Stored &s : samples.results)
        if (s.result.analysis().testType() != QLatin1String("CALCHECK"))
            templates << s.result;
    QList<XrfHost::Stored> all = samples.results;
    const QDateTime morning(QDate::currentDate().addDays(-1), QTime(7, 30), Qt::UTC);
    int n = 0;
    for (const XrfKorviResult &r :
         ResultGenerator::generate(templates, context.generate, morning, 20261206)) {
        XrfHost::Stored s;
        s.source = QStringLiteral("generated #%1").arg(++n);
        s.result = r;
        all << s;
    }
    out() << "Storing " << samples.results.size() << " sample results and " << context.generate
          << " generated results through the result queue...\n";
    out().flush();
    QString error;
    if (!host.store(all, samplesDir + QStringLiteral("/images"), true, &error))
        return fail(ExitLibrary, error);
    out() << "\nOne of them, as stored:\n\n";
    const int shown = showResult(QString::number(all.first().testId), false);
    out() << '\n' << ResultReport::info(host);
    out() << "\nThe library's log is " << host.dataDir() << "/xrfresults.log; look again with\n"
          << "  " << QCoreApplication::applicationFilePath() << " --data " << host.dataDir()
          << " info\n";
    if (shown != ExitOk)
        return shown;

    const QString folder = context.options.value(QStringLiteral("out"));
    if (!folder.isEmpty())
        if (const int code = useExportFolder(folder))
            return code;
    QJsonArray ids;
    for (const XrfHost::Stored &s : qAsConst(all))
        ids << QString::number(s.testId);
    const QJsonObject params {
        { QStringLiteral("tidList"), ids },
        { QStringLiteral("actionToDo"), 1 },
        { QStringLiteral("exportSetting"), methodExportSettings(QStringLiteral("csv,pdf")) },
        { QStringLiteral("outputSingleZip"), false },
    };
    out() << "\nExporting the " << ids.size() << " stored results as CSV and PDF...\n";
    out().flush();
    QJsonObject answer;
    if (const int code = requestExport(params, &answer))
        return code;
    out() << "The export is in "
          << QFileInfo(answer.value(QStringLiteral("outputFile")).toString()).absolutePath()
          << ":\n";
    for (const QString &file : exportedFiles(answer))
        out() << "  " << file << '\n';
    out() << "To look at them in a browser:\n  " << QCoreApplication::applicationFilePath()
          << " --data " << host.dataDir() << " serve    (then open http://127.0.0.1:8080/)\n";
    return ExitOk;
}
