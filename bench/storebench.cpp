// Measures, side by side in one run, how many results per second reach the
// database (a) when handed straight to the facade, back to back, and (b)
// through `xrfresults store`, which queues each result first (durable queue
// file, hand-over limit, commit report). Prints both rates and their ratio.
//
//     storebench XRFRESULTS COUNT

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include "generatedresults.h"
#include "resultmanager.h"
#include "xrfservices.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        QTextStream(stderr) << "usage: storebench XRFRESULTS COUNT\n";
        return 1;
    }
    const QString xrfresults = args.at(1);
    const int count = args.at(2).toInt();
    QTemporaryDir dir;
    const QString input = dir.filePath("input");
    const QList<XrfKorviResult> results = generatedResults(xrfresults, count, input);
    if (results.isEmpty())
        return 2;

    // (a) The library alone.
    XrfServices::loadConfiguration(XRF_SOURCE_DIR "/config");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    XrfResultManager *rm = XrfResultManager::instance();
    rm->init();
    rm->setPaths(dir.filePath("direct/profile/"), dir.filePath("direct"));
    QSignalSpy committed(rm, &XrfResultManager::resultCommitted);
    QElapsedTimer clock;
    clock.start();
    for (const XrfKorviResult &r : results)
        rm->addTestResult(r);
    while (committed.count() < results.size())
        committed.wait(1000);
    const double directRate = results.size() * 1000.0 / clock.elapsed();
    rm->Deinit();

    // (b) The host through the queue.
    clock.restart();
    QProcess host;
    host.setStandardOutputFile(QProcess::nullDevice());
    host.start(xrfresults, { "--data", dir.filePath("host"), "store", input });
    host.waitForFinished(-1);
    const int rc = host.exitCode();
    const double hostRate = results.size() * 1000.0 / clock.elapsed();
    if (rc != 0)
        return 3;

    out << "results                      " << results.size() << '\n'
        << "library insertion            " << QString::number(directRate, 'f', 1) << " results/s\n"
        << "xrfresults store (queued)    " << QString::number(hostRate, 'f', 1) << " results/s\n"
        << "store / library              " << QString::number(hostRate / directRate, 'f', 2)
        << '\n';
    return 0;
}
