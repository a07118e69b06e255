// What an export costs, side by side in one run on the same stored results:
// the facade's full read of every result (the baseline), and exports of the
// same results as JSON, CSV and PDF through the facade, answer included. The
// peak resident memory after exporting 100 and then all results shows
// whether it stays flat.
//
//     exportbench XRFRESULTS COUNT

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "reportapplication.h"
#include "resultmanager.h"
#include "xrfplatform.h"

namespace {

qint64 peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// Seconds for one export of the first `count` results; -1 when it failed.
double exportSeconds(int count, const QString &fileType, int *pages = nullptr)
{
    XrfResultManager *rm = XrfResultManager::instance();
    QStringList ids;
    for (int i = 1; i <= count; ++i)
        ids << QString::number(i);
    const QJsonObject settings {
        { "export",
          QJsonObject { { "selectedLocation", "Default Folder" },
                        { "fileType", fileType },
                        { "selectedTemplate", "FullChemistry" },
                        { "selectedPdfLayout", "Standard" },
                        { "templateOverride", QJsonObject { { "inlineImage", false } } } } }
    };
    XrfJsonMessage msg(count, 119,
                       { { "tidList", QJsonArray::fromStringList(ids) },
                         { "actionToDo", 1 },
                         { "exportSetting", settings } });
    QSignalSpy done(rm, &XrfResultManager::operationDone);
    QElapsedTimer clock;
    clock.start();
    if (rm->exportResultsWithOption(&msg) != XrfErrorInfo::NoError)
        return -1;
    while (done.isEmpty())
        done.wait(1000);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (done.at(0).at(3).toInt() != 0)
        return -1;
    if (pages)
        *pages = count;
    return seconds;
}

QString row(const QString &what, double seconds, int count, double baseline)
{
    return QStringLiteral("%1 %2 s  %3 results/s  %4\n")
            .arg(what, -28)
            .arg(seconds, 7, 'f', 2)
            .arg(count / seconds, 8, 'f', 0)
            .arg(baseline > 0
                         ? QStringLiteral("%1x the full read").arg(seconds / baseline, 0, 'f', 2)
                         : QString());
}

} // namespace

int main(int argc, char *argv[])
{
    const auto app = makeReportApplication(argc, argv);
    QTemporaryDir dir;
    QList<XrfKorviResult> results;
    if (!benchInput(app->arguments(), dir.filePath("in"), &results))
        return 1;
    const QString data = dir.filePath("card");
    storeThroughFacade(results, data, true);
    XrfPlatform::instance()->setInstrumentDataPath(data + "/");
    XrfPlatform::instance()->setExportsFolderPath(XrfPlatform::DefaultFolder,
                                                  dir.filePath("exports"));
    QDir().mkpath(dir.filePath("exports"));
    const int count = results.size();
    XrfResultManager *rm = XrfResultManager::instance();

    QElapsedTimer clock;
    clock.start();
    for (int id = 1; id <= count; ++id) {
        XrfKorviResult r;
        rm->syncGetFullResult(id, &r);
    }
    const double read = clock.nsecsElapsed() / 1e9;

    QTextStream out(stdout);
    out << "exportbench: " << count << " stored results\n";
    out << row("full read (syncGetFullResult)", read, count, 0);
    const double json = exportSeconds(count, "json");
    out << row("JSON export", json, count, read);
    const double csv = exportSeconds(count, "csv");
    out << row("CSV export", csv, count, read);
    const double small = exportSeconds(qMin(100, count), "pdf");
    const qint64 rssSmall = peakRssKb();
    int pages = 0;
    const double pdf = exportSeconds(count, "pdf", &pages);
    out << row("PDF export", pdf, count, read);
    out << QStringLiteral("PDF: %1 pages/s; peak RSS %2 MB after %3 results, %4 MB after %5 "
                          "(100 took %6 s)\n")
                    .arg(pages / pdf, 0, 'f', 0)
                    .arg(rssSmall / 1024.0, 0, 'f', 1)
                    .arg(qMin(100, count))
                    .arg(peakRssKb() / 1024.0, 0, 'f', 1)
                    .arg(count)
                    .arg(small, 0, 'f', 2);
    rm->Deinit();
    return 0;
}
