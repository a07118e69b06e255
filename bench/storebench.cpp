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

#include "benchsupport.h"
#include "resultmanager.h"
#include "xrfservices.h"

int main(int argc, char *argv[])
{
    return runBench(
            argc, argv, [&](QTextStream &out, QTemporaryDir &dir, QList<XrfKorviResult> &results) {
                const QString input = dir.filePath("input");
                const QString xrfresults = QCoreApplication::arguments().at(1);

                // (a) The library alone.
                const double directRate = storeThroughFacade(results, dir.filePath("direct"));

                // (b) The host through the queue.
                QElapsedTimer clock;
                clock.start();
                QProcess host;
                host.setStandardOutputFile(QProcess::nullDevice());
                host.start(xrfresults, { "--data", dir.filePath("host"), "store", input });
                host.waitForFinished(-1);
                const int rc = host.exitCode();
                const double hostRate = results.size() * 1000.0 / clock.elapsed();
                if (rc != 0)
                    return 3;

                out << "results                      " << results.size() << '\n'
                    << "library insertion            " << QString::number(directRate, 'f', 1)
                    << " results/s\n"
                    << "xrfresults store (queued)    " << QString::number(hostRate, 'f', 1)
                    << " results/s\n"
                    << "store / library              "
                    << QString::number(hostRate / directRate, 'f', 2) << '\n';
                return 0;
            });
}
