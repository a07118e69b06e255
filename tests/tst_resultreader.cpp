// The read-only reader a host's threads use: the same results as the
// library's own reads, from any thread, while the worker stores; a file that
// is no database, or a failed read, is said as such.

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "testsupport.h"
#include "xrfresultreader.h"

using TestSupport::LibraryFixture;

class TestResultReader : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_lib.begin("SN-READ"));
        QVERIFY(m_lib.startFacade());
        m_lib.openCard();
        QVERIFY(LibraryFixture::databaseOpen());
    }
    void cleanup() { m_lib.end(); }

    void readsWhatTheLibraryStored();
    void readsFromAnotherThreadWhileTheWorkerStores();
    void failuresAreSaid();

private:
    LibraryFixture m_lib;
};

void TestResultReader::readsWhatTheLibraryStored()
{
    XrfKorviResult a = TestSupport::sample("01-stainless-316");
    XrfKorviResult b = TestSupport::sample("07-copper-awkward-texts");
    b.testInfo() = { QJsonObject { { "key", "Customer" }, { "value", "Lot ÆØÅ-Öl 7" } } };
    const int first = m_lib.store(a);
    const int second = m_lib.store(b);
    QVERIFY(first > 0 && second > 0);

    XrfResultReader reader(LibraryFixture::databaseFile());
    QVERIFY2(reader.isOpen(), qPrintable(reader.errorString()));
    XrfKorviResult back;
    QCOMPARE(reader.result(second, &back), XrfErrorInfo::NoError);
    QCOMPARE(back.toJsonObject(), m_lib.readBack(second).toJsonObject());
    QCOMPARE(reader.result(99, &back), XrfErrorInfo::ResultNotFound);

    // Any case, beyond ASCII; the name too.
    QJsonArray found;
    QCOMPARE(reader.search("æøå-öL", 10, &found), XrfErrorInfo::NoError);
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.at(0).toObject().value("tid").toInt(), second);
    found = QJsonArray();
    QCOMPARE(reader.search(a.analysis().tidName().toUpper(), 10, &found), XrfErrorInfo::NoError);
    QCOMPARE(found.size(), 1);

    int previous = -1, next = -1;
    QCOMPARE(reader.neighbours(first, &previous, &next), XrfErrorInfo::NoError);
    // Sample 01 is the older.
    QCOMPARE(previous, 0);
    QCOMPARE(next, second);

    QString picture;
    QCOMPARE(reader.picturePath(first, 1, &picture), XrfErrorInfo::NoError);
    QCOMPARE(TestSupport::readFile(picture),
             TestSupport::readFile(TestSupport::samplePath("images/cam-316-bar-0042-2.jpeg")));
    QCOMPARE(reader.picturePath(first, 2, &picture), XrfErrorInfo::ResultNotFound);
    QCOMPARE(reader.picturePath(first, -1, &picture), XrfErrorInfo::ResultNotFound);

    QJsonArray summaries;
    QCOMPARE(reader.summaries({ second, 77, first }, &summaries), XrfErrorInfo::NoError);
    QCOMPARE(summaries.size(), 2);
    const QJsonObject s = summaries.at(1).toObject();
    QCOMPARE(s.value("tid").toInt(), first);
    QCOMPARE(s.value("elements").toArray().size(), a.chemistry().size());
    QCOMPARE(s.value("grade").toString(), a.gradeMatch().value(0).gradeName());
}

void TestResultReader::readsFromAnotherThreadWhileTheWorkerStores()
{
    QVERIFY(m_lib.store(TestSupport::quickResult(
                    "q0", QDateTime(QDate(2026, 3, 1), QTime(8, 0), Qt::UTC)))
            > 0);
    const QString file = LibraryFixture::databaseFile();
    QAtomicInt stop(0);
    // A reader of its own in a thread of its own, as a viewer's pages have.
    int done = 0;
    QScopedPointer<QThread> reads(QThread::create([&] {
        XrfResultReader reader(file);
        while (!stop.loadAcquire()) {
            QJsonArray latest;
            if (reader.latestTests(1000, &latest) != XrfErrorInfo::NoError) {
                done = -1;
                return;
            }
            for (const QJsonValue &test : qAsConst(latest)) {
                XrfKorviResult r;
                // Never half a result: a listed one reads whole.
                if (reader.result(test.toObject().value("tid").toInt(), &r) != XrfErrorInfo::NoError
                    || r.chemistry().isEmpty()) {
                    done = -1;
                    return;
                }
            }
            ++done;
        }
    }));
    reads->start();
    for (int i = 1; i <= 20; ++i)
        QVERIFY(m_lib.store(TestSupport::quickResult(
                        QStringLiteral("q%1").arg(i),
                        QDateTime(QDate(2026, 3, 1), QTime(8, 0), Qt::UTC).addSecs(i)))
                > 0);
    stop.storeRelease(1);
    QVERIFY(reads->wait(30000));
    QVERIFY(done > 0);
}

void TestResultReader::failuresAreSaid()
{
    const QString garbage = m_lib.path("garbage.sqlite");
    QVERIFY(TestSupport::writeFile(garbage, QByteArray(8192, 'x')));
    XrfResultReader reader(garbage);
    QVERIFY(!reader.isOpen());
    QVERIFY(!reader.errorString().isEmpty());
    QJsonObject calendar;
    QCOMPARE(reader.calendar(&calendar), XrfErrorInfo::DbOpenFailed);
    XrfResultReader missing(m_lib.path("none.sqlite"));
    QVERIFY(!missing.isOpen());
    QVERIFY(!QFileInfo::exists(m_lib.path("none.sqlite")));
}

QTEST_GUILESS_MAIN(TestResultReader)
#include "tst_resultreader.moc"
