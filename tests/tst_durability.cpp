// A stored result is durable before resultCommitted announces it: the
// insertion runs with SQLite's EXTRA synchronous level (in rollback-journal
// mode only EXTRA syncs the folder after the journal is deleted, which is
// the moment of commit), and the folder an image was renamed into is synced
// before the announcement as well.
//
// One case watches the level from inside the insertion with a trigger; the
// other records the system calls of a real host and checks their order.

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <functional>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "testsupport.h"
#include "xrfsettingsmanager.h"

using TestSupport::querySqlite;

namespace {

// One system call of a trace written by strace -f: the lines where it began
// and where it ended (they differ when another thread's call came between).
struct Call
{
    QString name;
    QString text;
    int begin;
    int end;
};

QList<Call> parseTrace(const QStringList &lines)
{
    static const QRegularExpression re(
            "^(\\d+)\\s+(?:<\\.\\.\\. (\\w+) resumed>|(\\w+)\\()(.*?)( <unfinished \\.\\.\\.>)?$");
    QList<Call> calls;
    QHash<QString, int> open; // pid -> its unfinished call
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = re.match(lines.at(i));
        if (!m.hasMatch())
            continue;
        const QString pid = m.captured(1);
        int at = calls.size();
        if (m.capturedLength(2) > 0)
            at = open.take(pid) - 1;
        else
            calls.append({ m.captured(3), QString(), i, -1 });
        if (at < 0)
            continue;
        calls[at].text += m.captured(4);
        if (m.capturedLength(5) > 0)
            open.insert(pid, at + 1);
        else
            calls[at].end = i;
    }
    return calls;
}

// A sync whose file descriptor strace -y resolved to this folder.
bool syncsFolder(const Call &c, const QString &folder)
{
    return (c.name == QLatin1String("fsync") || c.name == QLatin1String("fdatasync"))
            && c.text.contains('<' + folder + ">)") && c.text.endsWith("= 0");
}

} // namespace

class TestDurability : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { m_lib.end(); }
    void insertionRunsAtTheDurableLevel();
    void commitAndImageAreSyncedBeforeTheAnnouncement();

private:
    TestSupport::LibraryFixture m_lib;
};

// The level is per connection, and other work may lower it between two
// insertions, so both are watched.
void TestDurability::insertionRunsAtTheDurableLevel()
{
    QVERIFY(m_lib.begin("SN-D"));
    XrfSettingsManager::instance()->setGlobalSetting("print",
                                                     QJsonObject { { "autoPrint", false } });
    QVERIFY(m_lib.startFacade());
    m_lib.openCard();
    const QString db = m_lib.path("card/db/SN-D.sqlite");
    // The trigger runs on the library's own connection, inside its insertion.
    QVERIFY(TestSupport::execSqlite(
            db,
            { "CREATE TABLE syncprobe (level INTEGER)",
              "CREATE TRIGGER syncprobe_after AFTER INSERT ON analysisresult BEGIN INSERT INTO "
              "syncprobe SELECT synchronous FROM pragma_synchronous; END" }));
    const QDateTime when(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
    QCOMPARE(m_lib.store(TestSupport::quickResult("D0", when)), 1);
    QCOMPARE(m_lib.store(TestSupport::quickResult("D1", when.addSecs(1))), 2);
    // In the write-ahead log FULL (2) syncs the log at each commit; NORMAL
    // only at checkpoints.
    QCOMPARE(querySqlite(db, "PRAGMA journal_mode"), QVariantList({ "wal" }));
    QCOMPARE(querySqlite(db, "SELECT level FROM syncprobe ORDER BY rowid"), QVariantList({ 2, 2 }));
}

void TestDurability::commitAndImageAreSyncedBeforeTheAnnouncement()
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed");
    QProcess probe;
    probe.start(strace, { "-f", "-o", "/dev/null", "true" });
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit
        || probe.exitCode() != 0)
        QSKIP(qPrintable("strace cannot trace here: " + probe.readAllStandardError().trimmed()));

    QVERIFY(m_lib.begin("SN-D"));
    // strace -y names descriptors by their resolved paths.
    const QString data = QFileInfo(m_lib.path()).canonicalFilePath() + QStringLiteral("/host");
    const QString dbFolder = data + "/card/db";
    const QString log = dbFolder + "/SN-HOST.sqlite-wal";
    const QString source = '"' + data + "/card/images/incoming/cam1.jpeg\"";
    const QString imageFolder = data + "/card/images/2026-01-01";
    const QString tracePath = m_lib.path("trace.txt");

    QProcess host;
    // The leak checker of a sanitizer build traces the process itself, which
    // a traced process cannot.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
    host.setProcessEnvironment(env);
    host.start(strace,
               { "-f", "-y", "-s", "64", "-e",
                 "trace=openat,unlink,unlinkat,fsync,fdatasync,write,pwrite64,rename,renameat,"
                 "renameat2",
                 "-o", tracePath, XRF_QUEUEHOST, data, "commit" });
    QVERIFY2(host.waitForFinished(60000), "the traced host did not finish");
    const QByteArray out = host.readAllStandardOutput();
    QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0,
             qPrintable(QString("host exit %1\n").arg(host.exitCode())
                        + host.readAllStandardError().right(3000)));
    QVERIFY2(out.startsWith("COMMITTED "), out.constData());

    QFile file(tracePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    const QList<Call> calls = parseTrace(lines);
    const QByteArray context = "\ntrace lines that concern the data folder:\n"
            + lines.filter(QRegularExpression(QRegularExpression::escape(data) + "|COMMITTED"))
                      .join('\n')
                      .toUtf8();

    // The first call in [from, to) that matches, or -1.
    auto find = [&](int from, int to, const std::function<bool(const Call &)> &match) {
        for (int i = from; i < to; ++i)
            if (match(calls.at(i)))
                return i;
        return -1;
    };
    const int marker = find(0, calls.size(), [](const Call &c) {
        return c.name == "write" && c.text.startsWith("1<") && c.text.contains("\"COMMITTED ");
    });
    QVERIFY2(marker >= 0, "no marker write in the trace" + context);
    const int markerLine = calls.at(marker).begin;
    auto doneBefore = [&](const Call &c, int after) {
        return c.end >= 0 && c.end < markerLine && c.begin > after && c.text.endsWith("= 0");
    };

    // The commit: the last write to the write-ahead log before the marker,
    // which a sync of the log must follow (the header's own sync of a new
    // log does not count).
    int commit = -1;
    for (int i = 0; i < marker; ++i)
        if (calls.at(i).name.endsWith("write64") && calls.at(i).text.contains('<' + log + ">,"))
            commit = i;
    QVERIFY2(commit >= 0, "no write to the write-ahead log before the marker" + context);
    QVERIFY2(find(commit + 1, marker,
                  [&](const Call &c) {
                      return (c.name == "fsync" || c.name == "fdatasync")
                              && c.text.contains('<' + log + ">)")
                              && doneBefore(c, calls.at(commit).end);
                  }) >= 0,
             "the write-ahead log is not synced between the commit's write (trace line "
                     + QByteArray::number(calls.at(commit).begin + 1) + ") and the marker"
                     + context);
    // A log made new is a name in the folder: lost with it unless synced.
    const int made = find(0, commit, [&](const Call &c) {
        return c.name == "openat" && c.text.contains('"' + log + '"') && c.text.contains("O_CREAT");
    });
    QVERIFY2(made >= 0, "the write-ahead log was not made by this run" + context);
    QVERIFY2(find(made + 1, marker,
                  [&](const Call &c) {
                      return syncsFolder(c, dbFolder) && doneBefore(c, calls.at(made).end);
                  }) >= 0,
             "the database folder is not synced between the log's creation (trace line "
                     + QByteArray::number(calls.at(made).begin + 1) + ") and the marker" + context);

    const int imageMove = find(0, marker, [&](const Call &c) {
        return c.name.startsWith("rename") && c.text.contains(source)
                && c.text.contains('"' + imageFolder + '/') && c.text.endsWith("= 0");
    });
    QVERIFY2(imageMove >= 0,
             "no rename of the image into its day folder before the marker" + context);
    QVERIFY2(calls.at(imageMove).end < calls.at(commit).begin,
             "the image was renamed after the commit" + context);
    QVERIFY2(find(imageMove + 1, marker,
                  [&](const Call &c) {
                      return syncsFolder(c, imageFolder) && doneBefore(c, calls.at(imageMove).end);
                  }) >= 0,
             "the image's folder is not synced between its rename and the marker" + context);
}

QTEST_GUILESS_MAIN(TestDurability)
#include "tst_durability.moc"
