// Power cuts: a host (queuehost) runs under the power-cut shim, is killed at
// its Nth file call (or runs to its end), and its data folder is rebuilt as a
// power cut would leave it: only what was synced survives. Right after the
// cut every result whose commit was reported must be in the database; after
// a restart that works the queue off, every result whose addResult() had
// returned must be stored, each exactly once, with its image.
//
// XRF_POWERCUT_CUTS=N runs N random cut points (XRF_POWERCUT_SEED replays)
// instead of the fixed ones (scripts/powercut.sh).

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include "queuehostresults.h"
#include "testsupport.h"

using TestSupport::querySqlite;

namespace {

const int resultCount = 6;

struct Run
{
    QSet<int> added, committed;
    bool clean = false;
    QString cut; // "cut N CALL PATH" or "ended N", from the rebuild
    QString log;
};

} // namespace

class TestPowerCut : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            m_dir.setAutoRemove(false);
            qWarning() << "Data, records and host logs kept in" << m_dir.path();
        }
    }
    void cutsLoseNothingReportedAndStoreNothingTwice();
    void weakerCommitIsCaughtLosingAResult();

private:
    // Runs "add 0 6" under the shim in a new data folder, cut before call
    // `cut` (0: never), and rebuilds the folder from what was synced.
    Run cutHost(int cut, const QString &faultPoint = QString(),
                const QString &crashPoint = QString());
    QProcess::ExitStatus runHost(const QStringList &args, const QProcessEnvironment &env, Run *run);
    // What is wrong with the folder right after the cut, and after a restart.
    QStringList checkAfterCut(const Run &run);
    QStringList checkAfterRestart(const Run &run);
    // Image rows whose file is missing, or not whole for a committed result.
    QStringList pictureProblems(const QSet<int> &committed);
    // Test date-time and name of each stored result, by result index.
    QHash<int, int> storedTimes(QStringList *problems);

    QString dbPath() const { return m_data + QStringLiteral("/card/db/SN-HOST.sqlite"); }

    QTemporaryDir m_dir;
    QString m_data;
    int m_runs = 0;
    int m_calibration = 0; // calls of a whole run
};

void TestPowerCut::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const Run whole = cutHost(0);
    QVERIFY2(whole.clean, qPrintable(whole.log));
    QVERIFY2(whole.cut.startsWith("ended "), qPrintable(whole.cut));
    m_calibration = whole.cut.section(' ', 1, 1).toInt();
    QVERIFY(m_calibration > 50);
    // A cut after a clean end is a cut like any other: the pictures the
    // host never synced must have been made durable by their commits.
    const QStringList problems = checkAfterCut(whole) + checkAfterRestart(whole);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

QProcess::ExitStatus TestPowerCut::runHost(const QStringList &args, const QProcessEnvironment &env,
                                           Run *run)
{
    run->log = m_dir.filePath(QStringLiteral("host-%1.log").arg(++m_runs));
    QProcess host;
    host.setProcessEnvironment(env);
    host.setStandardErrorFile(run->log);
    host.start(QStringLiteral(XRF_QUEUEHOST), QStringList { m_data } + args);
    if (!host.waitForFinished(90000))
        host.kill();
    host.waitForFinished();
    const QList<QByteArray> lines = host.readAllStandardOutput().split('\n');
    // The last piece is no whole line: a kill cut it off.
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (lines.at(i).startsWith("added "))
            run->added << lines.at(i).mid(6).toInt();
        else if (lines.at(i).startsWith("committed "))
            run->committed << lines.at(i).mid(10).toInt();
    }
    run->clean = host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0;
    return host.exitStatus();
}

Run TestPowerCut::cutHost(int cut, const QString &faultPoint, const QString &crashPoint)
{
    Run run;
    m_data = m_dir.filePath(QStringLiteral("data-%1").arg(m_runs));
    const QString shadow = m_dir.filePath(QStringLiteral("shadow-%1").arg(m_runs));
    QDir().mkpath(m_data);
    QDir().mkpath(shadow);
    m_data = QFileInfo(m_data).canonicalFilePath();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XRF_CRASH_POINT"), crashPoint);
    env.insert(QStringLiteral("XRF_FAULT_POINT"), faultPoint);
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(XRF_POWERCUT_LIB));
    env.insert(QStringLiteral("POWERCUT_DIR"), m_data);
    env.insert(QStringLiteral("POWERCUT_SHADOW"), shadow);
    env.insert(QStringLiteral("POWERCUT_CUT"), QString::number(cut));
    runHost({ QStringLiteral("add"), QStringLiteral("0"), QString::number(resultCount) }, env,
            &run);

    QProcess rebuild;
    rebuild.start(QStringLiteral(XRF_POWERCUT_REBUILD), { shadow, m_data });
    rebuild.waitForFinished();
    run.cut = QString::fromUtf8(rebuild.readAllStandardOutput()).trimmed();
    if (rebuild.exitCode() != 0)
        run.cut = "rebuild failed: " + rebuild.readAllStandardError();
    return run;
}

QHash<int, int> TestPowerCut::storedTimes(QStringList *problems)
{
    QHash<int, int> times;
    if (!QFileInfo::exists(dbPath()))
        return times;
    // A read-write open first, so that SQLite rolls back a hot journal.
    TestSupport::execSqlite(dbPath(), { QStringLiteral("SELECT count(*) FROM sqlite_master") });
    const QVariantList check = querySqlite(dbPath(), QStringLiteral("PRAGMA integrity_check"));
    if (check != QVariantList { QStringLiteral("ok") })
        *problems << "integrity check: " + QVariant(check).toStringList().join(' ');
    for (const QVariant &row :
         querySqlite(dbPath(),
                     QStringLiteral("SELECT testDateTime || char(9) || tidName FROM "
                                    "analysisresult"))) {
        const QDateTime when = QDateTime::fromString(row.toString().section('\t', 0, 0),
                                                     QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        const int index = int(QueueHostResults::testDateTime(0).secsTo(
                QDateTime(when.date(), when.time(), Qt::UTC)));
        if (row.toString().section('\t', 1) != QueueHostResults::tidName(index))
            *problems << "stored a result nobody added: " + row.toString();
        ++times[index];
    }
    return times;
}

QStringList TestPowerCut::checkAfterCut(const Run &run)
{
    QStringList problems;
    const QHash<int, int> times = storedTimes(&problems);
    for (int index : run.committed)
        if (times.value(index) != 1)
            problems << QStringLiteral("result %1 reported committed is stored %2 times")
                                .arg(index)
                                .arg(times.value(index));
    return problems + pictureProblems(run.committed);
}

QStringList TestPowerCut::pictureProblems(const QSet<int> &committed)
{
    QStringList problems;
    if (!QFileInfo::exists(dbPath()))
        return problems;
    for (const QVariant &row : querySqlite(
                 dbPath(),
                 QStringLiteral("SELECT a.testDateTime || char(9) || i.fileName FROM imageresult i "
                                "JOIN analysisresult a ON a.testId = i.testId"))) {
        const QDateTime when = QDateTime::fromString(row.toString().section('\t', 0, 0),
                                                     QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        const int index = int(QueueHostResults::testDateTime(0).secsTo(
                QDateTime(when.date(), when.time(), Qt::UTC)));
        const QString file = m_data + "/card/images/" + row.toString().section('\t', 1);
        // The host never syncs its camera files: only what a commit took
        // over must be whole.
        if (!QFileInfo(file).isFile()
            || (committed.contains(index)
                && TestSupport::readFile(file) != QueueHostResults::imageContent(index)))
            problems << QStringLiteral("result %1's picture %2 is missing or wrong")
                                .arg(index)
                                .arg(file);
    }
    return problems;
}

QStringList TestPowerCut::checkAfterRestart(const Run &run)
{
    Run drain;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("XRF_CRASH_POINT"));
    env.remove(QStringLiteral("XRF_FAULT_POINT"));
    runHost({ QStringLiteral("drain") }, env, &drain);
    QStringList problems;
    if (!drain.clean)
        return { "the restarted host failed: " + drain.log };
    const QStringList left
            = QDir(m_data + QStringLiteral("/resultQueue"))
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (!left.isEmpty())
        problems << "left in the queue folder: " + left.join(' ');

    const QHash<int, int> times = storedTimes(&problems);
    for (auto it = times.cbegin(); it != times.cend(); ++it)
        if (it.value() != 1)
            problems << QStringLiteral("result %1 stored %2 times").arg(it.key()).arg(it.value());
    for (int index : run.added)
        if (!times.contains(index))
            problems << QStringLiteral("added result %1 was lost").arg(index);
    return problems + pictureProblems(run.committed);
}

void TestPowerCut::cutsLoseNothingReportedAndStoreNothingTwice()
{
    const int randomCuts = qEnvironmentVariableIntValue("XRF_POWERCUT_CUTS");
    const quint32 seed = qEnvironmentVariableIsSet("XRF_POWERCUT_SEED")
            ? quint32(qEnvironmentVariableIntValue("XRF_POWERCUT_SEED"))
            : QRandomGenerator::global()->generate() % 100000;
    QList<int> cuts;
    if (randomCuts > 0) {
        QRandomGenerator random(seed);
        for (int i = 0; i < randomCuts; ++i)
            cuts << random.bounded(1, m_calibration + 1);
        qInfo("random cuts: seed %u (XRF_POWERCUT_SEED)", seed);
    } else {
        // Spread over a whole run: folders made, queue files, insertions, deletions.
        const int fixed = 14;
        for (int i = 1; i <= fixed; ++i)
            cuts << m_calibration * i / (fixed + 1);
    }

    int killed = 0, committedBefore = 0, addedBefore = 0;
    for (int cut : cuts) {
        const Run run = cutHost(cut);
        QVERIFY2(!run.cut.startsWith("rebuild failed"), qPrintable(run.cut));
        killed += run.cut.startsWith("cut ") ? 1 : 0;
        committedBefore += int(run.committed.size());
        addedBefore += int(run.added.size());
        const QStringList problems = checkAfterCut(run) + checkAfterRestart(run);
        QVERIFY2(problems.isEmpty(),
                 qPrintable(QStringLiteral("after the cut at call %1 (%2) of %3:\n")
                                    .arg(cut)
                                    .arg(run.cut)
                                    .arg(m_data)
                            + problems.join('\n')));
    }
    qInfo("power cuts: %d cut points of about %d calls (%d killed, the rest after the end), "
          "%d results added and %d committed before their cut, 0 lost, 0 duplicated",
          int(cuts.size()), m_calibration, killed, addedBefore, committedBefore);
}

void TestPowerCut::weakerCommitIsCaughtLosingAResult()
{
    // NORMAL in the write-ahead log syncs the log only at checkpoints: cut
    // before the close folds the log in, the result reported committed is
    // gone with the log's unsynced frames.
    const Run run
            = cutHost(0, QStringLiteral("synchronous-weaker"), QStringLiteral("before-close"));
    QVERIFY(run.committed.contains(resultCount - 1));
    const QStringList problems = checkAfterCut(run);
    qInfo("with the commit at NORMAL: %s", qPrintable(problems.join("; ")));
    QVERIFY(!problems.filter(QStringLiteral("committed is stored 0 times")).isEmpty());
}

QTEST_GUILESS_MAIN(TestPowerCut)
#include "tst_powercut.moc"
