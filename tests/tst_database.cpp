// The results database file as the library leaves it: schema, pragmas,
// device row, its name and place, and what happens when the file at that
// place is not a database. Checked from outside through a separate SQLite
// connection.

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include "databasemanager.h"
#include "libraryfixture.h"
#include "resultmanager.h"
#include "testsupport.h"
#include "xrfjsonmessage.h"
#include "xrfsettingsmanager.h"

using TestSupport::querySqlite;

class TestDatabase : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_lib.end(); }

    void newFileHasTheSchema();
    void fileAndDeviceRowSurviveReopening();
    void pathOrderDoesNotMatter();
    void missingSerialGivesFallbackName();
    void fileThatIsNotADatabaseIsLeftAlone_data();
    void fileThatIsNotADatabaseIsLeftAlone();
    void vacuumGivesBackFreePages();
    void logWhileWorkingWholeFileAtRest();
    void readOnlyCardReadsAWholeFileAndRefusesAPendingLog();
    void storeWaitsOutAnotherWriter();

private:
    // The tests of `file` as the sqlite3 program counts them.
    static QString countedBySqlite3(const QString &file)
    {
        return TestSupport::toolOutput("sqlite3", { file, "SELECT count(*) FROM analysisresult" })
                .trimmed();
    }
    static qint64 logSize(const QString &file)
    {
        const QFileInfo log(file + "-wal");
        return log.exists() ? log.size() : 0;
    }

    QString dbFile(const QString &card, const QString &serial = QStringLiteral("SN4711")) const
    {
        return m_lib.path(card + "/db/" + serial + ".sqlite");
    }

    TestSupport::LibraryFixture m_lib;
};

void TestDatabase::init()
{
    QVERIFY(m_lib.begin("SN4711", "Rh"));
    XrfSettingsManager::instance()->setUniversalSetting(QStringLiteral("hardware.instrumentModel"),
                                                        QJsonObject { { "model", "XL5" } });
}

// The text SQLite keeps of every table and index is the file format that
// other readers of the card depend on: not a character may change.
void TestDatabase::newFileHasTheSchema()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    const QString file = dbFile("card");
    QVERIFY(QFileInfo::exists(file));
    auto rows = [&](const QString &sql) {
        QStringList values;
        for (const QVariant &v : querySqlite(file, sql))
            values << v.toString();
        return values;
    };

    const QStringList schema
            = QString::fromLatin1(
                      R"(CREATE TABLE analysisresult (testId INTEGER PRIMARY KEY NOT NULL, testDateTime TEXT NOT NULL, statusId INTEGER NOT NULL, final INTEGER, testType TEXT references testtype NOT NULL DEFAULT 'NORMAL', methodId TEXT NOT NULL DEFAULT '', methodFamilyName INTEGER DEFAULT -1, methodDispName TEXT NOT NULL DEFAULT '', collimated INTEGER DEFAULT -1, dailyId INTEGER DEFAULT -1, userId TEXT DEFAULT '', tidName TEXT NOT NULL DEFAULT '', testErrorInfo TEXT)
CREATE TABLE averagedresultinfo (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, averagedTestId INTEGER NOT NULL, testId INTEGER NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE calcheckresult (testId INTEGER PRIMARY KEY NOT NULL, rate INTEGER NOT NULL, resolution INTEGER NOT NULL, peak1 INTEGER, peak2 INTEGER, offset REAL NOT NULL, slope REAL NOT NULL, errorCode INTEGER DEFAULT 0, restandardizeType DEFAULT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE coatingresult (testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, layerOrder INTEGER NOT NULL, factor REAL NOT NULL, thickness REAL NOT NULL, error REAL NOT NULL, density REAL NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE compoundresult (id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, compoundName VARCHAR NOT NULL, factor REAL NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE devinfo (id INTEGER PRIMARY KEY NOT NULL, dbId VARCHAR NOT NULL, dbVersion VARCHAR NOT NULL, devSerialNum VARCHAR, model VARCHAR, tubeAnode VARCHAR)
CREATE TABLE elementresult (testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, concentration REAL NOT NULL, error REAL NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE filterprops (id integer primary key not null, material integer not null, diameter integer not null, thickness integer not null, hasCollimator bool not null)
CREATE TABLE gradematch (testId INTEGER NOT NULL, gradeName TEXT NOT NULL, matchNumber REAL NOT NULL, matchNSigma REAL, compGrade INTEGER, nominalFactor REAL, passFailCutOff REAL, passFailNSigma REAL, passFailShowMatchNumber INTEGER, matchMessage TEXT, PRIMARY KEY(testId, gradeName,passFailCutOff), FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE gradematchspec (id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, gradeName TEXT NOT NULL, elementName TEXT NOT NULL, minVal REAL NOT NULL, maxVal NOT NULL, matchResult TEXT NOT NULL, FOREIGN KEY(testId,gradeName) REFERENCES gradematch(testId,gradeName))
CREATE TABLE imageresult (id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, fileName VARCHAR NOT NULL, imageType TEXT references imagetype NOT NULL DEFAULT 'INLINE', cropAreaTop REAL, cropAreaLeft REAL, cropAreaWidth REAL, cropAreaHeight REAL, collimatorSpotX REAL, collimatorSpotY REAL, thumbNail BLOB, latitude REAL, longitude REAL, imageHasCircle bool not null, FOREIGN KEY (testId) REFERENCES analysisresult(testId ))
CREATE TABLE location (id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, latitude REAL, longitude REAL, elevation REAL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE plating (testId INTEGER, auPlating INTEGER, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE pseudoelementresult (testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, formula VARCHAR NOT NULL, notApplicable bool not null, concentration REAL NOT NULL, error REAL NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE regressioninfo (testId INTEGER, historicalTestId INTEGER, PRIMARY KEY(testId, historicalTestId), FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE repeatinfo (testId INTEGER, repeatId INTEGER, repeatCount INTEGER, PRIMARY KEY(testId, repeatId), FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE resultnames (testId INTEGER, type INTEGER, name TEXT, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE rohsactionlevelresult (id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, actionLevel INTEGER DEFAULT 0, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE rohsresult (testId INTEGER, rohsClassification INTEGER, rohsActionLevel INTEGER, rohsActionLevelName TEXT, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE spectrum (id INTEGER PRIMARY KEY  NOT NULL, testId INTEGER NOT NULL, exposureNumber INTEGER NOT NULL, totalExposureNumber Integer NOT NULL, energySlope REAL NOT NULL, energyOffset REAL NOT NULL, liveTime REAL NOT NULL, probeSerialNumber INTEGER NOT NULL, firstRate REAL NOT NULL, lastRate REAL NOT NULL, realTime REAL NOT NULL, vacuumPressure INTEGER NOT NULL, ambientPressure INTEGER NOT NULL, probeTemperature REAL NOT NULL, tubeCurrentSet REAL NOT NULL, tubeCurrentMonitor REAL NOT NULL, tubeVoltageSet REAL NOT NULL, tubeVoltageMonitor REAL NOT NULL, ltMultiplier INTEGER NOT NULL, colMultiplier INTEGER NOT NULL, filterPosition INTEGER NOT NULL, stepIndex INTEGER NOT NULL, stepTotal INTEGER NOT NULL, liveTimeFromHardware REAL NOT NULL, resetTime REAL NOT NULL, pileups INTEGER NOT NULL, clipBottom INTEGER NOT NULL, clipTop INTEGER NOT NULL, topResets INTEGER NOT NULL, fastCounts INTEGER NOT NULL, data BLOB NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE testinfo (id INTEGER PRIMARY KEY NOT NULL, testId INTEGER, label TEXT NOT NULL, info TEXT NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE TABLE userfactorresult (id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, factor REAL NOT NULL, offset REAL NOT NULL, userEntered bool NOT NULL, FOREIGN KEY(testId) REFERENCES analysisresult(testId))
CREATE INDEX analysisresultindex ON analysisresult (testId)
CREATE INDEX analysisresultkeyindex ON analysisresult (testDateTime,tidName)
CREATE INDEX coatingresultindex ON coatingresult (testId)
CREATE INDEX compoundresultindex ON compoundresult (testId,elementName)
CREATE INDEX elementresultindex ON elementresult (testId,elementName)
CREATE INDEX gradematchindex ON gradematch (testId,gradeName)
CREATE INDEX gradematchspecindex ON gradematchspec (testId,elementName)
CREATE INDEX imageresultindex ON imageresult (testId)
CREATE INDEX locationindex ON location (testId)
CREATE INDEX pseudoelementresultindex ON pseudoelementresult (testId)
CREATE INDEX repeatinfoindex ON repeatinfo (testId)
CREATE INDEX resultnamesindex ON resultnames (testId)
CREATE INDEX rohsactionlevelresultindex ON rohsactionlevelresult (testId)
CREATE INDEX rohsresultindex ON rohsresult (testId)
CREATE INDEX spectrumindex ON spectrum (testId)
CREATE INDEX testinfoindex ON testinfo (testId)
CREATE INDEX userfactorresultindex ON userfactorresult (testId))")
                      .split('\n');
    const QStringList got = rows("SELECT sql FROM sqlite_master WHERE sql IS NOT NULL "
                                 "AND name NOT LIKE 'sqlite_%' ORDER BY type DESC, name");
    QCOMPARE(got.size(), 22 + 17);
    for (int i = 0; i < got.size(); ++i)
        QCOMPARE(got.at(i), schema.value(i));

    QCOMPARE(rows("PRAGMA page_size"), QStringList { "4096" });
    QCOMPARE(rows("PRAGMA auto_vacuum"), QStringList { "2" });
    QCOMPARE(rows("SELECT dbVersion || '/' || devSerialNum || '/' || model || '/' || tubeAnode "
                  "FROM devinfo"),
             QStringList { "6.3/SN4711/XL5/Rh" });
    const QString dbId = rows("SELECT dbId FROM devinfo").join(',');
    QVERIFY2(QRegularExpression(
                     "^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                     .match(dbId)
                     .hasMatch(),
             qPrintable(dbId));
}

// The device row is made once; the open file stays put while the card path
// changes, and the same folder with a trailing separator is the same file.
void TestDatabase::fileAndDeviceRowSurviveReopening()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    const QString file = m_lib.databaseFile();
    QCOMPARE(QFileInfo(file).absoluteFilePath(), QFileInfo(dbFile("card")).absoluteFilePath());
    const QVariantList firstId = querySqlite(file, "SELECT dbId FROM devinfo");
    QCOMPARE(firstId.size(), 1);

    rm->setInstrumentDataPath(m_lib.path("card2"));
    QCOMPARE(m_lib.databaseFile(), file);
    QVERIFY(!QFileInfo::exists(dbFile("card2")));

    rm->setInstrumentDataPath(QString());
    rm->setInstrumentDataPath(m_lib.path("card/"));
    QVERIFY(m_lib.databaseOpen());
    QCOMPARE(m_lib.databaseFile(), file);
    QCOMPARE(TestSupport::databaseFolder(m_lib.path("card/db")), QStringList { "SN4711.sqlite" });
    QCOMPARE(querySqlite(file, "SELECT dbId FROM devinfo"), firstId);

    rm->Deinit();
    rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    QVERIFY(m_lib.databaseOpen());
    QCOMPARE(querySqlite(file, "SELECT dbId FROM devinfo"), firstId);
}

void TestDatabase::pathOrderDoesNotMatter()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    DatabaseManager *db = m_lib.database();
    rm->setInstrumentDataPath(m_lib.path("card"));
    QVERIFY(!db->isSdCardInserted());
    rm->onProfilePathAvailable(m_lib.path("profile/"));
    QVERIFY(db->isSdCardInserted());

    rm->Deinit();
    rm = m_lib.startFacade();
    QVERIFY(rm);
    db = m_lib.database();
    rm->onProfilePathAvailable(m_lib.path("profile2/"));
    QVERIFY(!db->isSdCardInserted());
    rm->setInstrumentDataPath(m_lib.path("card2"));
    QVERIFY(db->isSdCardInserted());
    QVERIFY(QFileInfo::exists(dbFile("card2")));
}

void TestDatabase::missingSerialGivesFallbackName()
{
    XrfSettingsManager::instance()->removeUniversalSetting(QStringLiteral("hardware.config"));
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    QCOMPARE(TestSupport::databaseFolder(m_lib.path("card/db")), QStringList { "123456.sqlite" });
    // Without a configured serial the device row carries blanks.
    QCOMPARE(querySqlite(dbFile("card", "123456"), "SELECT devSerialNum FROM devinfo"),
             QVariantList { QStringLiteral(" ") });
}

void TestDatabase::fileThatIsNotADatabaseIsLeftAlone_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("isDirectory");
    QTest::newRow("garbage") << QByteArray(8192, '\x5a') + "not a database" << false;
    QTest::newRow("text") << QByteArray("serial,result\n1,2\n") << false;
    QTest::newRow("directory") << QByteArray() << true;
}

void TestDatabase::fileThatIsNotADatabaseIsLeftAlone()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, isDirectory);
    const QString file = dbFile("card");
    QVERIFY(isDirectory ? QDir().mkpath(file) : TestSupport::writeFile(file, content));

    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    QSignalSpy done(rm, &XrfResultManager::operationDone);
    m_lib.openCard();
    DatabaseManager *db = m_lib.database();
    QVERIFY(!db->isSdCardInserted());
    QCOMPARE(db->lastError().errorCode(), XrfErrorInfo::DbOpenFailed);
    XrfJsonMessage msg;
    QCOMPARE(rm->getCalendar(&msg), XrfErrorInfo::NoSdCard);

    if (isDirectory)
        QVERIFY(QFileInfo(file).isDir());
    else
        QCOMPARE(TestSupport::readFile(file), content);
    QCOMPARE(
            QDir(QFileInfo(file).absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList { "SN4711.sqlite" });

    // Once the card holds a usable folder again, supplying the path opens it.
    rm->setInstrumentDataPath(m_lib.path("other"));
    QVERIFY(db->isSdCardInserted());
}

void TestDatabase::vacuumGivesBackFreePages()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    const QString file = dbFile("card");
    // With nothing to give back, housekeeping stops at once.
    QCOMPARE(rm->doDbHouseKeeping(true), XrfErrorInfo::NoError);
    int tid = -1;
    rm->getLastTestID(&tid); // a round trip: the vacuum request ran before it
    QCOMPARE(tid, 0);
    QCOMPARE(querySqlite(file, "PRAGMA freelist_count").value(0).toInt(), 0);

    // Fill and empty a table from outside: its pages go to the free list.
    QVERIFY(TestSupport::execSqlite(
            file,
            { "CREATE TABLE scratch (b BLOB)",
              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
              "INSERT INTO scratch SELECT randomblob(8000) FROM n",
              "DROP TABLE scratch" }));
    const int freePages = querySqlite(file, "PRAGMA freelist_count").value(0).toInt();
    QVERIFY2(freePages > 500, qPrintable(QString::number(freePages)));
    const qint64 sizeBefore = QFileInfo(file).size();

    rm->doDbHouseKeeping(true);
    QTRY_COMPARE_WITH_TIMEOUT(querySqlite(file, "PRAGMA freelist_count").value(0).toInt(), 0,
                              10000);
    QVERIFY(QFileInfo(file).size() < sizeBefore - 500 * 4096);
    rm->doDbHouseKeeping(false);
}

// While results come the file runs with a write-ahead log; once the library
// is idle, or the card is taken out, the file alone holds every commit, so a
// copy of it (a backup, a card read in a PC) loses nothing.
void TestDatabase::logWhileWorkingWholeFileAtRest()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    const QString file = dbFile("card");
    const QString copy = m_lib.path("copy.sqlite");
    const QDateTime when(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(m_lib.store(
                         TestSupport::quickResult(QStringLiteral("W%1").arg(i), when.addSecs(i))),
                 i + 1);
    QCOMPARE(querySqlite(file, "PRAGMA journal_mode"), QVariantList { "wal" });
    QVERIFY2(logSize(file) > 0, "the commits went straight into the file");

    // The idle point folds the log in.
    QTRY_COMPARE_WITH_TIMEOUT(logSize(file), 0, 6000);
    QVERIFY(QFile::copy(file, copy));
    QCOMPARE(countedBySqlite3(copy), QStringLiteral("3"));
    QCOMPARE(TestSupport::toolOutput("sqlite3", { copy, "PRAGMA integrity_check" }).trimmed(),
             QStringLiteral("ok"));

    // So does taking the card out, at once.
    QCOMPARE(m_lib.store(TestSupport::quickResult("W3", when.addSecs(3))), 4);
    QVERIFY(logSize(file) > 0);
    rm->setInstrumentDataPath(QString());
    QCOMPARE(logSize(file), 0);
    QVERIFY(QFile::remove(copy) && QFile::copy(file, copy));
    QCOMPARE(countedBySqlite3(copy), QStringLiteral("4"));
}

// A card that cannot be written is read as it is; but a log beside its file
// holds commits the file lacks, and reading the file without them would show
// results as gone: then the card is refused, by name, and left untouched.
void TestDatabase::readOnlyCardReadsAWholeFileAndRefusesAPendingLog()
{
    XrfResultManager *rm = m_lib.startFacade();
    QVERIFY(rm);
    m_lib.openCard();
    const QString file = dbFile("card");
    const QDateTime when(QDate(2026, 3, 2), QTime(9, 0), Qt::UTC);
    QCOMPARE(m_lib.store(TestSupport::quickResult("R0", when)), 1);
    m_lib.stopLibrary();

    // A commit caught in the log, as a power cut leaves it: file and log
    // copied while another writer holds them.
    const QString pending = m_lib.path("pending");
    QVERIFY(QDir().mkpath(pending));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "writer");
        db.setDatabaseName(file);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("PRAGMA wal_autocheckpoint=0"));
        QVERIFY(q.exec("UPDATE analysisresult SET tidName = 'R0 renamed'"));
        QVERIFY(QFile::copy(file, pending + "/SN4711.sqlite"));
        QVERIFY(QFile::copy(file + "-wal", pending + "/SN4711.sqlite-wal"));
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("writer");
    QCOMPARE(logSize(file), 0);

    const auto readOnly = [](const QString &path) {
        return QFile::setPermissions(
                path, QFile::ReadOwner | QFile::ReadGroup | QFile::ExeOwner | QFile::ExeGroup);
    };
    const auto writable = [](const QString &path) {
        return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    const QString folder = m_lib.path("card/db");
    QVERIFY(readOnly(file) && readOnly(folder));
    const QByteArray whole = TestSupport::readFile(file);
    rm = m_lib.startFacade();
    m_lib.openCard();
    QVERIFY(rm->databaseAvailable());
    XrfKorviResult back;
    QCOMPARE(rm->syncGetFullResult(1, &back), XrfErrorInfo::NoError);
    QCOMPARE(back.analysis().tidName(), QStringLiteral("R0 renamed")); // folded in at its close
    m_lib.stopLibrary();
    QCOMPARE(TestSupport::readFile(file), whole);
    QCOMPARE(TestSupport::entries(folder), QStringList { "SN4711.sqlite" });

    // The file and its log put in, both read-only.
    QVERIFY(writable(folder) && writable(file));
    QVERIFY(QFile::remove(file));
    for (const QString &name : { QString("SN4711.sqlite"), QString("SN4711.sqlite-wal") })
        QVERIFY(QFile::copy(pending + '/' + name, folder + '/' + name)
                && readOnly(folder + '/' + name));
    QVERIFY(readOnly(folder));
    const QByteArray before = TestSupport::readFile(file);
    const QByteArray log = TestSupport::readFile(file + "-wal");
    QVERIFY(log.size() > 0);
    rm = m_lib.startFacade();
    m_lib.openCard();
    QVERIFY(!rm->databaseAvailable());
    const QString why = rm->databaseOpenError();
    QVERIFY2(why.contains("SN4711.sqlite-wal"), qPrintable(why));
    m_lib.stopLibrary();
    QCOMPARE(TestSupport::readFile(file), before);
    QCOMPARE(TestSupport::readFile(file + "-wal"), log);
    QCOMPARE(TestSupport::entries(folder), QStringList({ "SN4711.sqlite", "SN4711.sqlite-wal" }));

    // Writable again, the commit in the log is there.
    QVERIFY(writable(folder) && writable(file) && writable(file + "-wal"));
    rm = m_lib.startFacade();
    m_lib.openCard();
    QVERIFY(rm->databaseAvailable());
    QCOMPARE(rm->syncGetFullResult(1, &back), XrfErrorInfo::NoError);
    QCOMPARE(back.analysis().tidName(), QStringLiteral("R0 renamed"));
}

// Another program writing the same file (a PC tool, a second host) holds
// the write lock for a moment: the result waits for it and is stored, rather
// than failing because the file changed under a transaction that began as a
// read.
void TestDatabase::storeWaitsOutAnotherWriter()
{
    QVERIFY(m_lib.startFacade());
    m_lib.openCard();
    const QString file = dbFile("card");
    const QDateTime when(QDate(2026, 3, 3), QTime(9, 0), Qt::UTC);
    QCOMPARE(m_lib.store(TestSupport::quickResult("O0", when)), 1);

    QProcess other;
    other.start("python3",
                { "-c",
                  "import sqlite3, sys, time\n"
                  "c = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=30)\n"
                  "c.execute('BEGIN IMMEDIATE')\n"
                  "c.execute('UPDATE analysisresult SET tidName = tidName WHERE testId = 1')\n"
                  "print('held', flush=True)\n"
                  "time.sleep(1.0)\n"
                  "c.execute('COMMIT')\n",
                  file });
    QVERIFY(other.waitForReadyRead(10000));
    QCOMPARE(other.readLine().trimmed(), QByteArray("held"));
    QCOMPARE(m_lib.store(TestSupport::quickResult("O1", when.addSecs(1))), 2);
    QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(10000));
    QCOMPARE(other.exitCode(), 0);
    QCOMPARE(countedBySqlite3(file), QStringLiteral("2"));
}

QTEST_GUILESS_MAIN(TestDatabase)
#include "tst_database.moc"
