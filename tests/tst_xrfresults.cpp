// xrfresults as a person uses it: the real program, run as a process on a
// temporary data folder.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "samplenormaliser.h"
#include "testsupport.h"
#include "xrfkorviresult.h"

using TestSupport::querySqlite;

namespace {

struct Run
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

} // namespace

class TestXrfResults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void storedSamplesShowAsStored();
    void killedStoreResumesWithoutLosingOrDoubling();
    void badInputIsReportedAndLosesNothing();

private:
    Run run(const QStringList &args, int timeoutMs = 120000);
    QString dbFile() const { return m_dir->filePath("data/db/XL5-70312.sqlite"); }
    int storedCount() const
    {
        return querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt();
    }
    QStringList dataArgs() const { return { "--data", m_dir->filePath("data") }; }

    QTemporaryDir *m_dir = nullptr;
};

void TestXrfResults::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void TestXrfResults::cleanup()
{
    delete m_dir;
}

Run TestXrfResults::run(const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.start(QStringLiteral(XRF_XRFRESULTS), args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

void TestXrfResults::storedSamplesShowAsStored()
{
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples");
    Run stored = run(dataArgs() << "store" << samples);
    QCOMPARE(stored.err, QString());
    QCOMPARE(stored.exitCode, 0);
    const QStringList lines = stored.out.split('\n', Qt::SkipEmptyParts);
    const QStringList files = QDir(samples).entryList({ "*.json" }, QDir::Files, QDir::Name);
    QCOMPARE(lines.size(), files.size());

    for (int i = 0; i < files.size(); ++i) {
        QFile f(QDir(samples).filePath(files.at(i)));
        QVERIFY(f.open(QIODevice::ReadOnly));
        XrfKorviResult original;
        original.fromJsonObject(QJsonDocument::fromJson(f.readAll()).object());
        // "<test id>\t<UTC date-time>\t<name>", in the order of the files.
        const QStringList fields = lines.at(i).split('\t');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields.at(1), original.analysis().dateTimeString());
        QCOMPARE(fields.at(2), original.analysis().tidName());
        const int testId = fields.at(0).toInt();

        Run shown = run(dataArgs() << "show" << QString::number(testId) << "--json");
        QCOMPARE(shown.exitCode, 0);
        const QJsonObject got = QJsonDocument::fromJson(shown.out.toUtf8()).object();
        // The bundled configuration's user is the one logged in.
        const QJsonObject want
                = TestSupport::normaliseStored(original, testId, dbFile(), "operator")
                          .toJsonObject();
        QVERIFY2(got == want, qPrintable(files.at(i)));

        Run summary = run(dataArgs() << "show" << QString::number(testId));
        QCOMPARE(summary.exitCode, 0);
        QVERIFY(summary.out.contains(original.analysis().tidName()));
    }
    Run info = run(dataArgs() << "info");
    QCOMPARE(info.exitCode, 0);
    QVERIFY2(info.out.contains(
                     QRegularExpression(QStringLiteral("results\\s+%1\\n").arg(files.size()))),
             qPrintable(info.out));
    QVERIFY(info.out.contains("(0 files)"));
}

void TestXrfResults::killedStoreResumesWithoutLosingOrDoubling()
{
    const QString input = m_dir->filePath("input");
    QCOMPARE(run({ "generate", "150", input }).exitCode, 0);
    QCOMPARE(QDir(input).entryList({ "*.json" }, QDir::Files).size(), 150);

    QProcess store;
    store.start(QStringLiteral(XRF_XRFRESULTS), dataArgs() << "store" << input);
    QVERIFY(store.waitForStarted());
    // Killed while some results are stored and others are still queued.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dbFile()) && storedCount() > 10, 30000);
    store.kill();
    QVERIFY(store.waitForFinished());
    QCOMPARE(store.exitStatus(), QProcess::CrashExit);
    QVERIFY(storedCount() < 150);

    Run again = run(dataArgs() << "store" << input);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.out.split('\n', Qt::SkipEmptyParts).size(), 150);
    QCOMPARE(storedCount(), 150);
    QCOMPARE(querySqlite(dbFile(),
                         "SELECT count(*) FROM (SELECT DISTINCT testDateTime, tidName "
                         "FROM analysisresult)")
                     .value(0)
                     .toInt(),
             150);
    QCOMPARE(QDir(m_dir->filePath("data/resultQueue")).entryList(QDir::Files), QStringList());
}

void TestXrfResults::badInputIsReportedAndLosesNothing()
{
    const QString input = m_dir->filePath("input");
    QVERIFY(QDir().mkpath(input));
    QCOMPARE(run(dataArgs() << "store" << XRF_SOURCE_DIR "/samples/01-stainless-316.json").exitCode,
             0);
    QCOMPARE(storedCount(), 1);

    auto write = [&](const QString &name, const QByteArray &bytes) {
        QFile f(input + '/' + name);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return f.fileName();
    };
    const QString notJson = write("broken.json", "{\"analysis\": {\"tidName\": ");
    const QString notResult = write("other.json", "{\"customer\": \"ACME\"}");
    const QString good = XRF_SOURCE_DIR "/samples/02-rohs-abs-housing.json";

    // The good file is stored all the same; each bad one gets its line.
    Run mixed = run(dataArgs() << "store" << notJson << notResult << good
                               << m_dir->filePath("missing.json"));
    QCOMPARE(mixed.exitCode, 3);
    const QStringList errors = mixed.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(errors.size(), 3);
    for (const QString &line : errors)
        QVERIFY2(line.startsWith("xrfresults: "), qPrintable(line));
    QVERIFY(mixed.err.contains("broken.json: not JSON"));
    QVERIFY(mixed.err.contains("other.json: not a test result"));
    QVERIFY(mixed.err.contains("missing.json: cannot read"));
    QCOMPARE(storedCount(), 2);

    const QList<QStringList> usage {
        { "frobnicate" }, { "--colour", "info" }, {}, { "show", "abc" }, { "info", "--json" }
    };
    for (const QStringList &args : usage) {
        Run r = run(dataArgs() + args);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY(r.err.startsWith("xrfresults: "));
    }
    Run missingId = run(dataArgs() << "show"
                                   << "99");
    QCOMPARE(missingId.exitCode, 2);
    QVERIFY(missingId.err.contains("-1997 ResultNotFound"));

    // A data folder that cannot be made (its parent is a file).
    Run unwritable = run({ "--data", notJson + "/data", "info" });
    QVERIFY(unwritable.exitCode != 0);
    QCOMPARE(unwritable.err.count('\n'), 1);
    QCOMPARE(storedCount(), 2);
}

QTEST_GUILESS_MAIN(TestXrfResults)
#include "tst_xrfresults.moc"
