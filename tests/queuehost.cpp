// A minimal host of the result queue, run as a separate process by the
// crash tests so that it can be killed at any moment.
//
//   queuehost DATA_DIR add FIRST COUNT [--no-card]
//   queuehost DATA_DIR drain
//
// "add" queues COUNT results (indices FIRST..FIRST+COUNT-1), printing
// "added <index>" once addResult() has returned for each, then waits until
// the queue has worked them off. "drain" only waits until the queue folder is
// empty. Both print "done" and shut down as a host does. With --no-card the
// database is never opened: "add" then lets the queue run a few passes and
// stops with the results still queued. Exit code 3: gave up waiting.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>

#include "queuehostresults.h"
#include "resultmanager.h"
#include "xrfkorviresult.h"
#include "xrfmethodmanager.h"
#include "xrfresultqueue.h"
#include "xrfsettingsmanager.h"

namespace {

const int giveUpMsecs = 60000;

void say(const QString &line)
{
    // One write per line, so that a kill never leaves half an "added" line
    // that could be mistaken for a whole one.
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

XrfKorviResult buildResult(int index, const QString &imageName)
{
    XrfKorviResult r;
    XrfAnalysisResult &a = r.analysis();
    a.setTestDateTime(QueueHostResults::testDateTime(index));
    a.setTidName(QueueHostResults::tidName(index));
    a.setMethodId(QStringLiteral("alloy"));
    a.setMethodDispName(QStringLiteral("Alloy"));
    a.setFinal(true);

    for (const auto &[name, value] :
         { std::pair { "Fe", 70.5f }, std::pair { "Cr", 18.25f }, std::pair { "Ni", 8.125f } }) {
        XrfChemistryResult c;
        c.setElementName(QLatin1String(name));
        c.setConcentration(value + float(index % 10) / 100);
        c.setError(0.05f);
        r.chemistry().append(c);
    }

    XrfSpectrum s;
    s.setExposureNumber(1);
    s.setTotalExposureNumber(1);
    s.setLiveTime(2.5);
    s.setRealTime(3.0);
    QVector<quint32> channels(1024);
    for (int i = 0; i < channels.size(); ++i)
        channels[i] = quint32((i * 37 + index) % 5000);
    s.setChannels(channels);
    r.spectra().append(s);

    if (!imageName.isEmpty()) {
        XrfImageInfo image;
        image.setName(imageName);
        image.setCropAreaWidth(640);
        image.setCropAreaHeight(480);
        r.images().append(image);
    }
    return r;
}

QStringList queueFolderEntries(const QString &folder, bool queueFilesOnly)
{
    const QDir dir(folder);
    return queueFilesOnly ? dir.entryList({ QStringLiteral("*_*.json") }, QDir::Files)
                          : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Runs the event loop until the queue folder holds nothing (or no queue file
// at all, with queueFilesOnly); false after the give-up time.
bool waitForEmptyQueue(const QString &folder, bool queueFilesOnly)
{
    QElapsedTimer clock;
    clock.start();
    bool emptied = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (queueFolderEntries(folder, queueFilesOnly).isEmpty()) {
            emptied = true;
            QCoreApplication::quit();
        } else if (clock.elapsed() > giveUpMsecs) {
            QCoreApplication::quit();
        }
    });
    poll.start();
    QCoreApplication::exec();
    return emptied;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: queuehost DATA_DIR add FIRST COUNT [--no-card]\n"
                 "       queuehost DATA_DIR drain\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2)
        return usage();
    const QString dataDir = QDir(args.at(0)).absolutePath();
    const QString mode = args.at(1);
    const bool adding = mode == QLatin1String("add");
    if (!adding && mode != QLatin1String("drain"))
        return usage();
    bool firstOk = true, countOk = true;
    const int first = adding && args.size() > 2 ? args.at(2).toInt(&firstOk) : 0;
    const int count = adding && args.size() > 3 ? args.at(3).toInt(&countOk) : 0;
    if (adding && (args.size() < 4 || !firstOk || !countOk))
        return usage();
    const bool noCard = args.contains(QStringLiteral("--no-card"));

    // The queue takes its folder from the current directory when it is built.
    QDir().mkpath(dataDir);
    QDir::setCurrent(dataDir);

    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->setUniversalSetting(QStringLiteral("hardware.config"),
                                  { { QStringLiteral("insSerialNumber"), "SN-CRASH" } });
    settings->setGlobalSetting(
            QStringLiteral("resultActions"),
            { { QStringLiteral("insertToDb"), true }, { QStringLiteral("uploadToCloud"), false } });
    settings->setGlobalSetting(QStringLiteral("cloudSettings"),
                               { { QStringLiteral("enabled"), false } });
    XrfMethodManager::instance()->setExportSettings(
            { { QStringLiteral("export"),
                QJsonObject { { QStringLiteral("autoExport"), false },
                              { QStringLiteral("selectedLocation"), "Default Folder" } } } });

    XrfResultManager *manager = XrfResultManager::instance();
    manager->init();
    if (!noCard)
        manager->setPaths(dataDir + QStringLiteral("/profile/"), dataDir + QStringLiteral("/card"));

    XrfResultQueue *queue = XrfResultQueue::instance();
    // The library leaves this connection to its host.
    QObject::connect(manager, &XrfResultManager::resultCommitted, queue,
                     &XrfResultQueue::onResultCommittedToDb);
    queue->setCheckInterval(50);
    const QString folder = queue->queuePath();

    bool finished = true;
    if (adding) {
        for (int index = first; index < first + count; ++index) {
            QString imageName;
            if (QueueHostResults::hasImage(index)) {
                // The camera's file is on the card before the result is queued.
                const QString day = QueueHostResults::testDateTime(index).toString(
                        QStringLiteral("yyyy-MM-dd"));
                const QString imageDir = dataDir + QStringLiteral("/card/images/") + day;
                imageName = QueueHostResults::imageFileName(index);
                QDir().mkpath(imageDir);
                QFile image(imageDir + QLatin1Char('/') + imageName);
                if (!image.open(QIODevice::WriteOnly)
                    || image.write(QueueHostResults::imageContent(index)) < 0) {
                    std::fprintf(stderr, "cannot write image %s\n", qPrintable(image.fileName()));
                    return 1;
                }
            }
            queue->addResult(buildResult(index, imageName));
            say(QStringLiteral("added %1").arg(index));
        }
        if (noCard) {
            // Passes without a database must leave the results where they are.
            QTimer::singleShot(500, &app, &QCoreApplication::quit);
            QCoreApplication::exec();
        } else {
            finished = waitForEmptyQueue(folder, true);
        }
    } else {
        finished = waitForEmptyQueue(folder, false);
    }

    if (finished)
        say(QStringLiteral("done"));
    XrfResultQueue::destroyInstance();
    manager->Deinit();
    return finished ? 0 : 3;
}
