// Crash durability of the result queue with real processes: a host process
// (queuehost) queues results and is killed with SIGKILL, at armed points in
// the library or at random moments; a restarted host must then store every
// result whose addResult() had returned exactly once, with its image, and
// leave nothing behind in the queue folder.
//
// XRF_CRASH_SEED and XRF_CRASH_KILLS replay or lengthen the random kills.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include "queuehostresults.h"
#include "testsupport.h"

using TestSupport::querySqlite;

namespace {

const char hostPath[] = XRF_QUEUEHOST;
const int hostTimeoutMsecs = 90000;

struct HostRun
{
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    QList<int> added;
    bool done = false;
    QString logPath;
    // A host that ran to its end and shut down as a host does.
    bool clean() const { return exitStatus == QProcess::NormalExit && exitCode == 0 && done; }
};

QString storedDateTime(int index)
{
    return QueueHostResults::testDateTime(index).toString(
            QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

QString tail(const QString &path, int lines = 30)
{
    const QStringList all = QString::fromUtf8(TestSupport::readFile(path)).split('\n');
    return "last lines of " + path + ":\n" + all.mid(qMax(0, all.size() - lines)).join('\n');
}

} // namespace

class TestQueueCrash : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void crashAtArmedPointLosesNothingAndStoresNothingTwice_data();
    void crashAtArmedPointLosesNothingAndStoresNothingTwice();
    void randomKillsLoseNothingAndStoreNothingTwice();
    void resultsQueuedWithoutCardAreStoredOnceTheCardIsThere();
    void unfinishedTemporaryFileIsRemovedAtStart();
    void killedWhileTheDatabaseIsCreated();

private:
    QString dataDir() const { return m_dataDir; }
    QString queueDir() const { return dataDir() + QStringLiteral("/resultQueue"); }
    QString dbPath() const { return dataDir() + QStringLiteral("/card/db/SN-HOST.sqlite"); }

    // Runs the host to its end, or kills it after killAfterMsecs (when >= 0).
    HostRun runHost(const QStringList &args, const QString &crashPoint = QString(),
                    int killAfterMsecs = -1);
    void verifyStore(const QSet<int> &acknowledged, const QSet<int> &attempted);

    QTemporaryDir *m_dir = nullptr;
    QString m_dataDir;
    int m_runs = 0;
};

void TestQueueCrash::init()
{
    QVERIFY2(QFileInfo(QString::fromLocal8Bit(hostPath)).isExecutable(), hostPath);
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("logs"))));
    m_dataDir = m_dir->filePath(QStringLiteral("data"));
    m_runs = 0;
}

void TestQueueCrash::cleanup()
{
    if (QTest::currentTestFailed()) {
        m_dir->setAutoRemove(false);
        qWarning() << "Data and host logs kept in" << m_dir->path();
    }
    delete m_dir;
    m_dir = nullptr;
}

HostRun TestQueueCrash::runHost(const QStringList &args, const QString &crashPoint,
                                int killAfterMsecs)
{
    HostRun run;
    run.logPath = m_dir->filePath(QStringLiteral("logs/%1-%2.log")
                                          .arg(++m_runs, 3, 10, QLatin1Char('0'))
                                          .arg(args.first()));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("XRF_CRASH_POINT"));
    env.remove(QStringLiteral("XRF_FAULT_POINT"));
    if (!crashPoint.isEmpty())
        env.insert(QStringLiteral("XRF_CRASH_POINT"), crashPoint);

    QProcess host;
    host.setProcessEnvironment(env);
    // The host logs a lot; a pipe nobody reads would stall it.
    host.setStandardErrorFile(run.logPath);
    host.start(QString::fromLocal8Bit(hostPath), QStringList { dataDir() } + args);
    if (!host.waitForStarted()) {
        qWarning() << "queuehost did not start:" << host.errorString();
        return run;
    }
    if (!host.waitForFinished(killAfterMsecs >= 0 ? killAfterMsecs : hostTimeoutMsecs)) {
        if (killAfterMsecs < 0)
            qWarning() << "queuehost hung; killing it";
        host.kill();
        host.waitForFinished(hostTimeoutMsecs);
    }
    run.exitStatus = host.exitStatus();
    run.exitCode = host.exitCode();

    // Only whole lines count: a line cut off by the kill was never acknowledged.
    const QByteArray out = host.readAllStandardOutput();
    const QList<QByteArray> lines = out.split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (line.startsWith("added "))
            run.added << line.mid(6).toInt();
        else if (line == "done")
            run.done = true;
    }
    return run;
}

void TestQueueCrash::verifyStore(const QSet<int> &acknowledged, const QSet<int> &attempted)
{
    // Nothing may be left in the queue folder: no queue file, no temporary file.
    const QStringList left = QDir(queueDir())
                                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                | QDir::NoDotAndDotDot);
    QVERIFY2(left.isEmpty(),
             qPrintable(QStringLiteral("left in the queue folder: ")
                        + left.join(QStringLiteral(", "))));

    QHash<QString, int> indexOf; // "date-time<TAB>name" -> index
    for (int index : attempted)
        indexOf.insert(storedDateTime(index) + '\t' + QueueHostResults::tidName(index), index);
    // Rows of "date-time<TAB>name<TAB>value", by the index of their result.
    QHash<int, QStringList> timesStored, images;
    auto collect = [&](QHash<int, QStringList> &into, const QString &value, const QString &from) {
        for (const QVariant &row : querySqlite(
                     dbPath(),
                     "SELECT a.testDateTime || char(9) || a.tidName || char(9) || " + value + from))
            into[indexOf.value(row.toString().section('\t', 0, 1), -1)]
                    << row.toString().section('\t', 2);
    };
    collect(timesStored, "count(*)", " FROM analysisresult a GROUP BY a.testDateTime, a.tidName");
    collect(images, "i.fileName",
            " FROM imageresult i JOIN analysisresult a ON a.testId = i.testId");
    QVERIFY2(!timesStored.contains(-1) && !images.contains(-1), "stored a result nobody added");

    for (auto it = timesStored.cbegin(); it != timesStored.cend(); ++it) {
        const int index = it.key();
        const QString what = QStringLiteral("result %1 (%2acknowledged)")
                                     .arg(index)
                                     .arg(acknowledged.contains(index) ? "" : "not ");
        QVERIFY2(it.value() == QStringList { "1" },
                 qPrintable(what + " stored " + it.value().join(' ') + " times"));
        const QStringList files = images.value(index);
        QVERIFY2(files.size() == (QueueHostResults::hasImage(index) ? 1 : 0),
                 qPrintable(what + " has image rows " + files.join(' ')));
        if (!files.isEmpty())
            QCOMPARE(TestSupport::readFile(dataDir() + "/card/images/" + files.first()),
                     QueueHostResults::imageContent(index));
    }
    for (int index : acknowledged)
        QVERIFY2(timesStored.contains(index),
                 qPrintable(QStringLiteral("acknowledged result %1 was lost").arg(index)));
}

void TestQueueCrash::crashAtArmedPointLosesNothingAndStoresNothingTwice_data()
{
    QTest::addColumn<QString>("point");
    // Where the first result's queue file is whole when the process dies, it
    // must be stored although its addResult() never returned.
    QTest::addColumn<bool>("firstIsDurable");

    QTest::newRow("after the queue file is written") << "queue-after-write" << true;
    QTest::newRow("while a queue file is saved") << "json-save-before-commit" << false;
    QTest::newRow("inside the insertion transaction") << "after-analysis-row" << true;
    QTest::newRow("after the commit") << "after-commit" << true;
}

void TestQueueCrash::crashAtArmedPointLosesNothingAndStoresNothingTwice()
{
    QFETCH(QString, point);
    QFETCH(bool, firstIsDurable);

    const HostRun crashed = runHost({ "add", "0", "6" }, point);
    QVERIFY2(crashed.exitStatus == QProcess::CrashExit,
             qPrintable(QStringLiteral("the host was not killed at %1 (exit code %2)\n%3")
                                .arg(point)
                                .arg(crashed.exitCode)
                                .arg(tail(crashed.logPath))));
    QVERIFY(!crashed.done);
    // Make sure it died where it was meant to, not somewhere else.
    QFile log(crashed.logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY2(log.readAll().contains(point.toUtf8()), qPrintable(tail(crashed.logPath)));

    const HostRun restarted = runHost({ "add", "6", "2" });
    QVERIFY2(restarted.clean(), qPrintable(tail(restarted.logPath)));
    QCOMPARE(restarted.added, QList<int>({ 6, 7 }));
    const HostRun drained = runHost({ "drain" });
    QVERIFY2(drained.clean(), qPrintable(tail(drained.logPath)));

    QSet<int> acknowledged(crashed.added.cbegin(), crashed.added.cend());
    acknowledged << 6 << 7;
    if (firstIsDurable)
        acknowledged << 0;
    verifyStore(acknowledged, { 0, 1, 2, 3, 4, 5, 6, 7 });
}

void TestQueueCrash::randomKillsLoseNothingAndStoreNothingTwice()
{
    const quint32 seed = qEnvironmentVariableIsSet("XRF_CRASH_SEED")
            ? quint32(qEnvironmentVariableIntValue("XRF_CRASH_SEED"))
            : 20260101u;
    // At least this many hosts must die by the kill, not merely be started.
    const int wantedKills = qEnvironmentVariableIsSet("XRF_CRASH_KILLS")
            ? qEnvironmentVariableIntValue("XRF_CRASH_KILLS")
            : 20;
    qInfo("random kills: seed %u, %d kills wanted (XRF_CRASH_SEED, XRF_CRASH_KILLS)", seed,
          wantedKills);
    QRandomGenerator random(seed);

    const int perCycle = 4;
    const int maxCycles = 4 * wantedKills;
    QSet<int> acknowledged, attempted;
    int kills = 0, cycles = 0;
    int killedWhile[3] = {}; // starting, adding, working off the queue
    // Kills land within the time a whole run takes here: where syncs are
    // cheap a host may finish in well under the first bound.
    int latestKill = 400;
    for (; kills < wantedKills && cycles < maxCycles; ++cycles) {
        const int first = cycles * perCycle;
        const int delay = random.bounded(20, latestKill + 1);
        QElapsedTimer clock;
        clock.start();
        const HostRun run = runHost({ "add", QString::number(first), QString::number(perCycle) },
                                    QString(), delay);
        // A host that ran to its end before the kill must have ended cleanly.
        if (run.exitStatus == QProcess::CrashExit) {
            ++kills;
            ++killedWhile[run.added.isEmpty() ? 0 : run.added.size() < perCycle ? 1 : 2];
        } else {
            QVERIFY2(run.exitCode == 0 && run.done, qPrintable(tail(run.logPath)));
            latestKill = qBound(40, int(clock.elapsed() * 9 / 10), latestKill);
        }
        for (int index : run.added) {
            QVERIFY2(index >= first && index < first + perCycle, qPrintable(tail(run.logPath)));
            acknowledged << index;
        }
        for (int index = first; index < first + perCycle; ++index)
            attempted << index;
    }
    qInfo("%d hosts started, %d killed (%d before the first add returned, %d while adding, %d "
          "after), %d of %d results acknowledged",
          cycles, kills, killedWhile[0], killedWhile[1], killedWhile[2], int(acknowledged.size()),
          int(attempted.size()));
    QVERIFY2(kills >= wantedKills, "the hosts kept finishing before they could be killed");

    const HostRun drained = runHost({ "drain" });
    QVERIFY2(drained.clean(), qPrintable(tail(drained.logPath)));
    verifyStore(acknowledged, attempted);
}

void TestQueueCrash::resultsQueuedWithoutCardAreStoredOnceTheCardIsThere()
{
    const HostRun noCard = runHost({ "add", "0", "5", "--no-card" });
    QVERIFY2(noCard.clean(), qPrintable(tail(noCard.logPath)));
    QCOMPARE(noCard.added, QList<int>({ 0, 1, 2, 3, 4 }));
    // Passes without a database leave every result queued, and open nothing.
    QCOMPARE(QDir(queueDir()).entryList({ QStringLiteral("*_*.json") }, QDir::Files).size(), 5);
    QVERIFY(!QFileInfo::exists(dbPath()));

    const HostRun drained = runHost({ "drain" });
    QVERIFY2(drained.clean(), qPrintable(tail(drained.logPath)));
    verifyStore({ 0, 1, 2, 3, 4 }, { 0, 1, 2, 3, 4 });
}

void TestQueueCrash::unfinishedTemporaryFileIsRemovedAtStart()
{
    // Where the folder cannot hold unnamed temporary files (O_TMPFILE), a save
    // cut off by a crash leaves its named temporary file beside the target.
    QVERIFY(QDir().mkpath(queueDir()));
    QFile unfinished(queueDir() + QStringLiteral("/20260101000009000_R9_1.json.Xq3ZkP"));
    QVERIFY(unfinished.open(QIODevice::WriteOnly));
    QVERIFY(unfinished.write("{\"queuedForDb\": false, \"savedToDb\": false, \"result\": {\"analy")
            > 0);
    unfinished.close();

    const HostRun run = runHost({ "add", "0", "2" });
    QVERIFY2(run.clean(), qPrintable(tail(run.logPath)));
    QCOMPARE(run.added, QList<int>({ 0, 1 }));
    QVERIFY(!unfinished.exists());
    verifyStore({ 0, 1 }, { 0, 1 });
}

void TestQueueCrash::killedWhileTheDatabaseIsCreated()
{
    // Each host starts on a new card and is killed a little later than the
    // one before, until one gets past opening the database: one of them dies
    // while the database file is being made. The next host must still store.
    const int stepMsecs = 3;
    const int maxSteps = 200;
    int step = 0;
    for (; step < maxSteps; ++step) {
        m_dataDir = m_dir->filePath(QStringLiteral("data-%1").arg(step));
        const HostRun killed = runHost({ "add", "0", "1" }, QString(), step * stepMsecs);
        const bool pastOpening
                = !killed.added.isEmpty() || killed.exitStatus != QProcess::CrashExit;
        // Killed before it began the file: nothing to look at.
        if (!pastOpening && !QFileInfo::exists(dbPath()))
            continue;

        const HostRun next = runHost({ "add", "1", "1" });
        QVERIFY2(next.clean(),
                 qPrintable(QStringLiteral("after a kill at %1 ms: %2")
                                    .arg(step * stepMsecs)
                                    .arg(tail(next.logPath))));
        verifyStore(QSet<int>(killed.added.cbegin(), killed.added.cend()) << 1, { 0, 1 });
        if (QTest::currentTestFailed())
            return;
        if (pastOpening)
            break;
    }
    QVERIFY2(step < maxSteps, "no host got past opening the database");
    qInfo("the first host past opening the database was killed at %d ms", step * stepMsecs);
}

QTEST_GUILESS_MAIN(TestQueueCrash)
#include "tst_queuecrash.moc"
