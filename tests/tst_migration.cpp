// Results database files of older schemas, opened by the library: each is
// brought up to the current schema with every row kept, or, when that
// fails, left byte for byte as it was. The old files are made here from a
// current one that the library wrote (two samples), by recreating each
// table in its old shape and copying the rows over.

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <utility>

#include "libraryfixture.h"
#include "oldschema.h"
#include "resultmanager.h"
#include "resultschema.h"
#include "testsupport.h"
#include "xrfresultsprocess.h"
#include "xrfsettingsmanager.h"

using TestSupport::execSqlite;
using TestSupport::makeOldSchemaFile;
using TestSupport::oldSchema;
using TestSupport::OldSchema;
using TestSupport::querySqlite;
using TestSupport::readFile;

namespace {

const QString serial = QStringLiteral("SN-MIG");
// The serial of the configuration that xrfresults reads by default.
const QString hostSerial = QStringLiteral("XL5-70312");

QMutex s_logMutex;
QStringList s_log;
QtMessageHandler s_previousHandler = nullptr;

void captureLog(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    {
        QMutexLocker lock(&s_logMutex);
        s_log << msg;
    }
    if ((type != QtDebugMsg && type != QtInfoMsg) || msg.startsWith(QLatin1String("the open took")))
        s_previousHandler(type, context, msg);
}

QStringList takeLog()
{
    QMutexLocker lock(&s_logMutex);
    return std::exchange(s_log, QStringList());
}

// A result as the full reader gives it after the steps newer than `version`:
// new columns take the values the steps fill in, replaced pseudo elements
// and rows of tables the file did not have are gone.
QJsonObject expectedAfterUpgrade(QJsonObject result, double version)
{
    const auto setAll = [&result](const char *list, const char *field, const QJsonValue &value) {
        QJsonArray items = result.value(list).toArray();
        for (QJsonValueRef item : items) {
            QJsonObject o = item.toObject();
            o.insert(field, value);
            item = o;
        }
        result.insert(list, items);
    };
    if (version < 4.0) {
        result.insert("actionLevel", QJsonArray());
        QJsonObject analysis = result.value("analysis").toObject();
        for (const char *key : { "latitude", "longitude", "elevation" })
            analysis.insert(key, QJsonValue::Null);
        result.insert("analysis", analysis);
    }
    if (version < 4.1)
        setAll("gradeMatch", "matchNSigma", -1);
    if (version < 6.1)
        result.insert("pseudoElement", QJsonArray());
    if (version < 6.2)
        setAll("userFactor", "userEntered", true);
    if (version < 6.3)
        setAll("images", "imageHasCircle", false);
    return result;
}

} // namespace

class TestMigration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { qInstallMessageHandler(s_previousHandler); }
    void init();
    void cleanup() { m_lib.end(); }

    void upgradeKeepsEveryRowAndRunsOnce_data();
    void upgradeKeepsEveryRowAndRunsOnce();
    void tooOldFileIsArchivedBesideANewOne_data();
    void tooOldFileIsArchivedBesideANewOne();
    void failedUpgradeLeavesTheFileAsItWas_data();
    void failedUpgradeLeavesTheFileAsItWas();
    void migrationProgram_data();
    void migrationProgram();
    void addedColumnsAreAddedButNeverRefilled();
    void upgradeCommandCompletesAStepCutOffByAKill();

private:
    QString dbFile() const { return m_lib.path("card/db/" + serial + ".sqlite"); }
    QString reference() const { return m_refDir.filePath("reference.sqlite"); }
    bool open()
    {
        if (!m_lib.rm && !m_lib.startFacade())
            return false;
        m_lib.openCard();
        return m_lib.rm->databaseAvailable();
    }
    QStringList dbFolder() const { return TestSupport::databaseFolder(m_lib.path("card/db")); }
    XrfResultsProcess::Run xr(const QStringList &args,
                              const QProcessEnvironment &env
                              = QProcessEnvironment::systemEnvironment())
    {
        return XrfResultsProcess::run(QStringList { "--data", m_lib.path("data") } + args, 60000,
                                      QString(), env);
    }
    QString hostDbFile() const { return m_lib.path("data/db/" + hostSerial + ".sqlite"); }

    TestSupport::LibraryFixture m_lib;
    QTemporaryDir m_refDir;
    QList<QJsonObject> m_referenceResults;
};

void TestMigration::initTestCase()
{
    s_previousHandler = qInstallMessageHandler(captureLog);
    QVERIFY(m_refDir.isValid());
    QVERIFY(m_lib.begin(serial));
    QVERIFY(m_lib.startFacade());
    m_lib.openCard();
    for (const char *name : { "01-stainless-316", "05-brass-repeat" }) {
        const XrfKorviResult r = TestSupport::sample(name);
        QVERIFY(TestSupport::placeImages(r, m_lib.path("card")));
        const int id = m_lib.store(r);
        QVERIFY(id > 0);
        XrfKorviResult stored;
        QCOMPARE(m_lib.rm->syncGetFullResult(id, &stored), XrfErrorInfo::NoError);
        m_referenceResults << stored.toJsonObject();
    }
    m_lib.stopLibrary();
    QVERIFY(QFile::copy(dbFile(), reference()));
    // The samples have rows in every table a step touches.
    for (const char *table :
         { "gradematch", "userfactorresult", "imageresult", "pseudoelementresult" })
        QVERIFY2(querySqlite(reference(), QString("SELECT count(*) FROM ") + table).value(0).toInt()
                         > 0,
                 table);
    m_lib.end();
}

void TestMigration::init()
{
    QVERIFY(m_lib.begin(serial));
    takeLog();
}

void TestMigration::upgradeKeepsEveryRowAndRunsOnce_data()
{
    QTest::addColumn<QString>("version");
    for (const char *v : { "3.2", "4.0", "4.1", "5.0", "6.1", "6.2" })
        QTest::newRow(v) << QString(v);
}

void TestMigration::upgradeKeepsEveryRowAndRunsOnce()
{
    QFETCH(QString, version);
    const double v = version.toDouble();
    QVERIFY(makeOldSchemaFile(reference(), dbFile(), oldSchema(version)));
    const QByteArray original = readFile(dbFile());

    QVERIFY(open());
    QCOMPARE(querySqlite(dbFile(), "SELECT dbVersion FROM devinfo"), QVariantList { "6.3" });
    for (int i = 0; i < m_referenceResults.size(); ++i) {
        XrfKorviResult r;
        QCOMPARE(m_lib.rm->syncGetFullResult(i + 1, &r), XrfErrorInfo::NoError);
        QCOMPARE(QJsonDocument(r.toJsonObject()).toJson(),
                 QJsonDocument(expectedAfterUpgrade(m_referenceResults.at(i), v)).toJson());
    }
    // Replaced pseudo element rows are kept aside; the new table has its index.
    const QString aside = "SELECT count(*) FROM pseudoelementresult_before61";
    const int replaced = v >= 4.0 && v < 6.1
            ? querySqlite(reference(), "SELECT count(*) FROM pseudoelementresult").value(0).toInt()
            : 0;
    QCOMPARE(querySqlite(dbFile(), aside).value(0).toInt(), replaced);
    QCOMPARE(querySqlite(dbFile(),
                         "SELECT tbl_name FROM sqlite_master "
                         "WHERE name = 'pseudoelementresultindex'"),
             QVariantList { "pseudoelementresult" });
    // Made in the rollback journal's days and without the lookup's index,
    // the file now runs like a new one.
    QCOMPARE(querySqlite(dbFile(), "PRAGMA journal_mode"), QVariantList { "wal" });
    QCOMPARE(querySqlite(dbFile(),
                         "SELECT sql FROM sqlite_master WHERE name = 'analysisresultkeyindex'"),
             QVariantList { "CREATE INDEX analysisresultkeyindex ON analysisresult "
                            "(testDateTime,tidName)" });

    // The steps newer than the file's version, in order, then the marking.
    QStringList steps;
    const QStringList log = takeLog();
    for (const QString &line : log)
        if (line.startsWith("Upgraded database to version") || line.startsWith("Marked database"))
            steps << line.split(' ').last().remove('"');
    QStringList expected;
    for (const char *step : { "4.0", "4.1", "5.0", "6.1", "6.2", "6.3" })
        if (QString(step).toDouble() > v)
            expected << step;
    expected << "6.3";
    QCOMPARE(steps, expected);
    QCOMPARE(log.filter("step 5.0 is skipped").size(), v < 5.0 ? 1 : 0);

    QJsonObject info;
    QCOMPARE(m_lib.rm->getDatabaseInfo(&info), XrfErrorInfo::NoError);
    QCOMPARE(info.value("upgradedFrom").toString(), version);
    QCOMPARE(readFile(dbFile() + ".before-upgrade"), original);

    // Opened again, the file is as the upgrade left it, and the copy goes.
    m_lib.stopLibrary();
    const QByteArray upgraded = readFile(dbFile());
    QVERIFY(open());
    QCOMPARE(readFile(dbFile()), upgraded);
    QCOMPARE(dbFolder(), QStringList { serial + ".sqlite" });
}

void TestMigration::tooOldFileIsArchivedBesideANewOne_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("3.1") << QString("3.1");
    QTest::newRow("no device row") << QString();
}

void TestMigration::tooOldFileIsArchivedBesideANewOne()
{
    QFETCH(QString, version);
    QVERIFY(makeOldSchemaFile(reference(), dbFile(), oldSchema(version)));
    const QByteArray original = readFile(dbFile());

    QVERIFY(open());
    const QStringList files = dbFolder();
    const QStringList archived = files.filter(QRegularExpression(
            "^" + serial + "-\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.sqlite$"));
    QCOMPARE(archived.size(), 1);
    QCOMPARE(files.size(), 3); // the new file, the archived one and the copy
    const QString archivedPath = m_lib.path("card/db/" + archived.first());
    QCOMPARE(readFile(archivedPath), original);

    QCOMPARE(querySqlite(dbFile(), "SELECT dbVersion || '/' || devSerialNum FROM devinfo"),
             QVariantList { "6.3/" + serial });
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult"), QVariantList { 0 });
    QCOMPARE(querySqlite(dbFile(),
                         "SELECT count(*) FROM sqlite_master WHERE type = 'table' "
                         "AND name NOT LIKE 'sqlite_%'"),
             QVariantList { 22 });
    QJsonObject info;
    QCOMPARE(m_lib.rm->getDatabaseInfo(&info), XrfErrorInfo::NoError);
    QCOMPARE(info.value("upgradedFrom").toString(), version);
    QCOMPARE(QFileInfo(info.value("archivedAs").toString()).canonicalFilePath(),
             QFileInfo(archivedPath).canonicalFilePath());
}

void TestMigration::failedUpgradeLeavesTheFileAsItWas_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("faultPoint");
    QTest::addColumn<QString>("program"); // or "stale copy"
    const auto row = [](const char *name, const char *version, const char *fault,
                        const char *program = "") {
        QTest::newRow(name) << QString(version) << QString(fault) << QString(program);
    };
    row("first step", "4.0", "migration-step-4.1");
    row("last step", "4.0", "migration-step-6.3");
    row("pseudo element table", "5.0", "migration-step-6.1");
    row("marking", "6.2", "migration-mark");
    row("copy aside", "4.1", "migration-backup");
    row("archive rename", "3.1", "migration-archive");
    row("marking after archiving", "3.1", "migration-mark");
    row("missing program", "4.1", "", "/nonexistent/migrate");
    row("newer file", "7.0", "");
    // A copy of another file beside it is no copy of this one.
    row("stale copy beside it", "4.0", "migration-step-6.2", "stale copy");
}

void TestMigration::failedUpgradeLeavesTheFileAsItWas()
{
    QFETCH(QString, version);
    QFETCH(QString, faultPoint);
    QFETCH(QString, program);
    QVERIFY(makeOldSchemaFile(reference(), dbFile(), oldSchema(version)));
    const QByteArray original = readFile(dbFile());
    if (!faultPoint.isEmpty())
        qputenv("XRF_FAULT_POINT", faultPoint.toUtf8());
    if (program == "stale copy")
        QVERIFY(QFile::copy(reference(), dbFile() + ".before-upgrade"));
    else if (!program.isEmpty())
        XrfSettingsManager::instance()->setUniversalSetting("database.migration",
                                                            QJsonObject { { "program", program } });

    QVERIFY(!open());
    QCOMPARE(readFile(dbFile()), original);
    QCOMPARE(dbFolder(), QStringList { serial + ".sqlite" });
    const QString why = m_lib.rm->databaseOpenError();
    QVERIFY2(!why.isEmpty(), "no reason given");
    if (version == "7.0") {
        QVERIFY2(why.contains("7.0") && why.contains("newer"), qPrintable(why));
        return;
    }

    // Without the fault the same file upgrades.
    qunsetenv("XRF_FAULT_POINT");
    XrfSettingsManager::instance()->removeUniversalSetting("database.migration");
    QVERIFY(open());
    QCOMPARE(querySqlite(dbFile(), "SELECT dbVersion FROM devinfo"), QVariantList { "6.3" });
}

void TestMigration::migrationProgram_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: none configured
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("minMsecs");
    QTest::addColumn<int>("maxMsecs");
    QTest::newRow("none configured") << QByteArray() << true << 0 << 2000;
    QTest::newRow("succeeds") << QByteArray("echo \"migrating $1\"\necho \"$1\" > \"$0.ran\"\n")
                              << true << 0 << 5000;
    QTest::newRow("fails") << QByteArray("echo broken >&2\nexit 3\n") << false << 0 << 5000;
    QTest::newRow("hangs") << QByteArray("exec sleep 30\n") << false << 500 << 10000;
}

void TestMigration::migrationProgram()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, opens);
    QFETCH(int, minMsecs);
    QFETCH(int, maxMsecs);
    QVERIFY(makeOldSchemaFile(reference(), dbFile(), oldSchema("4.1")));
    const QByteArray original = readFile(dbFile());
    const QString program = m_lib.path("migrate.sh");
    if (!script.isEmpty()) {
        QVERIFY(TestSupport::writeFile(program, "#!/bin/sh\n" + script));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
        XrfSettingsManager::instance()->setUniversalSetting(
                "database.migration",
                QJsonObject { { "program", program }, { "finishWaitMsecs", 500 } });
    }

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(open(), opens);
    const qint64 elapsed = clock.elapsed();
    qInfo("the open took %lld ms", elapsed);
    QVERIFY2(elapsed >= minMsecs && elapsed < maxMsecs, qPrintable(QString::number(elapsed)));
    const QStringList log = takeLog();
    if (script.contains("migrating")) {
        QCOMPARE(readFile(program + ".ran"), serial.toUtf8() + '\n');
        QVERIFY(!log.filter("migrating " + serial).isEmpty());
    }
    if (script.contains("broken"))
        QVERIFY(!log.filter("broken").isEmpty());
    if (!opens)
        QCOMPARE(readFile(dbFile()), original);
}

// A file marked current that lacks a column gets it filled; a column that
// an older file already has keeps its values.
void TestMigration::addedColumnsAreAddedButNeverRefilled()
{
    OldSchema shape = oldSchema("6.3");
    shape.dropped = QStringList { "userfactorresult.userEntered" };
    QVERIFY(makeOldSchemaFile(reference(), dbFile(), shape));
    QVERIFY(open());
    const QString userEntered = "SELECT userEntered FROM userfactorresult ORDER BY id";
    QCOMPARE(querySqlite(dbFile(), userEntered),
             querySqlite(reference(), "SELECT 1 FROM userfactorresult ORDER BY id"));

    m_lib.stopLibrary();
    shape = oldSchema("6.2");
    shape.dropped.clear();
    QFile::remove(dbFile());
    QVERIFY(makeOldSchemaFile(reference(), dbFile(), shape));
    QVERIFY(open());
    QCOMPARE(querySqlite(dbFile(), "SELECT dbVersion FROM devinfo"), QVariantList { "6.3" });
    const QString circles = "SELECT imageHasCircle FROM imageresult ORDER BY id";
    QCOMPARE(querySqlite(dbFile(), circles), querySqlite(reference(), circles));
    QVERIFY(querySqlite(reference(), circles).contains(1));
}

// xrfresults killed inside the last step; the next run completes it and
// says so, a run after that has nothing to do, and a newer file is refused.
void TestMigration::upgradeCommandCompletesAStepCutOffByAKill()
{
    QVERIFY(makeOldSchemaFile(reference(), hostDbFile(), oldSchema("6.2")));
    const QByteArray original = readFile(hostDbFile());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XRF_CRASH_POINT", "migration-after-alter");
    XrfResultsProcess::Run r = xr({ "upgrade" }, env);
    QCOMPARE(r.status, QProcess::CrashExit);
    QVERIFY(QFileInfo::exists(hostDbFile() + "-journal")); // inside the step's transaction

    r = xr({ "upgrade" });
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.endsWith(hostSerial + ".sqlite: upgraded from version 6.2 to 6.3\n"),
             qPrintable(r.out + r.err));
    const QString circles = "SELECT count(*) FROM imageresult WHERE imageHasCircle = 0";
    QCOMPARE(querySqlite(hostDbFile(), circles),
             querySqlite(reference(), "SELECT count(*) FROM imageresult"));
    // The copy taken before the killed run is the file as it was.
    QCOMPARE(readFile(hostDbFile() + ".before-upgrade"), original);

    r = xr({ "upgrade", "--json" });
    QCOMPARE(r.exitCode, 0);
    const QJsonObject answer = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(answer.value("before").toString() + ' ' + answer.value("after").toString(),
             QString("6.3 6.3"));
    QCOMPARE(answer.value("upgraded").toBool(true), false);

    QVERIFY(execSqlite(hostDbFile(), { "UPDATE devinfo SET dbVersion = '7.0'" }));
    const QByteArray newer = readFile(hostDbFile());
    r = xr({ "upgrade" });
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains("7.0") && r.err.contains("-1989"), qPrintable(r.err));
    QCOMPARE(readFile(hostDbFile()), newer);
}

QTEST_GUILESS_MAIN(TestMigration)
#include "tst_migration.moc"
