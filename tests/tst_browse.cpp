// Browsing, deletion and averaging through the facade and the real worker
// thread, on real database files, with the instrument in Berlin: local days
// differ from UTC days by one or two hours and change length at the
// daylight-saving switches.

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <ctime>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "testsupport.h"
#include "xrfmethodmanager.h"
#include "xrfsettingsmanager.h"

using TestSupport::querySqlite;
using TestSupport::utc;

namespace {

struct Answer
{
    int command = 0;
    QJsonObject object;
    int code = 1;
};

XrfKorviResult alloy(const QString &tidName, const QString &when)
{
    XrfKorviResult r = TestSupport::sample("01-stainless-316");
    r.analysis().setTidName(tidName);
    r.analysis().setTestDateTime(utc(when));
    return r;
}

// Every table that holds rows of one test, and how many it holds of `id`.
const QStringList perTestTables { "analysisresult",   "elementresult",  "averagedresultinfo",
                                  "gradematch",       "gradematchspec", "spectrum",
                                  "userfactorresult", "testinfo",       "regressioninfo",
                                  "repeatinfo",       "compoundresult", "rohsactionlevelresult",
                                  "plating",          "resultnames",    "rohsresult",
                                  "coatingresult",    "location",       "pseudoelementresult",
                                  "calcheckresult",   "imageresult" };

} // namespace

class TestBrowse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { m_lib.end(); }

    void localDaysAgreeEverywhere();
    void timesInALocalGapReadBackExactly();
    void boundsAreParsedAndExact();
    void deletionRemovesExactlyTheChosenTests();
    void deletingEverythingMakesAFreshFile();
    void failedDeletionLosesNothing();
    void averageIsTheMeanOfTheSources();
    void averagingRefusesWhatItCannotResolve();
    void handlersTellNullFromMissing();

private:
    int store(const XrfKorviResult &r) { return m_lib.store(r); }
    template<class Request>
    Answer ask(int id, Request request)
    {
        QSignalSpy done(m_rm, &XrfResultManager::operationDone);
        request();
        Answer a;
        if (!QTest::qWaitFor([&] {
                for (const auto &args : done)
                    if (args.at(1).toInt() == id)
                        return true;
                return false;
            }))
            return a;
        for (const auto &args : done) {
            if (args.at(1).toInt() == id) {
                a.command = args.at(0).toInt();
                a.object = args.at(2).value<QJsonDocument>().object();
                a.code = args.at(3).toInt();
            }
        }
        return a;
    }
    XrfJsonMessage message(int id, const QJsonObject &params, int command = 0)
    {
        return XrfJsonMessage(id, command, params);
    }
    Answer dayList(const QString &day)
    {
        return ask(14, [&] { m_rm->getTestIds(message(14, { { "date", day } })); });
    }
    QList<int> idsOf(const QJsonArray &tests)
    {
        QList<int> ids;
        for (const QJsonValue &t : tests)
            ids << t.toObject().value("tid").toInt();
        return ids;
    }
    QList<int> storedIds()
    {
        return TestSupport::queryInts(m_db, "SELECT testId FROM analysisresult");
    }
    int rowsOf(int testId)
    {
        int rows = 0;
        for (const QString &table : perTestTables) {
            QString where = QStringLiteral("testId = %1").arg(testId);
            if (table == "averagedresultinfo")
                where += QStringLiteral(" OR averagedTestId = %1").arg(testId);
            rows += querySqlite(m_db, "SELECT count(*) FROM " + table + " WHERE " + where)
                            .value(0)
                            .toInt();
        }
        return rows;
    }

    TestSupport::LibraryFixture m_lib;
    XrfResultManager *m_rm = nullptr;
    QString m_db;
};

void TestBrowse::initTestCase()
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void TestBrowse::init()
{
    qunsetenv("XRF_FAULT_POINT");
    QVERIFY(m_lib.begin("SN-BROWSE"));
    XrfMethodManager::instance()->setCurrentMethod("Alloy-General");
    QVERIFY(m_rm = m_lib.startFacade());
    m_lib.openCard();
    QVERIFY(m_lib.databaseOpen());
    m_db = m_lib.databaseFile();
}

void TestBrowse::localDaysAgreeEverywhere()
{
    // Summer time (UTC+2): 21:30 UTC is still 6 May in Berlin, the other
    // three are 7 May. 30 March is a 23-hour day in Berlin (UTC+1 until
    // 01:00 UTC, then UTC+2).
    for (const char *t :
         { "2024-05-06 21:30:00.000", "2024-05-06 22:30:00.000", "2024-05-06 23:30:00.000",
           "2024-05-07 00:30:00.000", "2024-03-30 23:30:00.000", "2024-03-31 21:59:59.999",
           "2024-03-31 22:00:00.000" })
        QVERIFY(store(alloy(QStringLiteral("T %1").arg(t), t)) > 0);

    const Answer calendar = ask(4, [&] {
        XrfJsonMessage msg = message(4, {});
        m_rm->getCalendar(&msg);
    });
    QCOMPARE(calendar.command, 104);
    const QJsonObject expected = QJsonDocument::fromJson(R"({"Calendar": [{"2024": [
        {"3": ["31"]}, {"4": ["1"]}, {"5": ["6", "7"]}]}], "numOfRecsInDb": 7})")
                                         .object();
    QCOMPARE(calendar.object, expected);

    Answer day = dayList("2024-05-07");
    QCOMPARE(day.command, 114);
    QCOMPARE(idsOf(day.object.value("testIds").toArray()), QList<int>({ 2, 3, 4 }));
    QCOMPARE(idsOf(dayList("2024-05-06").object.value("testIds").toArray()), QList<int>({ 1 }));
    QCOMPARE(idsOf(dayList("2024-03-31").object.value("testIds").toArray()), QList<int>({ 5, 6 }));
    QCOMPARE(dayList("7 May").code, int(XrfErrorInfo::InvalidArgument));

    // The same local day, deleted by its bounds, takes the same three.
    const Answer deleted = ask(21, [&] {
        m_rm->deleteTestResultsByDate(
                message(21,
                        { { "dateList", "2024-05-06 23:59:59.999,2024-05-07 23:59:59.999" },
                          { "tidList", "" } }));
    });
    QCOMPARE(deleted.code, 0);
    QCOMPARE(deleted.command, 102);
    QCOMPARE(storedIds(), QList<int>({ 1, 5, 6, 7 }));
}

// Stored times are UTC texts; one whose wall clock lies in Berlin's spring
// gap (02:00-03:00 on 31 March 2024) must come back as it went in, not moved
// or lost by a detour through local time.
void TestBrowse::timesInALocalGapReadBackExactly()
{
    const QString when = "2024-03-31 02:30:00.250";
    const int id = store(alloy("gap", when));
    QVERIFY(id > 0);
    XrfKorviResult back;
    QCOMPARE(m_rm->syncGetFullResult(id, &back), XrfErrorInfo::NoError);
    QCOMPARE(back.analysis().testDateTime(), utc(when));
    QCOMPARE(back.analysis().dateTimeString(), when);
}

void TestBrowse::boundsAreParsedAndExact()
{
    const int first = store(alloy("a", "2024-05-07 10:00:00.100"));
    const int second = store(alloy("b", "2024-05-07 10:00:00.400"));
    QVERIFY(first > 0 && second > 0);
    QJsonArray tests;
    // Local 12:00:00.100 is 10:00:00.100 UTC: the lower bound excludes it.
    QCOMPARE(m_rm->getTestsBetweenDates("2024-05-07 12:00:00.100", "2024-05-07 12:00:00.400",
                                        &tests),
             XrfErrorInfo::NoError);
    QCOMPARE(idsOf(tests), QList<int>({ second }));
    tests = QJsonArray();
    QCOMPARE(m_rm->getTestsBetweenDates("2024-05-07T09:00:00Z", "2024-05-07T10:00:00.100Z", &tests),
             XrfErrorInfo::NoError);
    QCOMPARE(idsOf(tests), QList<int>({ first }));
    QCOMPARE(m_rm->getTestsBetweenDates("2024-05-01", "May 7", &tests),
             XrfErrorInfo::InvalidArgument);

    // A bound that does not parse deletes nothing, nor does a bad id list.
    for (const QJsonObject &params :
         { QJsonObject { { "dateList", "2024-05-01 00:00:00.000,May 7" }, { "tidList", "" } },
           QJsonObject { { "dateList", "" }, { "tidList", "1,x" } } }) {
        const Answer refused = ask(3, [&] { m_rm->deleteTestResultsByDate(message(3, params)); });
        QCOMPARE(refused.code, int(XrfErrorInfo::InvalidArgument));
    }
    QCOMPARE(storedIds(), QList<int>({ first, second }));

    // Newest first; a negative count is none.
    const Answer latest = ask(10, [&] {
        XrfJsonMessage msg = message(10, { { "number", 1 } });
        m_rm->getLatestTestIds(&msg);
    });
    QCOMPARE(latest.command, 110);
    QCOMPARE(idsOf(latest.object.value("tidInfo").toArray()), QList<int>({ second }));
    const Answer none = ask(11, [&] {
        XrfJsonMessage msg = message(11, { { "number", -5 } });
        m_rm->getLatestTestIds(&msg);
    });
    QCOMPARE(none.object.value("tidInfo").toArray().size(), 0);

    // Notes: the first test info entry, only when enabled.
    XrfSettingsManager::instance()->setEnableCalendarNote(true);
    const QJsonObject noted
            = dayList("2024-05-07").object.value("testIds").toArray().at(0).toObject();
    QCOMPARE(noted.value("note").toString(), QStringLiteral("Heat Number: H-44127"));
}

void TestBrowse::deletionRemovesExactlyTheChosenTests()
{
    QList<XrfKorviResult> results;
    for (int i = 0; i < 3; ++i) {
        XrfKorviResult r = TestSupport::sample("01-stainless-316");
        r.analysis().setTidName(QStringLiteral("img-%1").arg(i));
        r.analysis().setTestDateTime(utc("2024-06-01 08:00:00.000").addSecs(i * 60));
        QVERIFY(TestSupport::placeImages(r, m_lib.path("card")));
        QVERIFY(store(r) == i + 1);
    }
    const XrfKorviResult keep = m_lib.readBack(3);
    QCOMPARE(keep.analysis().testId(), 3);
    QStringList images;
    for (const QVariant &v : querySqlite(m_db, "SELECT fileName FROM imageresult ORDER BY testId"))
        images << m_lib.path("card/images/") + v.toString();
    QCOMPARE(images.size(), 6); // two pictures each

    const Answer injected = ask(8, [&] {
        m_rm->deleteTestResults(message(8, { { "xrfString", "0) OR (1=1" } }));
    });
    QCOMPARE(injected.command, 102);
    QCOMPARE(injected.code, int(XrfErrorInfo::InvalidArgument));
    QCOMPARE(storedIds(), QList<int>({ 1, 2, 3 }));

    QSignalSpy calendar(m_rm, &XrfResultManager::calendarUpdated);
    // As many ids as stored results, but one is not stored: rows go, the
    // file stays.
    const Answer deleted = ask(9, [&] {
        m_rm->deleteTestResultsByDate(message(9, { { "dateList", "" }, { "tidList", "1, 2,99" } }));
    });
    QCOMPARE(deleted.command, 102);
    QCOMPARE(deleted.code, 0);
    QCOMPARE(storedIds(), QList<int>({ 3 }));
    QCOMPARE(rowsOf(1) + rowsOf(2), 0);
    for (int i = 0; i < images.size(); ++i)
        QCOMPARE(QFile::exists(images.at(i)), i >= 4);
    QCOMPARE(m_lib.readBack(3).toJsonObject(), keep.toJsonObject());
    QTRY_COMPARE(calendar.count(), 1);
    QCOMPARE(calendar.at(0).at(0).toJsonObject().value("numOfRecsInDb").toInt(), 1);

    // By option: answered under the request id in both places; nothing
    // selected is still answered.
    const Answer option = ask(7, [&] {
        m_rm->deleteTestResultsWithOption(
                message(7, { { "tidList", QJsonArray { "42" } }, { "actionToDo", 3 } }));
    });
    QCOMPARE(option.command, 7);
    QCOMPARE(option.code, 0);
    QCOMPARE(storedIds(), QList<int>({ 3 }));
}

void TestBrowse::deletingEverythingMakesAFreshFile()
{
    QVERIFY(store(alloy("one", "2024-06-01 08:00:00.000")) > 0);
    QVERIFY(store(alloy("two", "2024-06-02 08:00:00.000")) > 0);
    const QString dbId = querySqlite(m_db, "SELECT dbId FROM devinfo").value(0).toString();
    // A picture of a result still in the queue: no row names it.
    const QString queued = m_lib.path("card/images/2024-06-03/queued.jpeg");
    QVERIFY(TestSupport::writeFile(queued, "jpeg"));

    // The selection names every stored test (and one twice): the file goes.
    const Answer erased = ask(5, [&] {
        m_rm->deleteTestResultsByDate(
                message(5,
                        { { "dateList", "2024-05-31 00:00:00.000,2024-06-30 00:00:00.000" },
                          { "tidList", "1" } }));
    });
    QCOMPARE(erased.command, 103);
    QCOMPARE(erased.code, 0);
    QVERIFY(storedIds().isEmpty());
    const QVariantList device = querySqlite(m_db, "SELECT dbVersion || '/' || dbId FROM devinfo");
    QCOMPARE(device.size(), 1);
    QVERIFY(device.at(0).toString().startsWith("6.3/"));
    QVERIFY(device.at(0).toString() != "6.3/" + dbId);
    QVERIFY(QFile::exists(queued));
    QVERIFY(store(alloy("three", "2024-06-04 08:00:00.000")) == 1);
}

void TestBrowse::failedDeletionLosesNothing()
{
    XrfKorviResult r = TestSupport::sample("01-stainless-316");
    QVERIFY(TestSupport::placeImages(r, m_lib.path("card")));
    QVERIFY(store(r) == 1);
    QVERIFY(store(alloy("other", "2024-06-02 08:00:00.000")) == 2);
    const QString image = m_lib.path("card/images/")
            + querySqlite(m_db, "SELECT fileName FROM imageresult").value(0).toString();
    const int rows = rowsOf(1);

    qputenv("XRF_FAULT_POINT", "delete-commit-fail");
    const Answer failed = ask(6, [&] {
        m_rm->deleteTestResults(message(6, { { "xrfString", "1" } }));
    });
    QCOMPARE(failed.code, int(XrfErrorInfo::DbQueryFailed));
    QCOMPARE(rowsOf(1), rows);
    QVERIFY(QFile::exists(image));

    // A new file that cannot be made keeps the old one and its results.
    qputenv("XRF_FAULT_POINT", "erase-open-fail");
    const Answer kept = ask(7, [&] {
        m_rm->deleteTestResultsByDate(message(7, { { "dateList", "" }, { "tidList", "1,2" } }));
    });
    QCOMPARE(kept.code, int(XrfErrorInfo::DbOpenFailed));
    qunsetenv("XRF_FAULT_POINT");
    QVERIFY(m_lib.databaseOpen());
    QCOMPARE(storedIds(), QList<int>({ 1, 2 }));
    QVERIFY(QFile::exists(image));
}

void TestBrowse::averageIsTheMeanOfTheSources()
{
    // Fe and Cr differ per source; Mo only in the first two; the third has
    // a user factor on Fe (factor 2, offset 0.5, family 0: scale 1) and a
    // normalisation factor of 0.5.
    const QList<QPair<double, double>> feCr { { 60.0, 18.0 }, { 64.0, 17.0 }, { 30.0, 16.0 } };
    QList<int> ids;
    for (int i = 0; i < 3; ++i) {
        XrfKorviResult r = alloy(QStringLiteral("src-%1").arg(i),
                                 QStringLiteral("2024-06-05 0%1:00:00.000").arg(i + 1));
        r.images().clear();
        QList<XrfChemistryResult> chemistry;
        for (const auto &c : { std::make_tuple("Fe", feCr.at(i).first, 0.2),
                               std::make_tuple("Cr", feCr.at(i).second, 0.1),
                               std::make_tuple("Mo", 2.0 + i, 0.05) }) {
            if (i == 2 && QLatin1String(std::get<0>(c)) == QLatin1String("Mo"))
                continue;
            XrfChemistryResult e;
            e.setElementName(std::get<0>(c));
            e.setConcentration(float(std::get<1>(c)));
            e.setError(float(std::get<2>(c)));
            chemistry << e;
        }
        r.chemistry() = chemistry;
        r.userFactor().clear();
        r.analysis().setUserFactorNormalizeFactor(-1);
        if (i == 2) {
            XrfUserFactorResult f;
            f.setElementName("Fe");
            f.setFactor(2.0f);
            f.setOffset(0.5f);
            r.userFactor() << f;
            r.analysis().setUserFactorName("UF"); // the factor is kept only with a name
            r.analysis().setUserFactorNormalizeFactor(0.5);
        }
        ids << store(r);
        QVERIFY(ids.last() > 0);
    }

    XrfMethodManager::instance()->setMethodOverrideObject(QJsonDocument::fromJson(R"({
        "pseudoElementOption": {"name": "Ratios", "elements": [
            {"pseudoElement": "Fe/Cr", "formula": "Fe / Cr"},
            {"pseudoElement": "Cr+Ni", "formula": "Cr + Ni"}]},
        "compound": {"selected": "Oxides", "Oxides": {"Fe": {"Fe2O3": 1.43, "FeO": 1.29}}}})")
                                                                  .object());
    QSignalSpy available(m_rm, &XrfResultManager::aResultAvailable);
    const Answer answer = ask(12, [&] {
        m_rm->AddAveragedResult(message(
                12,
                { { "xrfString", QStringLiteral("%1,%2,%3").arg(ids[0]).arg(ids[1]).arg(ids[2]) },
                  { "tidName", "Avg" } }));
    });
    QCOMPARE(answer.command, 105);
    QCOMPARE(answer.code, 0);
    QVERIFY(answer.object.contains("testResult"));
    QTRY_COMPARE(available.count(), 1);
    const XrfKorviResult averaged = available.at(0).at(0).value<XrfKorviResult>();
    QMap<QString, QPair<double, double>> got;
    for (const XrfChemistryResult &c : averaged.chemistry())
        got.insert(c.elementName(), { c.concentration(), c.error() });
    // Third source: Fe (30*2 + 0.5) * 0.5 = 30.25, error 0.2*2*0.5; Cr 16*0.5.
    QVERIFY(qAbs(got.value("Fe").first - (60.0 + 64.0 + 30.25) / 3) < 1e-4);
    QVERIFY(qAbs(got.value("Fe").second - (0.2 + 0.2 + 0.2) / 3) < 1e-5);
    QVERIFY(qAbs(got.value("Cr").first - (18.0 + 17.0 + 8.0) / 3) < 1e-4);
    QVERIFY(qAbs(got.value("Mo").first - (2.0 + 3.0) / 2) < 1e-5);
    QCOMPARE(averaged.analysis().testType(), QStringLiteral("AVERAGED"));
    // Pseudo elements from the averaged values; Ni is in none of the sources.
    QCOMPARE(averaged.pseudoElement().size(), 2);
    QVERIFY(qAbs(averaged.pseudoElement().at(0).concentration()
                 - got.value("Fe").first / got.value("Cr").first)
            < 1e-4);
    QVERIFY(averaged.pseudoElement().at(1).notApplicable());
    QCOMPARE(averaged.analysis().pseudoElementConfigName(), QStringLiteral("Ratios"));
    QCOMPARE(averaged.compound().size(), 1);
    QCOMPARE(averaged.compound().at(0).compoundName(), QStringLiteral("Fe2O3"));

    // Stored twice under one name: two results, each with its sources.
    const int a1 = store(averaged);
    QVERIFY(a1 > 0);
    QTest::qWait(5);
    const int a2 = store(averaged);
    QVERIFY(a2 > 0 && a2 != a1);
    const XrfKorviResult back = m_lib.readBack(a1);
    QCOMPARE(back.avgOfTestsInfo().size(), 3);
    QCOMPARE(back.avgOfTestsInfo().at(2).tidName(), QStringLiteral("src-2"));
}

void TestBrowse::averagingRefusesWhatItCannotResolve()
{
    const int a = store(alloy("A", "2024-06-05 08:00:00.000"));
    const int b = store(alloy("B", "2024-06-05 09:00:00.000"));
    store(alloy("B", "2024-06-05 10:00:00.000"));
    XrfKorviResult other = alloy("C", "2024-06-05 11:00:00.000");
    other.analysis().setMethodId("Precious-Metals");
    const int c = store(other);
    auto average = [&](int id, const QString &list) {
        return ask(id, [&] {
            m_rm->AddAveragedResult(message(id, { { "xrfString", list }, { "tidName", "Avg" } }));
        });
    };
    QCOMPARE(average(30, QStringLiteral("%1,99").arg(a)).code, int(XrfErrorInfo::ResultNotFound));
    QCOMPARE(average(31, QStringLiteral("%1,%1,").arg(a)).code, int(XrfErrorInfo::InvalidArgument));
    QCOMPARE(average(32, QStringLiteral("%1,%2").arg(a).arg(c)).code,
             int(XrfErrorInfo::MethodMismatch));
    QCOMPARE(average(33, QStringLiteral("%1,%2").arg(c).arg(a)).code,
             int(XrfErrorInfo::NotCurrentMethod));
    // By local day and name: "B" is two tests that day, "Z" none.
    QCOMPARE(average(34, "2024-06-05 A,2024-06-05 B").code, int(XrfErrorInfo::InvalidArgument));
    QCOMPARE(average(35, "2024-06-05 A,2024-06-05 Z").code, int(XrfErrorInfo::ResultNotFound));
    m_rm->deleteTestResults(message(36, { { "xrfString", "3" } }));
    const Answer byName = average(37, "2024-06-05 A,2024-06-05 B");
    QCOMPARE(byName.code, 0);
    QVERIFY(b > 0);
}

void TestBrowse::handlersTellNullFromMissing()
{
    QVERIFY(store(alloy("x", "2024-06-05 08:00:00.000")) == 1);
    QSignalSpy done(m_rm, &XrfResultManager::operationDone);
    // JSON null is refused at once (no answer would ever come for it); a
    // missing key is an empty or zero value.
    QCOMPARE(m_rm->getTestIds(message(40, { { "date", QJsonValue::Null } })),
             XrfErrorInfo::InvalidArgument);
    XrfJsonMessage nullNumber = message(41, { { "number", QJsonValue::Null } });
    QCOMPARE(m_rm->getLatestTestIds(&nullNumber), XrfErrorInfo::InvalidArgument);
    QCOMPARE(m_rm->deleteTestResults(message(49, { { "xrfString", QJsonValue::Null } })),
             XrfErrorInfo::InvalidArgument);
    QCOMPARE(m_rm->deleteTestResultsWithOption(message(50, { { "actionToDo", 1 } })),
             XrfErrorInfo::InvalidArgument);
    // An id list with an entry that is no id is refused whole.
    QCOMPARE(m_rm->deleteTestResultsWithOption(
                     message(51, { { "actionToDo", 3 }, { "tidList", QJsonArray { 1, true } } })),
             XrfErrorInfo::InvalidArgument);
    XrfJsonMessage badExport = message(
            52, { { "actionToDo", 1 }, { "tidList", QJsonArray { "1", QJsonObject() } } }, 119);
    QCOMPARE(m_rm->exportResultsWithOption(&badExport), XrfErrorInfo::InvalidArgument);
    QCOMPARE(m_lib.readBack(1).analysis().testId(), 1);
    const Answer missingDate = ask(42, [&] { m_rm->getTestIds(message(42, {})); });
    QCOMPARE(missingDate.code, int(XrfErrorInfo::InvalidArgument));
    XrfJsonMessage missingNumber = message(43, {});
    const Answer zero = ask(43, [&] { m_rm->getLatestTestIds(&missingNumber); });
    QCOMPARE(zero.object.value("tidInfo").toArray().size(), 0);
    QCOMPARE(done.count(), 2);

    // An id text that is not a number edits nothing.
    XrfJsonMessage edit
            = message(44, { { "testId", "abc" }, { "fieldName", "Lot" }, { "fieldValue", "9" } });
    const Answer notFound = ask(44, [&] { m_rm->editTestInfo(&edit); });
    QCOMPARE(notFound.command, 604);
    QCOMPARE(notFound.code, int(XrfErrorInfo::ResultNotFound));

    // Command 118 asks for the display form, in the method's element order;
    // any other command for the result itself. A list that is not ids
    // reads nothing.
    XrfMethodManager::instance()->setDisplaySettings(
            { { "elementOrder", QJsonArray { "Ni", "Cr" } } });
    XrfJsonMessage full = message(46, { { "testIDs", QJsonArray { 1 } } }, 118);
    const Answer display = ask(46, [&] { m_rm->GetFullResult(&full); });
    QCOMPARE(display.command, 118);
    const QJsonArray chemistry
            = display.object.value("testResult").toObject().value("chemistry").toArray();
    QCOMPARE(chemistry.at(0).toObject().value("element").toString(), QStringLiteral("Ni"));
    QCOMPARE(chemistry.at(1).toObject().value("element").toString(), QStringLiteral("Cr"));
    QVERIFY(chemistry.at(0).toObject().value("text").toString().endsWith(" %"));
    const XrfKorviResult stored = m_lib.readBack(1);
    XrfJsonMessage plain = message(47, { { "xrfString", "1" } }, 117);
    QCOMPARE(ask(47, [&] { m_rm->GetFullResult(&plain); }).object.value("testResult").toObject(),
             stored.toJsonObject());
    XrfJsonMessage junk = message(48, { { "xrfString", "1; DROP" } }, 118);
    QCOMPARE(ask(48, [&] { m_rm->GetFullResult(&junk); }).code, int(XrfErrorInfo::InvalidArgument));
    // Asked with -1000 twice, the answer is for synchronisation: it comes by
    // resultsAvailableForSync and never as operationDone.
    QSignalSpy forSync(m_rm, &XrfResultManager::resultsAvailableForSync);
    QSignalSpy anyDone(m_rm, &XrfResultManager::operationDone);
    XrfJsonMessage sync = message(-1000, { { "xrfString", "1" } }, -1000);
    m_rm->GetFullResult(&sync);
    QTRY_COMPARE(forSync.count(), 1);
    QCOMPARE(forSync.at(0).at(0).value<QJsonObject>().value("testResult").toObject(),
             stored.toJsonObject());
    XrfJsonMessage later = message(49, { { "xrfString", "1" } }, 117);
    ask(49, [&] { m_rm->GetFullResult(&later); }); // answered after the -1000 one
    for (const auto &args : anyDone)
        QVERIFY(args.at(1).toInt() != -1000);

    // Without a card every handler refuses at once.
    m_rm->onInstrumentDataPathAvailable("SdCard", false, QString());
    QTRY_VERIFY(!m_lib.databaseOpen());
    XrfJsonMessage msg = message(45, { { "number", 3 } });
    QCOMPARE(m_rm->getCalendar(&msg), XrfErrorInfo::NoSdCard);
    QCOMPARE(m_rm->getLatestTestIds(&msg), XrfErrorInfo::NoSdCard);
    QCOMPARE(m_rm->deleteTestResults(message(45, { { "xrfString", "1" } })),
             XrfErrorInfo::NoSdCard);
    QCOMPARE(m_rm->AddAveragedResult(message(45, { { "xrfString", "1,2" }, { "tidName", "A" } })),
             XrfErrorInfo::NoSdCard);
}

QTEST_GUILESS_MAIN(TestBrowse)
#include "tst_browse.moc"
