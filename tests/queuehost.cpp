// A host of the library, run as a second process: the crash tests kill it at
// any moment, the durability test runs it under a system-call tracer.
//
//   queuehost DATA_DIR add FIRST COUNT [--no-card]
//   queuehost DATA_DIR drain
//   queuehost DATA_DIR commit
//
// "add" queues COUNT results (indices FIRST..FIRST+COUNT-1), printing
// "added <index>" once addResult() has returned for each and "committed
// <index>" when resultCommitted reports one, then waits until the queue has
// worked them off. "drain" only waits until the queue folder is
// empty. Both print "done" and shut down as a host does. With --no-card the
// database is never opened: "add" then lets the queue run a few passes and
// stops with the results still queued. "commit" stores result 0 through the
// facade with its image taken from card/images/incoming/ and writes
// "COMMITTED <testId>" in one write(2) when resultCommitted arrives, so that
// a trace shows the moment the host learnt of the commit.
// Exit codes: 1 failed, 2 usage, 3 gave up waiting.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

#include "libraryfixture.h"
#include "queuehostresults.h"
#include "resultmanager.h"
#include "xrfmethodmanager.h"
#include "xrfresultqueue.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

namespace {

const int giveUpMsecs = 60000;

// One write per line, so that a kill never leaves half a line that could be
// mistaken for a whole one.
void say(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    if (::write(STDOUT_FILENO, bytes.constData(), size_t(bytes.size())) < 0)
        std::perror("write");
}

XrfKorviResult buildResult(int index, const QString &imageName)
{
    static const XrfKorviResult base
            = TestSupport::sample(QStringLiteral("07-copper-awkward-texts"));
    XrfKorviResult r = base;
    r.analysis().setTestDateTime(QueueHostResults::testDateTime(index));
    r.analysis().setTidName(QueueHostResults::tidName(index));
    r.images().clear();
    if (!imageName.isEmpty()) {
        XrfImageInfo image;
        image.setName(imageName);
        r.images().append(image);
    }
    return r;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly) && f.write(content) == content.size())
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

// Runs the event loop until the folder holds nothing (or no queue file, with
// queueFilesOnly); false after the give-up time.
bool waitForEmptyQueue(const QString &folder, bool queueFilesOnly)
{
    QElapsedTimer clock;
    clock.start();
    bool emptied = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QDir dir(folder);
        emptied = (queueFilesOnly
                           ? dir.entryList({ QStringLiteral("*_*.json") }, QDir::Files)
                           : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
                          .isEmpty();
        if (emptied || clock.elapsed() > giveUpMsecs)
            QCoreApplication::quit();
    });
    poll.start(20);
    QCoreApplication::exec();
    return emptied;
}

int commit(XrfResultManager *manager, const QString &dataDir)
{
    if (!writeFile(dataDir + QStringLiteral("/card/images/incoming/cam1.jpeg"), "jpeg of one"))
        return 1;
    int exitCode = 3;
    QObject::connect(manager, &XrfResultManager::resultCommitted, [&](QDateTime, bool, int id) {
        say(QStringLiteral("COMMITTED %1").arg(id));
        exitCode = 0;
        QCoreApplication::quit();
    });
    QObject::connect(manager, &XrfResultManager::resultInserted, [&](XrfErrorInfo::XrfError code) {
        if (code == XrfErrorInfo::NoError)
            return;
        std::fprintf(stderr, "insertion failed: %d\n", int(code));
        exitCode = 1;
        QCoreApplication::quit();
    });
    QTimer::singleShot(30000, &QCoreApplication::quit);
    if (manager->addTestResult(buildResult(0, QStringLiteral("incoming/cam1.jpeg")))
        != XrfErrorInfo::NoError)
        return 1;
    QCoreApplication::exec();
    return exitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString mode = args.value(1);
    bool firstOk = false, countOk = false;
    const int first = args.value(2).toInt(&firstOk);
    const int count = args.value(3).toInt(&countOk);
    const bool adding = mode == QLatin1String("add");
    if (adding ? !firstOk || !countOk
               : args.size() != 2 || (mode != QLatin1String("drain") && mode != "commit")) {
        std::fprintf(stderr,
                     "usage: queuehost DATA_DIR add FIRST COUNT [--no-card]\n"
                     "       queuehost DATA_DIR drain|commit\n");
        return 2;
    }
    const bool noCard = args.contains(QStringLiteral("--no-card"));
    const QString dataDir = QDir(args.at(0)).absolutePath();
    // The queue takes its folder from the current directory when it is built.
    QDir().mkpath(dataDir);
    QDir::setCurrent(dataDir);

    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->setUniversalSetting(QStringLiteral("hardware.config"),
                                  { { QStringLiteral("insSerialNumber"), "SN-HOST" } });
    settings->setGlobalSetting(QStringLiteral("print"), { { QStringLiteral("autoPrint"), false } });
    TestSupport::LibraryFixture::setActions(true, false, false);

    XrfResultManager *manager = XrfResultManager::instance();
    manager->init();
    if (!noCard)
        manager->setPaths(dataDir + QStringLiteral("/profile/"), dataDir + QStringLiteral("/card"));
    if (mode == QLatin1String("commit")) {
        const int exitCode = commit(manager, dataDir);
        manager->Deinit();
        return exitCode;
    }

    XrfResultQueue *queue = XrfResultQueue::instance();
    // The library leaves this connection to its host.
    QObject::connect(manager, &XrfResultManager::resultCommitted, queue,
                     &XrfResultQueue::onResultCommittedToDb);
    queue->setCheckInterval(50);
    QObject::connect(manager, &XrfResultManager::resultCommitted, [](QDateTime when, bool, int) {
        say(QStringLiteral("committed %1").arg(QueueHostResults::testDateTime(0).secsTo(when)));
    });

    bool finished = true;
    if (adding) {
        for (int index = first; index < first + count; ++index) {
            QString imageName;
            if (QueueHostResults::hasImage(index)) {
                // The camera's file is on the card, durably, before the result
                // is queued: the result names it, and is not stored without it.
                imageName = QueueHostResults::imageFileName(index);
                const QString day = QueueHostResults::testDateTime(index).toString("yyyy-MM-dd");
                const QString folder = dataDir + "/card/images/" + day;
                if (!writeFile(folder + '/' + imageName, QueueHostResults::imageContent(index))
                    || !XrfUtils::syncFile(folder + '/' + imageName)
                    || !XrfUtils::syncFolder(folder) || !XrfUtils::syncFolder(folder + "/..")
                    || !XrfUtils::syncFolder(folder + "/../.."))
                    return 1;
            }
            queue->addResult(buildResult(index, imageName));
            say(QStringLiteral("added %1").arg(index));
        }
        if (noCard) {
            // Passes without a database must leave the results where they are.
            QTimer::singleShot(500, &app, &QCoreApplication::quit);
            QCoreApplication::exec();
        } else {
            finished = waitForEmptyQueue(queue->queuePath(), true);
        }
    } else {
        finished = waitForEmptyQueue(queue->queuePath(), false);
    }

    if (finished)
        say(QStringLiteral("done"));
    XrfResultQueue::destroyInstance();
    manager->Deinit();
    return finished ? 0 : 3;
}
