// Storing whole results and reading them back, through the facade and the
// real worker thread, into a real database file.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "databasemanager.h"
#include "resultmanager.h"
#include "resultmanagerimpl.h"
#include "testsupport.h"
#include "xrfkorviresult.h"
#include "xrfsettingsmanager.h"

using TestSupport::execSqlite;
using TestSupport::querySqlite;

namespace {

const char awkward[] = "O'Brien \"quoted\"; back\\slash – Müller øre 中";

XrfSpectrum makeSpectrum(int step, int channels, quint16 filterMaterial)
{
    XrfSpectrum s;
    s.setExposureNumber(step);
    s.setTotalExposureNumber(2);
    s.setEnergySlope(0.02);
    s.setEnergyOffset(-0.0125);
    s.setLiveTime(9.5);
    s.setLiveTimeFromHardware(9.25);
    s.setResetTime(0.125);
    s.setFastCounts(123456789012ULL);
    s.setProbeSerialNumber(7001);
    s.setFirstRate(15234.5);
    s.setLastRate(15012.25);
    s.setRealTime(10);
    s.setVacuumPressure(0);
    s.setAmbientPressureMillibars(1013);
    s.setProbeTemperature(31.5);
    s.setTubeCurrentSet(25);
    s.setTubeCurrentMonitor(24.75);
    s.setTubeVoltageSet(40);
    s.setTubeVoltageMonitor(39.875);
    s.setLtMultiplier(1);
    s.setColMultiplier(2);
    s.setPileups(17);
    s.setClipBottom(3);
    s.setClipTop(2040);
    s.setTopResets(5);
    s.setStepIndex(step);
    s.setStepTotal(2);
    QVector<quint32> counts(channels);
    for (int i = 0; i < channels; ++i)
        counts[i] = quint32((i * 7919) % 5000 + (i == 320 ? 90000 : 0));
    s.setChannels(counts);
    s.filter().setMaterialAtomicNumber(filterMaterial);
    s.filter().setThicknessInMicrons(25);
    s.filter().setDiameterInMicrons(3000);
    s.filter().setHasCollimator(true);
    return s;
}

// A result that touches every table a normal test can fill.
XrfKorviResult makeAlloyResult(const QString &tidName, const QDateTime &when)
{
    XrfKorviResult r;
    XrfAnalysisResult &a = r.analysis();
    a.setTestDateTime(when);
    a.setStatusId(1);
    a.setFinal(true);
    a.setTestType(QStringLiteral("NORMAL"));
    a.setMethodId(QStringLiteral("Alloy-O'General"));
    a.setMethodFamilyName(2);
    a.setMethodDispName(QStringLiteral("General Metals; \"fast\""));
    a.setCollimatedStatusInt(1);
    a.setCollimated(true);
    a.setDailyId(12);
    a.setTidName(tidName);
    a.setTestErrorInfo(QStringLiteral("none"));
    a.setLatitude(47.376886999999996);
    a.setLongitude(8.5416940000000007);
    a.setElevation(408.5);
    a.setUserFactorName(QStringLiteral("UF-Steel"));
    a.setUserFactorNormalizeFactor(1.25);
    a.setCompoundTemplateName(QStringLiteral("Oxides"));
    a.setCompoundSuppress100Warning(true);
    a.setTiTemplateName(QStringLiteral("Scrap yard"));
    a.setGradeCompareEnable(1);
    a.setPseudoElementGradeMatchEnable(0);
    a.setPseudoElementConfigName(QStringLiteral("Pseudo'1"));
    a.setLeadPaintActionLevel(1.5);
    a.setPythonPluginResult(QStringLiteral("{'verdict': 'ok'}"));
    a.setDigitalIOStateBefore(0);
    a.setDigitalIOStateAfter(1);
    a.setRohsClassificationEnum(2);
    a.setRohsActionLevelEnum(1);
    a.setRohsActionLevelName(QStringLiteral("IEC '62321'"));
    a.setAuPlatingEnum(0);

    for (const auto &e :
         { std::make_tuple("Fe", 68.25f, 0.5f), std::make_tuple("Cr", 17.125f, 0.25f),
           std::make_tuple("Ni", 11.0f, 0.1875f) }) {
        XrfChemistryResult c;
        c.setElementName(QString::fromLatin1(std::get<0>(e)));
        c.setConcentration(std::get<1>(e));
        c.setError(std::get<2>(e));
        r.chemistry().append(c);
    }
    XrfPseudoElementResult p;
    p.setElementName(QStringLiteral("CE"));
    p.setFormula(QStringLiteral("C+Si/3"));
    p.setConcentration(0.4375f);
    p.setError(0.0625f);
    r.pseudoElement().append(p);
    XrfUserFactorResult uf;
    uf.setElementName(QStringLiteral("Mo"));
    uf.setFactor(1.0625f);
    uf.setOffset(-0.03125f);
    uf.setUserEntered(true);
    r.userFactor().append(uf);
    XrfCompoundResult comp;
    comp.setElementName(QStringLiteral("Si"));
    comp.setCompoundName(QStringLiteral("SiO2"));
    comp.setFactor(2.125f);
    r.compound().append(comp);
    XrfActionLevelResult al;
    al.setElementName(QStringLiteral("Pb'"));
    al.setActionLevelEnum(2);
    r.actionLevel().append(al);

    XrfGradeMatch g;
    g.setGradeName(QStringLiteral("316'L"));
    g.setMatchNumber(0.75f);
    g.setMatchNSigma(2.5f);
    g.setCompGrade(1);
    g.setNominalFactor(1.0f);
    g.setPassFailCutOff(3.0f);
    g.setPassFailNSigma(2.0f);
    g.setPassFailShowMatchNumber(true);
    g.setMatchMessage(QStringLiteral("Match"));
    XrfGradeMatchSpec spec;
    spec.setElementName(QStringLiteral("Cr"));
    spec.setMin(16.0f);
    spec.setMax(18.0f);
    spec.setResult(QStringLiteral("OK"));
    g.gradeSpec().append(spec);
    r.gradeMatch().append(g);

    r.spectra().append(makeSpectrum(1, 2048, 47));
    r.spectra().append(makeSpectrum(2, 2048, 47));
    r.spectra()[0].driftCorrection().setTimeStampUtc(QStringLiteral("2026-11-23T08:00:00Z"));
    r.testInfo().append(
            QJsonObject { { "key", "Customer" }, { "value", QString::fromUtf8(awkward) } });
    r.testInfo().append(QJsonObject { { "key", "Heat'No" }, { "value", "'; DROP TABLE x; --" } });
    return r;
}

} // namespace

class TestStorage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

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
    int store(const XrfKorviResult &result);
    QString dbFile() const
    {
        return XrfResultManager::m_pImpl->databaseManager()->databaseFilePath();
    }
    QTemporaryDir *m_dir = nullptr;
    XrfResultManager *m_rm = nullptr;
};

void TestStorage::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    TestSupport::configureInstrument(QStringLiteral("SN4711"));
    XrfSettingsManager::instance()->setCurrentUser(QStringLiteral("D'Arcy"));
    qunsetenv("XRF_FAULT_POINT");
    m_rm = XrfResultManager::instance();
    QCOMPARE(m_rm->init(), XrfErrorInfo::NoError);
    m_rm->setPaths(m_dir->filePath("profile/"), m_dir->filePath("card"));
    QVERIFY(XrfResultManager::m_pImpl->databaseManager()->isSdCardInserted());
}

void TestStorage::cleanup()
{
    qunsetenv("XRF_FAULT_POINT");
    if (XrfResultManager::m_pInstance)
        XrfResultManager::instance()->Deinit();
    delete m_dir;
}

// Stores through the facade and waits for the commit; the test id, or -1.
int TestStorage::store(const XrfKorviResult &result)
{
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    QSignalSpy inserted(m_rm, &XrfResultManager::resultInserted);
    if (m_rm->addTestResult(result) != XrfErrorInfo::NoError)
        return -1;
    if (!QTest::qWaitFor(
                [&] {
                    return committed.count() > 0
                            || (inserted.count() > 0 && inserted.at(0).at(0).toInt() != 0);
                },
                10000))
        return -1;
    QTest::qWait(50); // a commit that follows a failed insertion would show here
    return committed.isEmpty() ? -1 : committed.at(0).at(2).toInt();
}

void TestStorage::storedResultReadsBackWhole()
{
    const QDateTime when(QDate(2026, 11, 23), QTime(8, 15, 42, 318), Qt::UTC);
    XrfKorviResult original = makeAlloyResult(QString::fromUtf8(awkward), when);
    const int tid = store(original);
    QCOMPARE(tid, 1);

    XrfKorviResult back;
    QCOMPARE(m_rm->syncGetFullResult(tid, &back), XrfErrorInfo::NoError);

    // What the tables do not keep as given: the id and user come from the
    // database and the settings; auKarat has no column; the repeat and
    // regression fields belong to other test types; a result that is not a
    // calibration check keeps no calibration check.
    // Spectrum values are written as text with 6 significant digits, and a
    // spectrum's filter position becomes the id of its shared filter row.
    XrfKorviResult expected = original;
    expected.analysis().setTestId(tid);
    expected.analysis().setUserId(QStringLiteral("D'Arcy"));
    for (XrfSpectrum &s : expected.spectra()) {
        auto g6 = [](double v) { return QString::number(v, 'g', 6).toDouble(); };
        s.setLastRate(g6(s.lastRate()));
        s.setFirstRate(g6(s.firstRate()));
        s.setFilterPosition(1);
    }
    const QJsonObject got = back.toJsonObject();
    const QJsonObject want = expected.toJsonObject();
    QCOMPARE(got, want);
    QCOMPARE(back.analysis().tidName(), QString::fromUtf8(awkward));
    QCOMPARE(back.testInfo().value(1).value("value").toString(),
             QStringLiteral("'; DROP TABLE x; --"));
    QCOMPARE(back.spectra().value(0).channels().size(), 2048);

    // A test id with no analysis row.
    XrfKorviResult none;
    QCOMPARE(m_rm->syncGetFullResult(99, &none), XrfErrorInfo::NoError);
    QCOMPARE(none.analysis().testId(), -1);

    XrfKorviResult byTime;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NotImplemented;
    m_rm->getResultFromTestDateTime(QStringLiteral("2026-11-23 08:15:41.000"), &byTime, &rc);
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
    const QDateTime when(QDate(2026, 11, 24), QTime(9, 0), Qt::UTC);
    QCOMPARE(store(makeAlloyResult("A", when)), 1);
    QCOMPARE(store(makeAlloyResult("B", when.addSecs(60))), 2);
    QCOMPARE(order, QStringList({ "inserted:0", "committed:0:1", "inserted:0", "committed:0:2" }));
    QVERIFY(thread != QThread::currentThread());
    QCOMPARE(querySqlite(dbFile(), "SELECT testId FROM analysisresult WHERE tidName='B'"),
             QVariantList { 2 });
}

void TestStorage::failingStepLeavesNothingBehind()
{
    QVERIFY(QDir().mkpath(m_dir->filePath("card/images/2026-11-25")));
    QFile photo(m_dir->filePath("card/images/2026-11-25/cam1.jpeg"));
    QVERIFY(photo.open(QIODevice::WriteOnly));
    photo.write("\xff\xd8\xff\xe0 jpeg");
    photo.close();

    // A trigger makes a late step (the grade match rows) fail for real.
    QVERIFY(execSqlite(dbFile(),
                       { "CREATE TRIGGER failgrade BEFORE INSERT ON gradematch "
                         "BEGIN SELECT RAISE(ABORT, 'forced'); END" }));
    XrfKorviResult r = makeAlloyResult("T1", QDateTime(QDate(2026, 11, 25), QTime(10, 0), Qt::UTC));
    XrfImageInfo image;
    image.setName(QStringLiteral("cam1.jpeg"));
    r.images().append(image);
    QSignalSpy inserted(m_rm, &XrfResultManager::resultInserted);
    QCOMPARE(store(r), -1);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(0).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::DbQueryFailed);

    const QStringList tables { "analysisresult",
                               "elementresult",
                               "spectrum",
                               "testinfo",
                               "resultnames",
                               "location",
                               "rohsresult",
                               "imageresult",
                               "gradematch",
                               "gradematchspec",
                               "userfactorresult",
                               "compoundresult",
                               "pseudoelementresult",
                               "rohsactionlevelresult",
                               "plating" };
    for (const QString &table : tables)
        QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM " + table).value(0).toInt(), 0);
    QVERIFY(QFileInfo::exists(photo.fileName()));
    QVERIFY(!QFileInfo::exists(
            m_dir->filePath("card/images/2026-11-25/img-2026-11-25-T1-100000000-1.jpeg")));

    // Lifted: the same result is stored, under the id the failed one would have had.
    QVERIFY(execSqlite(dbFile(), { "DROP TRIGGER failgrade" }));
    QCOMPARE(store(r), 1);
    QVERIFY(!QFileInfo::exists(photo.fileName()));
    QCOMPARE(querySqlite(dbFile(), "SELECT fileName FROM imageresult"),
             QVariantList { "2026-11-25/img-2026-11-25-T1-100000000-1.jpeg" });
}

void TestStorage::sameResultTwiceIsStoredOnce()
{
    const XrfKorviResult r
            = makeAlloyResult("twice", QDateTime(QDate(2026, 11, 26), QTime(11, 0), Qt::UTC));
    QCOMPARE(store(r), 1);
    QCOMPARE(store(makeAlloyResult("other", QDateTime(QDate(2026, 11, 26), QTime(11, 1), Qt::UTC))),
             2);
    QCOMPARE(store(r), 1);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(), 2);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM elementresult").value(0).toInt(), 6);
    // Same name, another time: a new result.
    QCOMPARE(store(makeAlloyResult("twice", QDateTime(QDate(2026, 11, 26), QTime(11, 2), Qt::UTC))),
             3);
}

void TestStorage::failedCommitAnnouncesNothing()
{
    qputenv("XRF_FAULT_POINT", "commit-fail");
    QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
    QSignalSpy inserted(m_rm, &XrfResultManager::resultInserted);
    const XrfKorviResult r
            = makeAlloyResult("c", QDateTime(QDate(2026, 11, 27), QTime(12, 0), Qt::UTC));
    QCOMPARE(m_rm->addTestResult(r), XrfErrorInfo::NoError);
    int tid = -1;
    m_rm->getLastTestID(&tid); // runs after the insertion
    QCOMPARE(tid, 0);
    QTest::qWait(100);
    QCOMPARE(committed.count(), 0);
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
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(), 0);

    qunsetenv("XRF_FAULT_POINT");
    QCOMPARE(store(r), 1);
}

void TestStorage::filtersAreSharedAndEmptySpectraStoreNothing()
{
    XrfKorviResult r = makeAlloyResult("f", QDateTime(QDate(2026, 11, 28), QTime(13, 0), Qt::UTC));
    r.spectra().append(makeSpectrum(3, 0, 47));
    r.spectra().append(makeSpectrum(4, 16, 13));
    QCOMPARE(store(r), 1);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM filterprops").value(0).toInt(), 2);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(DISTINCT filterPosition) FROM spectrum")
                     .value(0)
                     .toInt(),
             2);
    QCOMPARE(querySqlite(dbFile(), "SELECT data FROM spectrum WHERE exposureNumber=3"),
             QVariantList { "0x" });
    // Little-endian counts as lower-case hex: the first channel of the
    // fourth spectrum is 0, the second 7919.
    QVERIFY(querySqlite(dbFile(), "SELECT data FROM spectrum WHERE exposureNumber=4")
                    .value(0)
                    .toString()
                    .startsWith("0x00000000670b0000"));
    QCOMPARE(store(makeAlloyResult("g", QDateTime(QDate(2026, 11, 28), QTime(13, 1), Qt::UTC))), 2);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM filterprops").value(0).toInt(), 2);
}

void TestStorage::dayRecordCountsTheDaysResults()
{
    const QString record = m_dir->filePath("profile/Zefra-99999");
    for (int i = 0; i < 3; ++i)
        QCOMPARE(store(makeAlloyResult(QString::number(i),
                                       QDateTime(QDate(2026, 11, 29), QTime(14, i), Qt::UTC))),
                 i + 1);
    QFile f(record);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QDataStream in(&f);
    qint32 magic, version;
    qint64 day, counter;
    in >> magic >> version >> day >> counter;
    QCOMPARE(day, QDate::currentDate().toJulianDay());
    QCOMPARE(counter, qint64(3));

    // A result whose commit fails is not counted.
    f.close();
    qputenv("XRF_FAULT_POINT", "commit-fail");
    QCOMPARE(store(makeAlloyResult("x", QDateTime(QDate(2026, 11, 29), QTime(15, 0), Qt::UTC))),
             -1);
    qunsetenv("XRF_FAULT_POINT");
    QCOMPARE(store(makeAlloyResult("y", QDateTime(QDate(2026, 11, 29), QTime(15, 1), Qt::UTC))), 4);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QDataStream again(&f);
    again >> magic >> version >> day >> counter;
    QCOMPARE(counter, qint64(4));
}

void TestStorage::specialTestTypes()
{
    XrfKorviResult cal;
    cal.analysis().setTestType(QStringLiteral("CALCHECK"));
    cal.analysis().setTestDateTime(QDateTime(QDate(2026, 11, 30), QTime(7, 0), Qt::UTC));
    cal.analysis().setTidName(QStringLiteral("cal"));
    cal.setHasCalCheck(true);
    cal.calCheck()->setRate(15234);
    cal.calCheck()->setResolution(142);
    cal.calCheck()->setPeak1(1203);
    cal.calCheck()->setPeak2(3344);
    cal.calCheck()->setOffset(-0.0125);
    cal.calCheck()->setSlope(0.0199875);
    cal.calCheck()->setExpectedSlope(0.02);
    cal.calCheck()->setExpectedOffset(-0.01);
    cal.calCheck()->setExpectedRate(15000);
    cal.calCheck()->setExpectedResolution(145);
    XrfChemistryResult ignored;
    ignored.setElementName(QStringLiteral("Fe"));
    cal.chemistry().append(ignored);
    const int calId = store(cal);
    QCOMPARE(calId, 1);
    XrfKorviResult back;
    m_rm->syncGetFullResult(calId, &back);
    QVERIFY(back.hasCalCheck());
    QVERIFY(back.chemistry().isEmpty());
    QCOMPARE(back.calCheck()->toJsonObject(), cal.calCheck()->toJsonObject());

    XrfKorviResult repeat
            = makeAlloyResult("rep", QDateTime(QDate(2026, 11, 30), QTime(7, 1), Qt::UTC));
    repeat.analysis().setTestType(QStringLiteral("REPEAT"));
    repeat.analysis().setRepeatTestIndex(2);
    repeat.analysis().setRepeatTestTotal(3);
    repeat.analysis().setMethodFamilyName(8); // a coating family keeps no chemistry
    XrfCoatingResult layer;
    layer.setElement(QStringLiteral("Au"));
    layer.setLayerOrder(1);
    layer.setThickness(0.75f);
    layer.setError(0.0625f);
    repeat.coating().append(layer);
    const int repId = store(repeat);
    XrfKorviResult repBack;
    m_rm->syncGetFullResult(repId, &repBack);
    QCOMPARE(repBack.analysis().repeatTestIndex(), 2);
    QCOMPARE(repBack.analysis().repeatTestTotal(), 3);
    // The layer comes back in both lists; the unit defaults to micrometres.
    QCOMPARE(repBack.chemistry().size(), 1);
    QCOMPARE(repBack.chemistry().at(0).concentration(), 0.75f);
    QCOMPARE(repBack.analysis().coatingDisplayUnitEnum(), 3);

    XrfKorviResult regression
            = makeAlloyResult("reg", QDateTime(QDate(2026, 11, 30), QTime(7, 2), Qt::UTC));
    regression.analysis().setTestType(QStringLiteral("REGRESSION"));
    regression.regressionInfo().setHistoricalTestId(calId);
    const int regId = store(regression);
    XrfKorviResult regBack;
    m_rm->syncGetFullResult(regId, &regBack);
    QCOMPARE(regBack.regressionInfo().historicalTestId(), calId);
    QCOMPARE(regBack.regressionInfo().historicalTidName(), QStringLiteral("cal"));
    QCOMPARE(regBack.regressionInfo().historicalDateTime(),
             QStringLiteral("2026-11-30 07:00:00.000"));
}

void TestStorage::imagesAreMovedAndServed()
{
    QVERIFY(QDir().mkpath(m_dir->filePath("card/images/2026-12-01")));
    for (const char *name : { "a.jpeg", "b.jpeg" }) {
        QFile f(m_dir->filePath(QStringLiteral("card/images/2026-12-01/") + name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\x01\x02") + name);
    }
    XrfKorviResult r = makeAlloyResult("T'7", QDateTime(QDate(2026, 12, 1), QTime(8, 0), Qt::UTC));
    for (const char *name : { "a.jpeg", "missing.jpeg", "b.jpeg" }) {
        XrfImageInfo image;
        image.setName(QString::fromLatin1(name));
        image.setType(name[0] == 'b' ? 1 : 0);
        image.setCropAreaWidth(320);
        image.setImageHasCircle(true);
        r.images().append(image);
    }
    const int tid = store(r);
    QCOMPARE(tid, 1);
    QCOMPARE(querySqlite(dbFile(),
                         "SELECT fileName || ' ' || imageType FROM imageresult ORDER BY id"),
             QVariantList({ "2026-12-01/img-2026-12-01-T'7-080000000-1.jpeg INLINE",
                            "2026-12-01/img-2026-12-01-T'7-080000000-3.jpeg MACRO" }));

    QSignalSpy done(m_rm, &XrfResultManager::operationDone);
    m_rm->getImage(QStringLiteral("2026-12-01/img-2026-12-01-T'7-080000000-1.jpeg"), 77);
    m_rm->getImage(QStringLiteral("nothing.jpeg"), 78);
    QTRY_COMPARE(done.count(), 2);
    QCOMPARE(done.at(0).at(0).toInt(), 115);
    QCOMPARE(done.at(0).at(1).toInt(), 77);
    const QJsonObject image = done.at(0).at(2).value<QJsonDocument>().object();
    QCOMPARE(image.value("imageBuff").toString(),
             QString::fromLatin1(QByteArray("\x01\x02"
                                            "a.jpeg")
                                         .toHex()));
    QCOMPARE(done.at(1).at(3).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::FileOpenFailed);
    QVERIFY(done.at(1).at(2).value<QJsonDocument>().isEmpty());
}

void TestStorage::imageNamesAreUniqueAndStayInTheStore()
{
    const QString day = QStringLiteral("2026-12-02");
    const QString store = m_dir->filePath("card/images/" + day);
    QVERIFY(QDir().mkpath(store));
    auto put = [](const QString &path, const QByteArray &content) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    };
    auto withImage = [&](const QString &tidName, QTime time, const QString &image) {
        XrfKorviResult r = makeAlloyResult(tidName, QDateTime(QDate(2026, 12, 2), time, Qt::UTC));
        XrfImageInfo info;
        info.setName(image);
        r.images().append(info);
        return r;
    };
    auto storedImage = [this](int tid) {
        XrfKorviResult back;
        m_rm->syncGetFullResult(tid, &back);
        return back.images().isEmpty() ? QString() : back.images().first().name();
    };
    auto contentOf = [this](const QString &name) {
        QFile f(m_dir->filePath("card/images/" + name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    };

    // A repeat series: one name, one day, a picture each.
    QVERIFY(put(store + "/a.jpeg", "first"));
    QVERIFY(put(store + "/b.jpeg", "second"));
    const int first = this->store(withImage("rep", QTime(9, 0, 0, 1), "a.jpeg"));
    const int second = this->store(withImage("rep", QTime(9, 0, 0, 2), "b.jpeg"));
    QVERIFY(first > 0 && second > 0);
    QVERIFY(storedImage(first) != storedImage(second));
    QCOMPARE(contentOf(storedImage(first)), QByteArray("first"));
    QCOMPARE(contentOf(storedImage(second)), QByteArray("second"));

    // Names that would climb out of the store or that a FAT card refuses.
    QVERIFY(put(store + "/c.jpeg", "third"));
    const int odd = this->store(withImage("../x/A:B*", QTime(9, 1), "c.jpeg"));
    QCOMPARE(storedImage(odd), day + "/img-" + day + "-.._x_A_B_-090100000-1.jpeg");
    QCOMPARE(contentOf(storedImage(odd)), QByteArray("third"));
    QVERIFY(put(store + "/d.jpeg", "fourth"));
    const int climber = this->store(withImage("../../../../y", QTime(9, 2), "d.jpeg"));
    QCOMPARE(storedImage(climber), day + "/img-" + day + "-.._.._.._.._y-090200000-1.jpeg");

    // Source names that lead out of the store are not followed.
    QVERIFY(put(m_dir->filePath("victim.txt"), "mine"));
    QVERIFY(put(m_dir->filePath("card/victim.jpeg"), "mine too"));
    const int outside = this->store(withImage("out", QTime(9, 3), "../../../victim.txt"));
    QVERIFY(outside > 0);
    QCOMPARE(storedImage(outside), QString());
    const int viaFolder = this->store(withImage("out2", QTime(9, 4), "../victim.jpeg"));
    QVERIFY(viaFolder > 0);
    QCOMPARE(storedImage(viaFolder), QString());
    QVERIFY(QFileInfo::exists(m_dir->filePath("victim.txt")));
    QVERIFY(QFileInfo::exists(m_dir->filePath("card/victim.jpeg")));

    // A very long name is cut to fit a file name, quickly.
    QVERIFY(put(store + "/e.jpeg", "fifth"));
    QElapsedTimer clock;
    clock.start();
    const int longName
            = this->store(withImage(QString(1 << 20, QChar(0x00e9)), QTime(9, 5), "e.jpeg"));
    QVERIFY(longName > 0);
    QVERIFY(clock.elapsed() < 5000);
    const QString name = QFileInfo(storedImage(longName)).fileName();
    QVERIFY(name.toUtf8().size() <= 255);
    QVERIFY(name.endsWith("-090500000-1.jpeg"));
    QCOMPARE(contentOf(storedImage(longName)), QByteArray("fifth"));

    // Nothing left the store, and nothing outside it changed.
    QCOMPARE(QDir(m_dir->filePath("card")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({ "db", "images", "victim.jpeg" }));
}

void TestStorage::namesRowsThatPointNowhereAreIgnored()
{
    const int tid
            = store(makeAlloyResult("drift", QDateTime(QDate(2026, 12, 3), QTime(7, 0), Qt::UTC)));
    QVERIFY(tid > 0);
    // A damaged card may hold drift corrections for spectra that are not there.
    for (int index : { -1, -7, 99 })
        QVERIFY(execSqlite(dbFile(),
                           { QStringLiteral("INSERT INTO resultnames (testId,type,name) VALUES "
                                            "(%1,11,'{\"index\":%2,\"timeStampUtc\":\"x\"}')")
                                     .arg(tid)
                                     .arg(index) }));
    XrfKorviResult back;
    QCOMPARE(m_rm->syncGetFullResult(tid, &back), XrfErrorInfo::NoError);
    QCOMPARE(back.analysis().tidName(), QStringLiteral("drift"));
}

void TestStorage::editTestInfoReplacesAndAdds()
{
    const int tid
            = store(makeAlloyResult("e", QDateTime(QDate(2026, 12, 2), QTime(9, 0), Qt::UTC)));
    QSignalSpy done(m_rm, &XrfResultManager::operationDone);
    for (const auto &edit :
         { std::make_pair("Customer", "New'Co"), std::make_pair("Lot", "L-7") }) {
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
    XrfKorviResult back;
    m_rm->syncGetFullResult(tid, &back);
    QCOMPARE(back.testInfo().size(), 3);
    QCOMPARE(back.testInfo().at(0).value("value").toString(), QStringLiteral("New'Co"));
    QCOMPARE(back.testInfo().at(2).value("key").toString(), QStringLiteral("Lot"));
}

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
