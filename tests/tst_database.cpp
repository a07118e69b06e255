// The results database file as the library leaves it: schema, pragmas,
// device row, its name and place, and what happens when the file at that
// place is not a database. Checked from outside through a separate SQLite
// connection.

#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "databasemanager.h"
#include "resultmanager.h"
#include "resultmanagerimpl.h"
#include "testsupport.h"
#include "xrfjsonmessage.h"
#include "xrfsettingsmanager.h"

using TestSupport::querySqlite;

class TestDatabase : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newFileHasTheSchema();
    void fileAndDeviceRowSurviveReopening();
    void pathOrderDoesNotMatter();
    void missingSerialGivesFallbackName();
    void fileThatIsNotADatabaseIsLeftAlone_data();
    void fileThatIsNotADatabaseIsLeftAlone();
    void vacuumGivesBackFreePages();

private:
    XrfResultManager *start();
    QString dbFile(const QString &card, const QString &serial = QStringLiteral("SN4711")) const;

    QTemporaryDir *m_dir = nullptr;
};

void TestDatabase::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    TestSupport::configureInstrument(QStringLiteral("SN4711"), QStringLiteral("Rh"));
    XrfSettingsManager::instance()->setUniversalSetting(QStringLiteral("hardware.instrumentModel"),
                                                        QJsonObject { { "model", "XL5" } });
}

void TestDatabase::cleanup()
{
    if (XrfResultManager::m_pInstance)
        XrfResultManager::instance()->Deinit();
    delete m_dir;
    m_dir = nullptr;
}

XrfResultManager *TestDatabase::start()
{
    XrfResultManager *rm = XrfResultManager::instance();
    return rm->init() == XrfErrorInfo::NoError ? rm : nullptr;
}

QString TestDatabase::dbFile(const QString &card, const QString &serial) const
{
    return m_dir->filePath(card + "/db/" + serial + ".sqlite");
}

void TestDatabase::newFileHasTheSchema()
{
    XrfResultManager *rm = start();
    QVERIFY(rm);
    rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
    const QString file = dbFile("card");
    QVERIFY(QFileInfo::exists(file));
    auto rows = [&](const QString &sql) {
        QStringList values;
        for (const QVariant &v : querySqlite(file, sql))
            values << v.toString().trimmed();
        return values.join(',');
    };

    QCOMPARE(rows("SELECT name FROM sqlite_master WHERE type='table' "
                  "AND name NOT LIKE 'sqlite_%' ORDER BY name"),
             QStringLiteral("analysisresult,averagedresultinfo,calcheckresult,coatingresult,"
                            "compoundresult,devinfo,elementresult,filterprops,gradematch,"
                            "gradematchspec,imageresult,location,plating,pseudoelementresult,"
                            "regressioninfo,repeatinfo,resultnames,rohsactionlevelresult,"
                            "rohsresult,spectrum,testinfo,userfactorresult"));
    QCOMPARE(rows("SELECT name || ':' || tbl_name FROM sqlite_master "
                  "WHERE type='index' AND sql IS NOT NULL ORDER BY name"),
             QStringLiteral("analysisresultindex:analysisresult,coatingresultindex:coatingresult,"
                            "compoundresultindex:compoundresult,elementresultindex:elementresult,"
                            "gradematchindex:gradematch,gradematchspecindex:gradematchspec,"
                            "imageresultindex:imageresult,locationindex:location,"
                            "pseudoelementresultindex:pseudoelementresult,"
                            "repeatinfoindex:repeatinfo,resultnamesindex:resultnames,"
                            "rohsactionlevelresultindex:rohsactionlevelresult,"
                            "rohsresultindex:rohsresult,spectrumindex:spectrum,"
                            "testinfoindex:testinfo,userfactorresultindex:userfactorresult"));
    QCOMPARE(rows("SELECT sql FROM sqlite_master WHERE name='gradematchspecindex'"),
             QStringLiteral(
                     "CREATE INDEX gradematchspecindex ON gradematchspec (testId,elementName)"));

    auto columns = [&](const char *table) {
        return rows(QStringLiteral("SELECT name || ' ' || type FROM pragma_table_info('%1')")
                            .arg(QLatin1String(table)));
    };
    QCOMPARE(columns("analysisresult"),
             QStringLiteral("testId INTEGER,testDateTime TEXT,statusId INTEGER,final INTEGER,"
                            "testType TEXT,methodId TEXT,methodFamilyName INTEGER,"
                            "methodDispName TEXT,collimated INTEGER,dailyId INTEGER,userId TEXT,"
                            "tidName TEXT,testErrorInfo TEXT"));
    QCOMPARE(columns("gradematchspec"),
             QStringLiteral("id INTEGER,testId INTEGER,gradeName TEXT,elementName TEXT,"
                            "minVal REAL,maxVal,matchResult TEXT"));
    QCOMPARE(columns("calcheckresult"),
             QStringLiteral("testId INTEGER,rate INTEGER,resolution INTEGER,peak1 INTEGER,"
                            "peak2 INTEGER,offset REAL,slope REAL,errorCode INTEGER,"
                            "restandardizeType"));
    QCOMPARE(columns("spectrum").split(',').size(), 31);
    QCOMPARE(columns("spectrum").split(',').last(), QStringLiteral("data BLOB"));
    QCOMPARE(columns("imageresult").split(',').last(), QStringLiteral("imageHasCircle bool"));

    QCOMPARE(rows("PRAGMA page_size"), QStringLiteral("4096"));
    QCOMPARE(rows("PRAGMA auto_vacuum"), QStringLiteral("2"));
    QCOMPARE(rows("SELECT dbVersion || '/' || devSerialNum || '/' || model || '/' || tubeAnode "
                  "FROM devinfo"),
             QStringLiteral("6.3/SN4711/XL5/Rh"));
    const QString dbId = rows("SELECT dbId FROM devinfo");
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
    XrfResultManager *rm = start();
    QVERIFY(rm);
    rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
    const QString file = XrfResultManager::m_pImpl->databaseManager()->databaseFilePath();
    QCOMPARE(QFileInfo(file).absoluteFilePath(), QFileInfo(dbFile("card")).absoluteFilePath());
    const QVariantList firstId = querySqlite(file, "SELECT dbId FROM devinfo");
    QCOMPARE(firstId.size(), 1);

    rm->setInstrumentDataPath(m_dir->filePath("card2"));
    QCOMPARE(XrfResultManager::m_pImpl->databaseManager()->databaseFilePath(), file);
    QVERIFY(!QFileInfo::exists(dbFile("card2")));

    rm->setInstrumentDataPath(QString());
    rm->setInstrumentDataPath(m_dir->filePath("card/"));
    QVERIFY(XrfResultManager::m_pImpl->databaseManager()->isSdCardInserted());
    QCOMPARE(XrfResultManager::m_pImpl->databaseManager()->databaseFilePath(), file);
    QCOMPARE(QDir(m_dir->filePath("card/db")).entryList(QDir::Files),
             QStringList { "SN4711.sqlite" });
    QCOMPARE(querySqlite(file, "SELECT dbId FROM devinfo"), firstId);

    rm->Deinit();
    rm = start();
    QVERIFY(rm);
    rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
    QVERIFY(XrfResultManager::m_pImpl->databaseManager()->isSdCardInserted());
    QCOMPARE(querySqlite(file, "SELECT dbId FROM devinfo"), firstId);
}

void TestDatabase::pathOrderDoesNotMatter()
{
    XrfResultManager *rm = start();
    QVERIFY(rm);
    DatabaseManager *db = XrfResultManager::m_pImpl->databaseManager();
    rm->setInstrumentDataPath(m_dir->filePath("card"));
    QVERIFY(!db->isSdCardInserted());
    rm->onProfilePathAvailable(m_dir->filePath("profile/"));
    QVERIFY(db->isSdCardInserted());

    rm->Deinit();
    rm = start();
    QVERIFY(rm);
    db = XrfResultManager::m_pImpl->databaseManager();
    rm->onProfilePathAvailable(m_dir->filePath("profile2/"));
    QVERIFY(!db->isSdCardInserted());
    rm->setInstrumentDataPath(m_dir->filePath("card2"));
    QVERIFY(db->isSdCardInserted());
    QVERIFY(QFileInfo::exists(dbFile("card2")));
}

void TestDatabase::missingSerialGivesFallbackName()
{
    XrfSettingsManager::instance()->removeUniversalSetting(QStringLiteral("hardware.config"));
    XrfResultManager *rm = start();
    QVERIFY(rm);
    rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
    QCOMPARE(QDir(m_dir->filePath("card/db")).entryList(QDir::Files),
             QStringList { "123456.sqlite" });
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
    // A card from older software: opening it as current would fail every
    // insertion, and stamping it would hide its version from an upgrade.
    auto sqliteBytes = [](const QStringList &statements) {
        QTemporaryDir dir;
        const QString file = dir.filePath("old.sqlite");
        if (!TestSupport::execSqlite(file, statements))
            return QByteArray();
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QStringList oldTables {
        "CREATE TABLE analysisresult (testId INTEGER PRIMARY KEY, testDateTime TEXT, tidName TEXT)",
        "INSERT INTO analysisresult VALUES (1, '2019-05-04 10:00:00.000', 'old')",
    };
    QTest::newRow("older schema") << sqliteBytes(
            QStringList(oldTables)
            << "CREATE TABLE devinfo (dbId TEXT, dbVersion TEXT, "
               "devSerialNum TEXT, model TEXT, tubeAnode TEXT)"
            << "INSERT INTO devinfo VALUES ('{x}', '6.2', 'SN4711', 'm', 'Ag')")
                                  << false;
    QTest::newRow("result tables without device row") << sqliteBytes(oldTables) << false;
}

void TestDatabase::fileThatIsNotADatabaseIsLeftAlone()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, isDirectory);
    const QString file = dbFile("card");
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    if (isDirectory) {
        QVERIFY(QDir().mkpath(file));
    } else {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    XrfResultManager *rm = start();
    QVERIFY(rm);
    QSignalSpy done(rm, &XrfResultManager::operationDone);
    rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
    DatabaseManager *db = XrfResultManager::m_pImpl->databaseManager();
    QVERIFY(!db->isSdCardInserted());
    QCOMPARE(db->lastError().errorCode(), XrfErrorInfo::DbOpenFailed);
    XrfJsonMessage msg;
    QCOMPARE(rm->getCalendar(&msg), XrfErrorInfo::NoSdCard);

    if (isDirectory) {
        QVERIFY(QFileInfo(file).isDir());
    } else {
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), content);
    }
    QCOMPARE(
            QDir(QFileInfo(file).absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList { "SN4711.sqlite" });

    // Once the card holds a usable folder again, supplying the path opens it.
    rm->setInstrumentDataPath(m_dir->filePath("other"));
    QVERIFY(db->isSdCardInserted());
}

void TestDatabase::vacuumGivesBackFreePages()
{
    XrfResultManager *rm = start();
    QVERIFY(rm);
    rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
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

QTEST_GUILESS_MAIN(TestDatabase)
#include "tst_database.moc"
