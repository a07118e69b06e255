// Storing whole results and reading them back, through the facade and the
// real worker thread, into a real database file.

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "samplenormaliser.h"
#include "testsupport.h"
#include "xrfsettingsmanager.h"

using TestSupport::execSqlite;
using TestSupport::querySqlite;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const char awkward[] = "O'Brien \"quoted\"; back\\slash – Müller øre 中";

// The stainless sample under another name and time, without its pictures.
XrfKorviResult alloy(const QString &tidName, const QDateTime &when)
{
    XrfKorviResult r = TestSupport::sample("01-stainless-316");
    r.analysis().setTidName(tidName);
    r.analysis().setTestDateTime(when);
    r.images().clear();
    return r;
}

QDateTime at(int day, int hour, int minute = 0)
{
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute), Qt::UTC);
}

} // namespace

class TestStorage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_lib.end(); }

    void storedResultReadsBackWhole();
    void signalsComeFromTheWorkerInOrder();
    void failingStepLeavesNothingBehind();
    void sameResultTwiceIsStoredOnce();
    void failedCommitAnnouncesNothing();
    void filtersAreSharedAndEmptySpectraStoreNothing();
    void dayRecordCountsTheDaysResults();
    void specialTestTypes();
    void imagesAreMovedAndServed();
    void imageNamesAreUniqueAndStayInTheStore();
    void namesRowsThatPointNowhereAreIgnored();
    void editTestInfoReplacesAndAdds();

private:
    int store(const XrfKorviResult &result) { return m_lib.store(result); }
    int count(const QString &table) const
    {
        return querySqlite(m_db, "SELECT count(*) FROM " + table).value(0).toInt();
    }

    TestSupport::LibraryFixture m_lib;
    XrfResultManager *m_rm = nullptr;
    QString m_db;
};

void TestStorage::init()
{
    QVERIFY(m_lib.begin("SN4711"));
    XrfSettingsManager::instance()->setCurrentUser(QStringLiteral("D'Arcy"));
    QVERIFY(m_rm = m_lib.startFacade());
    m_lib.openCard();
    QVERIFY(m_lib.databaseOpen());
    m_db = m_lib.databaseFile();
}

void TestStorage::storedResultReadsBackWhole()
{
    XrfKorviResult original = TestSupport::sample("01-stainless-316");
    original.images().clear();
    original.analysis().setTidName(QString::fromUtf8(awkward));
    original.testInfo().append(
            QJsonObject { { "key", "Heat'No" }, { "value", "'; DROP TABLE x; --" } });
    const int tid = store(original);
    QCOMPARE(tid, 1);
    XrfKorviResult back;
    QCOMPARE(m_rm->syncGetFullResult(tid, &back), XrfErrorInfo::NoError);
    QCOMPARE(back.toJsonObject(),
             TestSupport::normaliseStored(original, tid, m_db, "D'Arcy").toJsonObject());

    // A test id with no analysis row.
    XrfKorviResult none;
    QCOMPARE(m_rm->syncGetFullResult(99, &none), XrfErrorInfo::ResultNotFound);
    QCOMPARE(none.analysis().testId(), -1);

    XrfKorviResult byTime;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NotImplemented;
    m_rm->getResultFromTestDateTime("2026-11-23 08:15:41.000", &byTime, &rc);
    QCOMPARE(rc, XrfErrorInfo::NoError);
    QCOMPARE(byTime.analysis().testId(), tid);
    m_rm->getResultFromTestDateTime(QString(), &byTime, &rc);
    QCOMPARE(rc, XrfErrorInfo::InvalidArgument);
}

void TestStorage::signalsComeFromTheWorkerInOrder()
{
    QStringList order;
    QThread *thread = nullptr;
    connect(
            m_rm, &XrfResultManager::resultInserted, this,
            [&](XrfErrorInfo::XrfError rc) {
                order << QStringLiteral("inserted:%1").arg(int(rc));
                thread = QThread::currentThread();
            },
            Qt::DirectConnection);
    connect(
            m_rm, &XrfResultManager::resultCommitted, this,
            [&](QDateTime, bool avg, int tid) {
                order << QStringLiteral("committed:%1:%2").arg(avg).arg(tid);
            },
            Qt::DirectConnection);
    QCOMPARE(store(alloy("A", at(1, 9))), 1);
    QCOMPARE(store(alloy("B", at(1, 9, 1))), 2);
    QCOMPARE(order, QStringList({ "inserted:0", "committed:0:1", "inserted:0", "committed:0:2" }));
    QVERIFY(thread != QThread::currentThread());
    QCOMPARE(querySqlite(m_db, "SELECT testId FROM analysisresult WHERE tidName='B'"),
             QVariantList { 2 });
}

void TestStorage::failingStepLeavesNothingBehind()
{
    const XrfKorviResult r = TestSupport::sample("01-stainless-316");
    QVERIFY(TestSupport::placeImages(r, m_lib.path("card")));
    const QString photo = m_lib.path("card/images/2026-11-23/cam-316-bar-0042-1.jpeg");
    const QString day = QStringLiteral("2026-11-23/img-2026-11-23-316-bar-0042-081542318-%1.jpeg");
    QVERIFY(QFileInfo::exists(photo));

    // A trigger makes a late step (the grade match rows) fail for real.
    QVERIFY(execSqlite(m_db,
                       { "CREATE TRIGGER failgrade BEFORE INSERT ON gradematch "
                         "BEGIN SELECT RAISE(ABORT, 'forced'); END" }));
    QSignalSpy inserted(m_rm, &XrfResultManager::resultInserted);
    QCOMPARE(store(r), -1);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(0).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::DbQueryFailed);
    for (const char *table :
         { "analysisresult", "elementresult", "spectrum", "testinfo", "resultnames", "location",
           "rohsresult", "imageresult", "gradematch", "gradematchspec", "userfactorresult",
           "compoundresult", "pseudoelementresult", "rohsactionlevelresult", "plating" })
        QCOMPARE(count(table), 0);
    QVERIFY(QFileInfo::exists(photo));
    QVERIFY(!QFileInfo::exists(m_lib.path("card/images/" + day.arg(1))));

    // Lifted: the same result is stored, under the id the failed one would have had.
    QVERIFY(execSqlite(m_db, { "DROP TRIGGER failgrade" }));
    QCOMPARE(store(r), 1);
    QVERIFY(!QFileInfo::exists(photo));
    QCOMPARE(querySqlite(m_db, "SELECT fileName FROM imageresult ORDER BY id"),
             QVariantList({ day.arg(1), day.arg(2) }));
}

void TestStorage::sameResultTwiceIsStoredOnce()
{
    const XrfKorviResult r = alloy("twice", at(2, 11));
    QCOMPARE(store(r), 1);
    QCOMPARE(store(alloy("other", at(2, 11, 1))), 2);
    QCOMPARE(store(r), 1);
    QCOMPARE(count("analysisresult"), 2);
    QCOMPARE(count("elementresult"), 2 * r.chemistry().size());
    // Same name, another time: a new result.
    QCOMPARE(store(alloy("twice", at(2, 11, 2))), 3);
    // A result without a name is found again too.
    const XrfKorviResult nameless = alloy(QString(), at(2, 12));
    QCOMPARE(store(nameless), 4);
    QCOMPARE(store(nameless), 4);
}

void TestStorage::failedCommitAnnouncesNothing()
{
    qputenv("XRF_FAULT_POINT", "commit-fail");
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    QSignalSpy inserted(m_rm, &XrfResultManager::resultInserted);
    QSignalSpy updated(m_rm, &XrfResultManager::resultUpdated);
    XrfKorviResult r = alloy("c", at(3, 12));
    // An average: its update is news only once it is committed.
    r.analysis().setTestType(QStringLiteral("AVERAGED"));
    QCOMPARE(m_rm->addTestResult(r), XrfErrorInfo::NoError);
    int tid = -1;
    m_rm->getLastTestID(&tid); // runs after the insertion
    QCOMPARE(tid, 0);
    QTest::qWait(100);
    QCOMPARE(committed.count(), 0);
    QCOMPARE(updated.count(), 0);
    // The rows were inserted, then the commit failed: the host hears both.
    QTRY_COMPARE(inserted.count(), 2);
    QCOMPARE(inserted.at(0).at(0).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::NoError);
    QCOMPARE(inserted.at(1).at(0).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::DbQueryFailed);

    // Not knowing whether a result is stored is no licence to store it.
    inserted.clear();
    qputenv("XRF_FAULT_POINT", "stored-lookup-fail");
    QCOMPARE(m_rm->addTestResult(r), XrfErrorInfo::NoError);
    QTRY_COMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(0).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::DbQueryFailed);
    QCOMPARE(count("analysisresult"), 0);

    qunsetenv("XRF_FAULT_POINT");
    QCOMPARE(store(r), 1);
    QTRY_COMPARE(updated.count(), 1);
}

void TestStorage::filtersAreSharedAndEmptySpectraStoreNothing()
{
    // Both spectra of the coating sample share one filter.
    XrfKorviResult r = TestSupport::sample("03-coating-au-ni-cu");
    r.images().clear();
    XrfSpectrum empty = r.spectra().at(0);
    empty.setExposureNumber(3);
    empty.setChannels({});
    XrfSpectrum other = empty;
    other.setExposureNumber(4);
    other.filter().setMaterialAtomicNumber(47);
    QVector<quint32> counts(16);
    for (int i = 0; i < counts.size(); ++i)
        counts[i] = quint32((i * 7919) % 5000);
    other.setChannels(counts);
    r.spectra() << empty << other;
    QCOMPARE(store(r), 1);
    QCOMPARE(count("filterprops"), 2);
    QCOMPARE(querySqlite(m_db, "SELECT count(DISTINCT filterPosition) FROM spectrum"),
             QVariantList { 2 });
    QCOMPARE(querySqlite(m_db, "SELECT data FROM spectrum WHERE exposureNumber=3"),
             QVariantList { "0x" });
    // Little-endian counts as lower-case hex: the first channel is 0, the second 7919 % 5000.
    QVERIFY(querySqlite(m_db, "SELECT data FROM spectrum WHERE exposureNumber=4")
                    .value(0)
                    .toString()
                    .startsWith("0x00000000670b0000"));
    r.analysis().setTestDateTime(at(4, 13, 1));
    QCOMPARE(store(r), 2);
    QCOMPARE(count("filterprops"), 2);
}

void TestStorage::dayRecordCountsTheDaysResults()
{
    for (int i = 0; i < 3; ++i)
        QCOMPARE(store(alloy(QString::number(i), at(5, 14, i))), i + 1);
    auto counter = [this] {
        QDataStream in(readFile(m_lib.path("profile/Zefra-99999")));
        qint32 magic, version;
        qint64 day, counter;
        in >> magic >> version >> day >> counter;
        return QPair<qint64, qint64>(day, counter);
    };
    QCOMPARE(counter(), qMakePair(QDate::currentDate().toJulianDay(), qint64(3)));

    // A result whose commit fails is not counted.
    qputenv("XRF_FAULT_POINT", "commit-fail");
    QCOMPARE(store(alloy("x", at(5, 15))), -1);
    qunsetenv("XRF_FAULT_POINT");
    QCOMPARE(store(alloy("y", at(5, 15, 1))), 4);
    QCOMPARE(counter().second, qint64(4));
}

void TestStorage::specialTestTypes()
{
    XrfKorviResult cal = TestSupport::sample("04-calibration-check");
    cal.images().clear();
    cal.chemistry().append(XrfChemistryResult()); // not kept for a calibration check
    cal.chemistry()[0].setElementName("Fe");
    const int calId = store(cal);
    QCOMPARE(calId, 1);
    XrfKorviResult back = m_lib.readBack(calId);
    QVERIFY(back.hasCalCheck());
    QVERIFY(back.chemistry().isEmpty());
    QCOMPARE(back.calCheck()->toJsonObject(),
             TestSupport::normaliseStored(cal, calId, m_db, "D'Arcy").calCheck()->toJsonObject());

    XrfKorviResult repeat = TestSupport::sample("05-brass-repeat");
    repeat.images().clear();
    repeat.analysis().setMethodFamilyName(8); // a coating family keeps no chemistry
    XrfCoatingResult layer;
    layer.setElement(QStringLiteral("Au"));
    layer.setLayerOrder(1);
    layer.setThickness(0.75f);
    layer.setError(0.0625f);
    repeat.coating() = { layer };
    back = m_lib.readBack(store(repeat));
    QCOMPARE(back.analysis().repeatTestIndex(), 2);
    QCOMPARE(back.analysis().repeatTestTotal(), 3);
    // The layer comes back in both lists; the unit defaults to micrometres.
    QCOMPARE(back.chemistry().size(), 1);
    QCOMPARE(back.chemistry().at(0).concentration(), 0.75f);
    QCOMPARE(back.analysis().coatingDisplayUnitEnum(), 3);

    XrfKorviResult regression = TestSupport::sample("06-soil-regression");
    regression.images().clear();
    regression.regressionInfo().setHistoricalTestId(calId);
    back = m_lib.readBack(store(regression));
    QCOMPARE(back.regressionInfo().historicalTestId(), calId);
    QCOMPARE(back.regressionInfo().historicalTidName(), QStringLiteral("SysCheck-1125"));
    QCOMPARE(back.regressionInfo().historicalDateTime(), QStringLiteral("2026-11-25 07:58:03.914"));
}

void TestStorage::imagesAreMovedAndServed()
{
    XrfKorviResult r = alloy("T'7", at(6, 8));
    for (const char *name : { "a.jpeg", "missing.jpeg", "b.jpeg" }) {
        if (name[0] != 'm')
            QVERIFY(writeFile(m_lib.path("card/images/2026-12-06/") + name,
                              QByteArray("\x01\x02") + name));
        XrfImageInfo image;
        image.setName(QString::fromLatin1(name));
        image.setType(name[0] == 'b' ? 1 : 0);
        image.setCropAreaWidth(320);
        image.setImageHasCircle(true);
        r.images().append(image);
    }
    // A picture the result names that is not there: nothing is stored short
    // of it, and the pictures that are there stay where the camera left them.
    QSignalSpy inserted(m_rm, &XrfResultManager::resultInserted);
    QCOMPARE(store(r), -1);
    QCOMPARE(inserted.value(0).value(0).value<XrfErrorInfo::XrfError>(),
             XrfErrorInfo::FileAccessFailed);
    QCOMPARE(querySqlite(m_db, "SELECT count(*) FROM analysisresult").value(0).toInt(), 0);
    QVERIFY(QFileInfo::exists(m_lib.path("card/images/2026-12-06/a.jpeg")));
    QVERIFY(writeFile(m_lib.path("card/images/2026-12-06/missing.jpeg"), "late"));
    QCOMPARE(store(r), 1);
    QCOMPARE(querySqlite(m_db, "SELECT fileName || ' ' || imageType FROM imageresult ORDER BY id"),
             QVariantList({ "2026-12-06/img-2026-12-06-T'7-080000000-1.jpeg INLINE",
                            "2026-12-06/img-2026-12-06-T'7-080000000-2.jpeg INLINE",
                            "2026-12-06/img-2026-12-06-T'7-080000000-3.jpeg MACRO" }));

    QSignalSpy done(m_rm, &XrfResultManager::operationDone);
    m_rm->getImage(QStringLiteral("2026-12-06/img-2026-12-06-T'7-080000000-1.jpeg"), 77);
    m_rm->getImage(QStringLiteral("nothing.jpeg"), 78);
    QTRY_COMPARE(done.count(), 2);
    QCOMPARE(done.at(0).at(0).toInt(), 115);
    QCOMPARE(done.at(0).at(1).toInt(), 77);
    QCOMPARE(done.at(0).at(2).value<QJsonDocument>().object().value("imageBuff").toString(),
             QString::fromLatin1(QByteArray("\x01\x02"
                                            "a.jpeg")
                                         .toHex()));
    QCOMPARE(done.at(1).at(3).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::FileOpenFailed);
    QVERIFY(done.at(1).at(2).value<QJsonDocument>().isEmpty());
}

void TestStorage::imageNamesAreUniqueAndStayInTheStore()
{
    const QString day = QStringLiteral("2026-12-07");
    const QString images = m_lib.path("card/images/");
    // Stores a result with one picture, given its source name and content
    // (written into the day's folder unless empty); the stored picture's name.
    auto storeWith = [&](const QString &tidName, QTime time, const QString &image,
                         const QByteArray &content) {
        XrfKorviResult r = alloy(tidName, QDateTime(QDate(2026, 12, 7), time, Qt::UTC));
        XrfImageInfo info;
        info.setName(image);
        r.images().append(info);
        if (!content.isEmpty() && !writeFile(images + day + '/' + image, content))
            return QStringLiteral("(not written)");
        const int tid = store(r);
        if (tid <= 0)
            return QStringLiteral("(not stored)");
        const XrfKorviResult back = m_lib.readBack(tid);
        return back.images().isEmpty() ? QString() : back.images().first().name();
    };

    // A repeat series: one name, one day, a picture each.
    const QString first = storeWith("rep", QTime(9, 0, 0, 1), "a.jpeg", "first");
    const QString second = storeWith("rep", QTime(9, 0, 0, 2), "b.jpeg", "second");
    QVERIFY(first != second);
    QCOMPARE(readFile(images + first), QByteArray("first"));
    QCOMPARE(readFile(images + second), QByteArray("second"));

    // Names that would climb out of the store or that a FAT card refuses.
    const QString odd = storeWith("../x/A:B*", QTime(9, 1), "c.jpeg", "third");
    QCOMPARE(odd, day + "/img-" + day + "-.._x_A_B_-090100000-1.jpeg");
    QCOMPARE(readFile(images + odd), QByteArray("third"));
    QCOMPARE(storeWith("../../../../y", QTime(9, 2), "d.jpeg", "fourth"),
             day + "/img-" + day + "-.._.._.._.._y-090200000-1.jpeg");

    // Source names that lead out of the store are not followed.
    QVERIFY(writeFile(m_lib.path("victim.txt"), "mine"));
    QVERIFY(writeFile(m_lib.path("card/victim.jpeg"), "mine too"));
    QCOMPARE(storeWith("out", QTime(9, 3), "../../../victim.txt", {}), QString());
    QCOMPARE(storeWith("out2", QTime(9, 4), "../victim.jpeg", {}), QString());
    QVERIFY(QFileInfo::exists(m_lib.path("victim.txt")));
    QVERIFY(QFileInfo::exists(m_lib.path("card/victim.jpeg")));

    // A very long name is cut to fit a file name, quickly.
    QElapsedTimer clock;
    clock.start();
    const QString cut = storeWith(QString(1 << 20, QChar(0x00e9)), QTime(9, 5), "e.jpeg", "fifth");
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(QFileInfo(cut).fileName().toUtf8().size() <= 255);
    QVERIFY(cut.endsWith("-090500000-1.jpeg"));
    QCOMPARE(readFile(images + cut), QByteArray("fifth"));

    // Nothing left the store, and nothing outside it changed.
    QCOMPARE(QDir(m_lib.path("card")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({ "db", "images", "victim.jpeg" }));
}

void TestStorage::namesRowsThatPointNowhereAreIgnored()
{
    const int tid = store(alloy("drift", at(8, 7)));
    QVERIFY(tid > 0);
    // A damaged card may hold drift corrections for spectra that are not there.
    for (int index : { -1, -7, 99 })
        QVERIFY(execSqlite(m_db,
                           { QStringLiteral("INSERT INTO resultnames (testId,type,name) VALUES "
                                            "(%1,11,'{\"index\":%2,\"timeStampUtc\":\"x\"}')")
                                     .arg(tid)
                                     .arg(index) }));
    QCOMPARE(m_lib.readBack(tid).analysis().tidName(), QStringLiteral("drift"));
}

void TestStorage::editTestInfoReplacesAndAdds()
{
    // The sample's test info: Heat Number, Customer, Lot.
    const int tid = store(alloy("e", at(9, 9)));
    QSignalSpy done(m_rm, &XrfResultManager::operationDone);
    for (const auto &edit :
         { std::make_pair("Customer", "New'Co"), std::make_pair("Grade", "316L") }) {
        XrfJsonMessage msg;
        msg.fromJsonObject(QJsonObject { { "id", 5 },
                                         { "params",
                                           QJsonObject { { "testId", QString::number(tid) },
                                                         { "fieldName", edit.first },
                                                         { "fieldValue", edit.second } } } });
        QCOMPARE(m_rm->editTestInfo(&msg), XrfErrorInfo::NoError);
    }
    QTRY_COMPARE(done.count(), 2);
    QCOMPARE(done.at(0).at(0).toInt(), 604);
    QCOMPARE(done.at(0).at(1).toInt(), 5);
    const XrfKorviResult back = m_lib.readBack(tid);
    QCOMPARE(back.testInfo().size(), 4);
    QCOMPARE(back.testInfo().at(1).value("value").toString(), QStringLiteral("New'Co"));
    QCOMPARE(back.testInfo().at(3).value("key").toString(), QStringLiteral("Grade"));
}

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
