// The day record file: its byte layout, what a damaged file turns into, and
// how the database object takes the day and counter from it.

#include <QDataStream>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "databasemanager.h"
#include "hdffile.h"
#include "testsupport.h"

class TestHdfFile : public QObject
{
    Q_OBJECT

private slots:
    void noWholeRecordReadsAsNoDay_data();
    void noWholeRecordReadsAsNoDay();
    void writeGivesTheFixedLayout();
    void damagedHeaderIsReplaced_data();
    void damagedHeaderIsReplaced();
    void databaseTakesTheDayFromTheRecord_data();
    void databaseTakesTheDayFromTheRecord();

private:
    static QByteArray record(qint32 magic, qint32 version, qint64 day, qint64 counter)
    {
        QByteArray bytes;
        QDataStream s(&bytes, QIODevice::WriteOnly);
        s << magic << version << day << counter;
        return bytes;
    }
};

void TestHdfFile::noWholeRecordReadsAsNoDay_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("short record") << record(0x20141121, 101, 2460312, 4).left(20);
}

void TestHdfFile::noWholeRecordReadsAsNoDay()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.path() + "/Zefra-99999";
    if (!content.isNull())
        QVERIFY(TestSupport::writeFile(path, content));
    HdfFile hdf;
    hdf.setFolder(dir.path() + '/');
    QDate day(2020, 1, 1);
    qint64 counter = 99;
    QCOMPARE(hdf.read(day, counter), XrfErrorInfo::NoError);
    QVERIFY(day.isNull());
    QCOMPARE(counter, qint64(0));
    QCOMPARE(hdf.fileName(), path);
    // A missing file is made with the header only.
    if (content.isNull())
        QCOMPARE(TestSupport::readFile(path), QByteArray::fromHex("2014112100000065"));
}

void TestHdfFile::writeGivesTheFixedLayout()
{
    QTemporaryDir dir;
    HdfFile hdf;
    hdf.setFolder(dir.path() + '/');
    QCOMPARE(hdf.write(QDate(2024, 1, 2), 1), XrfErrorInfo::NoError);
    QCOMPARE(TestSupport::readFile(dir.path() + "/Zefra-99999"),
             QByteArray::fromHex("20141121"
                                 "00000065"
                                 "0000000000258a98"
                                 "0000000000000001"));
    QDate day;
    qint64 counter = 0;
    hdf.read(day, counter);
    QCOMPARE(day, QDate(2024, 1, 2));
    QCOMPARE(counter, qint64(1));

    // A later change of folder does not move the file.
    hdf.setFolder(dir.path() + "/elsewhere/");
    hdf.write(QDate(2024, 1, 3), 7);
    QCOMPARE(hdf.fileName(), dir.path() + "/Zefra-99999");
}

void TestHdfFile::damagedHeaderIsReplaced_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("bad magic") << record(0x20141122, 101, 2460312, 5);
    QTest::newRow("bad version") << record(0x20141121, 100, 2460312, 5);
    QTest::newRow("three bytes") << QByteArray::fromHex("201411");
    QTest::newRow("empty") << QByteArray();
}

void TestHdfFile::damagedHeaderIsReplaced()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.path() + "/Zefra-99999";
    QVERIFY(TestSupport::writeFile(path, content));

    HdfFile hdf;
    hdf.setFolder(dir.path() + '/');
    QSignalSpy errors(&hdf, &HdfFile::errorSignal);
    QCOMPARE(hdf.open(), XrfErrorInfo::BadFileHeader);
    hdf.close();
    QCOMPARE(errors.count(), 1);
    QVERIFY(!QFile::exists(path));

    // The next use starts a fresh record.
    QDate day(2000, 1, 1);
    qint64 counter = 3;
    hdf.read(day, counter);
    QVERIFY(day.isNull());
    QCOMPARE(counter, qint64(0));
    QCOMPARE(TestSupport::readFile(path), QByteArray::fromHex("2014112100000065"));
}

void TestHdfFile::databaseTakesTheDayFromTheRecord_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("counter");
    const qint64 today = QDate::currentDate().toJulianDay();
    QTest::newRow("yesterday") << record(0x20141121, 101, today - 1, 41) << qint64(1);
    QTest::newRow("today") << record(0x20141121, 101, today, 41) << qint64(41);
    // A damaged record costs the day's count, never the start-up.
    QTest::newRow("damaged") << QByteArray("garbage!garbage!garbage!") << qint64(1);
}

void TestHdfFile::databaseTakesTheDayFromTheRecord()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, counter);
    QTemporaryDir dir;
    QVERIFY(TestSupport::writeFile(dir.path() + "/Zefra-99999", content));
    DatabaseManager db;
    QCOMPARE(db.setProfilePath(dir.path() + '/'), XrfErrorInfo::NoError);
    QCOMPARE(db.day(), QDate::currentDate());
    QCOMPARE(db.dayCounter(), counter);
    QVERIFY(!db.isSdCardInserted());
}

QTEST_GUILESS_MAIN(TestHdfFile)
#include "tst_hdffile.moc"
