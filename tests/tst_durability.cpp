// A stored result is durable before resultCommitted announces it: the
// insertion runs with SQLite's EXTRA synchronous level (in rollback-journal
// mode only EXTRA syncs the folder after the journal is deleted, which is
// the moment of commit), and the folder an image was renamed into is synced
// before the announcement as well.
//
// One case watches the level from inside the insertion with a trigger; the
// other records the system calls of a real host and checks their order.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include "resultmanager.h"
#include "testsupport.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfsettingsmanager.h"

using TestSupport::execSqlite;
using TestSupport::querySqlite;

namespace {

const char hostPath[] = XRF_COMMITHOST;

XrfKorviResult makeResult(int index)
{
    XrfKorviResult r;
    r.analysis().setTestDateTime(
            QDateTime(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC).addMSecs(qint64(index) * 1001));
    r.analysis().setTidName(QStringLiteral("D%1").arg(index));
    XrfChemistryResult fe;
    fe.setElementName(QStringLiteral("Fe"));
    fe.setConcentration(70.5f);
    r.chemistry().append(fe);
    return r;
}

// One system call of a trace written by strace -f: the lines where it began
// and where it ended (they differ when another thread's call came between).
struct Call
{
    QString name;
    QString text;
    int begin = -1;
    int end = -1;
    int line = 0;
};

QList<Call> parseTrace(const QStringList &lines)
{
    static const QRegularExpression whole(QStringLiteral("^(\\d+)\\s+(\\w+)\\((.*)$"));
    static const QRegularExpression resumed(
            QStringLiteral("^(\\d+)\\s+<\\.\\.\\. (\\w+) resumed>(.*)$"));
    const QString unfinished = QStringLiteral(" <unfinished ...>");
    QList<Call> calls;
    QHash<QString, int> open; // pid -> index of its unfinished call
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        QRegularExpressionMatch m = resumed.match(line);
        if (m.hasMatch()) {
            const int index = open.take(m.captured(1));
            if (index >= 0 && index < calls.size()) {
                calls[index].text += m.captured(3);
                calls[index].end = i;
            }
            continue;
        }
        m = whole.match(line);
        if (!m.hasMatch())
            continue;
        Call call;
        call.name = m.captured(2);
        call.text = m.captured(3);
        call.begin = i;
        call.line = i + 1;
        if (call.text.endsWith(unfinished)) {
            call.text.chop(unfinished.size());
            open.insert(m.captured(1), calls.size());
        } else {
            call.end = i;
        }
        calls.append(call);
    }
    return calls;
}

bool isSync(const Call &c)
{
    return c.name == QLatin1String("fsync") || c.name == QLatin1String("fdatasync");
}

// A sync whose file descriptor strace -y resolved to this folder.
bool syncsFolder(const Call &c, const QString &folder)
{
    return isSync(c) && c.text.contains(QLatin1Char('<') + folder + QStringLiteral(">)"))
            && c.text.endsWith(QStringLiteral("= 0"));
}

} // namespace

class TestDurability : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void insertionRunsAtTheExtraLevel();
    void commitAndImageAreSyncedBeforeTheAnnouncement();

private:
    QString dbFile() const { return m_dir->filePath(QStringLiteral("card/db/SN-D.sqlite")); }

    QTemporaryDir *m_dir = nullptr;
    QString m_oldCwd;
};

void TestDurability::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    TestSupport::configureInstrument(QStringLiteral("SN-D"));
    XrfSettingsManager::instance()->setGlobalSetting(QStringLiteral("print"),
                                                     QJsonObject { { "autoPrint", false } });
}

void TestDurability::cleanup()
{
    if (XrfResultManager::m_pInstance)
        XrfResultManager::instance()->Deinit();
    XrfPlatform::instance()->reset();
    XrfMethodManager::instance()->clear();
    QDir::setCurrent(m_oldCwd);
    delete m_dir;
    m_dir = nullptr;
}

// The level is per connection and the library reopens its connection after
// each commit, so two insertions are watched: each must set it again.
void TestDurability::insertionRunsAtTheExtraLevel()
{
    XrfResultManager *rm = XrfResultManager::instance();
    QCOMPARE(rm->init(), XrfErrorInfo::NoError);
    rm->setPaths(m_dir->filePath(QStringLiteral("profile/")),
                 m_dir->filePath(QStringLiteral("card")));
    QVERIFY(QFileInfo::exists(dbFile()));
    // The trigger runs on the library's own connection, inside its insertion.
    QVERIFY(execSqlite(dbFile(),
                       { QStringLiteral("CREATE TABLE syncprobe (level INTEGER)"),
                         QStringLiteral("CREATE TRIGGER syncprobe_after AFTER INSERT ON "
                                        "analysisresult BEGIN INSERT INTO syncprobe SELECT "
                                        "synchronous FROM pragma_synchronous; END") }));

    QSignalSpy committed(rm, &XrfResultManager::resultCommitted);
    QSignalSpy inserted(rm, &XrfResultManager::resultInserted);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(rm->addTestResult(makeResult(i)), XrfErrorInfo::NoError);
        QTRY_COMPARE_WITH_TIMEOUT(committed.count(), i + 1, 5000);
    }
    for (const QList<QVariant> &args : qAsConst(inserted))
        QCOMPARE(args.value(0).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::NoError);
    QCOMPARE(querySqlite(dbFile(), QStringLiteral("SELECT count(*) FROM analysisresult"))
                     .value(0)
                     .toInt(),
             2);
    // 3 is EXTRA; FULL (2) leaves the journal's deletion unsynced.
    QCOMPARE(querySqlite(dbFile(), QStringLiteral("SELECT level FROM syncprobe ORDER BY rowid")),
             QVariantList({ 3, 3 }));
}

void TestDurability::commitAndImageAreSyncedBeforeTheAnnouncement()
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed");
    {
        QProcess probe;
        probe.start(strace,
                    { QStringLiteral("-f"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                      QStringLiteral("true") });
        if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit
            || probe.exitCode() != 0)
            QSKIP(qPrintable(QStringLiteral("strace cannot trace here: ")
                             + QString::fromLocal8Bit(probe.readAllStandardError()).trimmed()));
    }

    // strace -y names descriptors by their resolved paths.
    const QString data = QFileInfo(m_dir->path()).canonicalFilePath() + QStringLiteral("/host");
    const QString dbFolder = data + QStringLiteral("/card/db");
    const QString journal = dbFolder + QStringLiteral("/SN-TRACE.sqlite-journal");
    const QString source = data + QStringLiteral("/card/images/incoming/cam1.jpeg");
    const QString imageFolder = data + QStringLiteral("/card/images/2026-05-04");
    const QString tracePath = m_dir->filePath(QStringLiteral("trace.txt"));

    QProcess host;
    host.start(strace,
               { QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-s"),
                 QStringLiteral("64"), QStringLiteral("-e"),
                 QStringLiteral("trace=unlink,unlinkat,fsync,fdatasync,write,rename,renameat,"
                                "renameat2"),
                 QStringLiteral("-o"), tracePath, QString::fromLocal8Bit(hostPath), data });
    QVERIFY2(host.waitForFinished(60000), "the traced host did not finish");
    const QByteArray out = host.readAllStandardOutput();
    QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0,
             qPrintable(QStringLiteral("host exit %1\n%2")
                                .arg(host.exitCode())
                                .arg(QString::fromLocal8Bit(
                                        host.readAllStandardError().right(3000)))));
    QVERIFY2(out.startsWith("COMMITTED "), out.constData());

    QFile file(tracePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const QList<Call> calls = parseTrace(lines);
    QStringList relevant;
    for (const QString &line : lines)
        if (line.contains(data) || line.contains(QStringLiteral("COMMITTED")))
            relevant << line;
    const QByteArray context = "\ntrace lines that concern the data folder:\n"
            + relevant.join(QLatin1Char('\n')).toUtf8();

    auto find = [&](int from, int to, const std::function<bool(const Call &)> &match) {
        for (int i = from; i < to; ++i)
            if (match(calls.at(i)))
                return i;
        return -1;
    };
    const int marker = find(0, calls.size(), [](const Call &c) {
        return c.name == QLatin1String("write") && c.text.startsWith(QStringLiteral("1<"))
                && c.text.contains(QStringLiteral("\"COMMITTED "));
    });
    QVERIFY2(marker >= 0, "no marker write in the trace" + context);
    const int markerLine = calls.at(marker).begin;
    auto doneBeforeMarker = [&](const Call &c) { return c.end >= 0 && c.end < markerLine; };

    // The commit: the last deletion of the journal before the marker.
    int commit = -1;
    for (int i = 0; i < marker; ++i) {
        const Call &c = calls.at(i);
        if ((c.name == QLatin1String("unlink") || c.name == QLatin1String("unlinkat"))
            && c.text.contains(QLatin1Char('"') + journal + QLatin1Char('"'))
            && c.text.endsWith(QStringLiteral("= 0")) && doneBeforeMarker(c))
            commit = i;
    }
    QVERIFY2(commit >= 0, "no deletion of the journal before the marker" + context);
    const int folderSync = find(commit + 1, marker, [&](const Call &c) {
        return syncsFolder(c, dbFolder) && c.begin > calls.at(commit).end && doneBeforeMarker(c);
    });
    QVERIFY2(folderSync >= 0,
             "the database folder is not synced between the journal's deletion (trace line "
                     + QByteArray::number(calls.at(commit).line) + ") and the marker" + context);

    const int imageMove = find(0, marker, [&](const Call &c) {
        return c.name.startsWith(QLatin1String("rename"))
                && c.text.contains(QLatin1Char('"') + source + QLatin1Char('"'))
                && c.text.contains(QLatin1Char('"') + imageFolder + QLatin1Char('/'))
                && c.text.endsWith(QStringLiteral("= 0"));
    });
    QVERIFY2(imageMove >= 0,
             "no rename of the image into its day folder before the marker" + context);
    QVERIFY2(calls.at(imageMove).end < calls.at(commit).begin,
             "the image was renamed after the commit" + context);
    const int imageSync = find(imageMove + 1, marker, [&](const Call &c) {
        return syncsFolder(c, imageFolder) && c.begin > calls.at(imageMove).end
                && doneBeforeMarker(c);
    });
    QVERIFY2(imageSync >= 0,
             "the image's folder is not synced between its rename and the marker" + context);
}

QTEST_GUILESS_MAIN(TestDurability)
#include "tst_durability.moc"
