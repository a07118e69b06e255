// demo: the bundled samples and generated results stored through the queue,
// one of them shown, and the state of the data folder.

#include <QCoreApplication>
#include <QDateTime>

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
    return shown;
}
