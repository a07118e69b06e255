// Every bundled sample result, stored through the facade and read back with
// syncGetFullResult, equals the file in every field a table keeps. What the
// tables do not keep as given is applied to the expected result first, one
// named rule each (normalise() below), so a difference anywhere else fails.

#include <QDir>
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

using TestSupport::querySqlite;

namespace {

double sixDigits(double v)
{
    return QString::number(v, 'g', 6).toDouble();
}

struct Stored
{
    QString file;
    XrfKorviResult original;
    int testId = -1;
};

} // namespace

class TestSamples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everySampleReadsBackAsStored();

private:
    XrfKorviResult normalise(const XrfKorviResult &original, int testId) const;
    QString dbFile() const
    {
        return XrfResultManager::m_pImpl->databaseManager()->databaseFilePath();
    }

    QTemporaryDir m_dir;
    XrfResultManager *m_rm = nullptr;
    QList<Stored> m_stored;
};

void TestSamples::initTestCase()
{
    QVERIFY(m_dir.isValid());
    TestSupport::configureInstrument(QStringLiteral("XL5-70312"), QStringLiteral("Ag"));
    XrfSettingsManager::instance()->setCurrentUser(QStringLiteral("inspector"));
    XrfSettingsManager::instance()->setUniversalSetting(
            QStringLiteral("hardware.fpga"),
            QJsonObject { { "slope", 0.5 }, { "offset", 0.25 } }); // overridden by names rows
    m_rm = XrfResultManager::instance();
    QCOMPARE(m_rm->init(), XrfErrorInfo::NoError);
    m_rm->setPaths(m_dir.filePath("profile/"), m_dir.filePath("card"));

    const QDir samples(QStringLiteral(XRF_SOURCE_DIR "/samples"));
    const QStringList files
            = samples.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 6);
    for (const QString &name : files) {
        QFile f(samples.filePath(name));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject object = QJsonDocument::fromJson(f.readAll()).object();
        QString why;
        QVERIFY2(XrfKorviResult::isValidResultJson(object, &why), qPrintable(name + ": " + why));
        Stored s;
        s.file = name;
        s.original.fromJsonObject(object);

        // The instrument leaves its pictures in the image store under the
        // test's day.
        const QString day = s.original.analysis().testDateTime().toString("yyyy-MM-dd");
        QVERIFY(QDir().mkpath(m_dir.filePath("card/images/" + day)));
        for (const XrfImageInfo &image : s.original.images())
            QVERIFY(QFile::copy(samples.filePath("images/" + image.name()),
                                m_dir.filePath("card/images/" + day + '/' + image.name())));

        QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
        QCOMPARE(m_rm->addTestResult(s.original), XrfErrorInfo::NoError);
        QVERIFY2(committed.wait(10000), qPrintable(name));
        s.testId = committed.at(0).at(2).toInt();
        QCOMPARE(committed.at(0).at(0).toDateTime(), s.original.analysis().testDateTime());
        m_stored.append(s);
    }
}

void TestSamples::cleanupTestCase()
{
    if (XrfResultManager::m_pInstance)
        XrfResultManager::instance()->Deinit();
}

XrfKorviResult TestSamples::normalise(const XrfKorviResult &original, int testId) const
{
    XrfKorviResult e = original;
    XrfAnalysisResult &a = e.analysis();
    const QString type = a.testType();
    const XrfAnalysisResult defaults;

    // Keys and values that come from the database and the settings.
    a.setTestId(testId);
    a.setUserId(QStringLiteral("inspector"));
    a.setCollimated(a.collimatedStatusInt() == 1);
    // No column: the karat value of gold plating.
    a.setAuKarat(defaults.auKarat());
    // Repeat and regression bookkeeping belong to those test types only.
    if (type != QLatin1String("REPEAT")) {
        a.setRepeatTestIndex(defaults.repeatTestIndex());
        a.setRepeatTestTotal(defaults.repeatTestTotal());
    }
    if (type != QLatin1String("REGRESSION") || e.regressionInfo().historicalTestId() <= 0) {
        e.setRegressionInfo(XrfRegressionInfo());
    } else {
        // The historical fields are read from the stored test of that id.
        const QString id = QString::number(e.regressionInfo().historicalTestId());
        const QVariantList row = {
            querySqlite(dbFile(), "SELECT testDateTime FROM analysisresult WHERE testId=" + id)
                    .value(0),
            querySqlite(dbFile(), "SELECT dailyId FROM analysisresult WHERE testId=" + id).value(0),
            querySqlite(dbFile(), "SELECT tidName FROM analysisresult WHERE testId=" + id).value(0)
        };
        e.regressionInfo().setHistoricalDateTime(row.at(0).toString());
        e.regressionInfo().setHistoricalDailyId(row.at(1).toInt());
        e.regressionInfo().setHistoricalTidName(row.at(2).toString());
    }
    // Names rows: written only under their conditions, numbers as text with
    // 6 significant digits read back as float.
    if (a.userFactorName().isEmpty())
        a.setUserFactorNormalizeFactor(defaults.userFactorNormalizeFactor());
    else if (a.userFactorNormalizeFactor() != -1)
        a.setUserFactorNormalizeFactor(float(sixDigits(a.userFactorNormalizeFactor())));
    if (a.compoundTemplateName().isEmpty())
        a.setCompoundSuppress100Warning(false);
    if (a.leadPaintActionLevel() >= 0)
        a.setLeadPaintActionLevel(float(sixDigits(a.leadPaintActionLevel())));
    else
        a.setLeadPaintActionLevel(defaults.leadPaintActionLevel());
    // The elevation is kept only with a position.
    if (qIsNaN(a.latitude()) || qIsNaN(a.longitude())) {
        a.setLatitude(defaults.latitude());
        a.setLongitude(defaults.longitude());
        a.setElevation(defaults.elevation());
    }
    // Pseudo elements are read only under a pseudo element configuration.
    if (a.pseudoElementConfigName().isEmpty())
        e.pseudoElement().clear();

    // Calibration checks: only CALCHECK keeps one; whole-number rate,
    // resolution and peaks; 6 significant digits for the rest.
    if (type != QLatin1String("CALCHECK")) {
        e.setHasCalCheck(false);
        e.setCalCheck(XrfCalCheckResult());
    } else if (e.hasCalCheck()) {
        XrfCalCheckResult *c = e.calCheck();
        c->setRate(qint64(sixDigits(c->rate())));
        c->setResolution(qint64(sixDigits(c->resolution())));
        c->setPeak1(qint64(sixDigits(c->peak1())));
        c->setPeak2(qint64(sixDigits(c->peak2())));
        c->setOffset(sixDigits(c->offset()));
        c->setSlope(sixDigits(c->slope()));
        c->setExpectedSlope(sixDigits(c->expectedSlope()));
        c->setExpectedOffset(sixDigits(c->expectedOffset()));
        c->setExpectedRate(sixDigits(c->expectedRate()));
        c->setExpectedResolution(sixDigits(c->expectedResolution()));
    }

    // Chemistry: none for calibration checks or the coating method family,
    // rows without an element name are dropped, and coating layers (not the
    // substrate) come back as chemistry with their thickness.
    if (type == QLatin1String("CALCHECK") || int(a.methodFamilyName()) == 8)
        e.chemistry().clear();
    QList<XrfChemistryResult> chemistry;
    for (const XrfChemistryResult &c : e.chemistry())
        if (!c.elementName().isEmpty())
            chemistry << c;
    e.setChemistry(chemistry);
    if (type != QLatin1String("CALCHECK")) {
        for (const XrfCoatingResult &layer : e.coating()) {
            if (layer.layerOrder() != 0) {
                XrfChemistryResult c;
                c.setElementName(layer.element());
                c.setConcentration(layer.thickness());
                c.setError(layer.error());
                e.chemistry() << c;
            }
        }
        if (!e.coating().isEmpty() && a.coatingDisplayUnitEnum() == -1)
            a.setCoatingDisplayUnitEnum(3);
    } else {
        // A calibration check reads nothing after its names rows.
        e.coating().clear();
        e.compound().clear();
        e.userFactor().clear();
        e.actionLevel().clear();
        e.gradeMatch().clear();
        e.images().clear();
        e.testInfo().clear();
        e.pseudoElement().clear();
        a.setRohsClassificationEnum(defaults.rohsClassificationEnum());
        a.setRohsActionLevelEnum(defaults.rohsActionLevelEnum());
        a.setRohsActionLevelName(defaults.rohsActionLevelName());
    }

    // Spectra: values written as text with 6 significant digits; the filter
    // position becomes the id of the shared filter row; a drift correction
    // without a time stamp is not kept.
    const QVariantList filterIds = querySqlite(dbFile(),
                                               "SELECT filterPosition FROM spectrum WHERE testId="
                                                       + QString::number(testId) + " ORDER BY id");
    for (int i = 0; i < e.spectra().size(); ++i) {
        XrfSpectrum &s = e.spectra()[i];
        s.setEnergySlope(sixDigits(s.energySlope()));
        s.setEnergyOffset(sixDigits(s.energyOffset()));
        s.setLiveTime(sixDigits(s.liveTime()));
        s.setLiveTimeFromHardware(sixDigits(s.liveTimeFromHardware()));
        s.setResetTime(sixDigits(s.resetTime()));
        s.setFirstRate(sixDigits(s.firstRate()));
        s.setLastRate(sixDigits(s.lastRate()));
        s.setRealTime(sixDigits(s.realTime()));
        s.setProbeTemperature(sixDigits(s.probeTemperature()));
        s.setTubeCurrentSet(sixDigits(s.tubeCurrentSet()));
        s.setTubeCurrentMonitor(sixDigits(s.tubeCurrentMonitor()));
        s.setTubeVoltageSet(sixDigits(s.tubeVoltageSet()));
        s.setTubeVoltageMonitor(sixDigits(s.tubeVoltageMonitor()));
        s.setFilterPosition(filterIds.value(i).toInt());
        if (s.driftCorrection().timeStampUtc().isEmpty())
            s.setDriftCorrection(XrfDriftCorrection());
    }

    // Images: renamed into the store, crop and spot as float text with 6
    // significant digits.
    const QString day = a.testDateTime().toString("yyyy-MM-dd");
    int number = 1;
    for (XrfImageInfo &image : e.images()) {
        image.setName(day + "/img-" + day + '-' + a.tidName() + '-' + QString::number(number++)
                      + ".jpeg");
        image.setType(image.type() == 0 ? 0 : 1);
        image.setCropAreaTop(float(sixDigits(image.cropAreaTop())));
        image.setCropAreaLeft(float(sixDigits(image.cropAreaLeft())));
        image.setCropAreaWidth(float(sixDigits(image.cropAreaWidth())));
        image.setCropAreaHeight(float(sixDigits(image.cropAreaHeight())));
        image.setCollimatorSpotX(float(sixDigits(image.collimatorSpotX())));
        image.setCollimatorSpotY(float(sixDigits(image.collimatorSpotY())));
    }
    return e;
}

void TestSamples::everySampleReadsBackAsStored()
{
    for (const Stored &s : qAsConst(m_stored)) {
        XrfKorviResult back;
        QCOMPARE(m_rm->syncGetFullResult(s.testId, &back), XrfErrorInfo::NoError);
        const QJsonObject got = back.toJsonObject();
        const QJsonObject want = normalise(s.original, s.testId).toJsonObject();
        for (const QString &key : want.keys()) {
            if (got.value(key) != want.value(key))
                qWarning().noquote() << s.file << key << "\n  stored:"
                                     << QJsonDocument(QJsonObject { { key, got.value(key) } })
                                                .toJson(QJsonDocument::Compact)
                                                .left(600)
                                     << "\n  wanted:"
                                     << QJsonDocument(QJsonObject { { key, want.value(key) } })
                                                .toJson(QJsonDocument::Compact)
                                                .left(600);
        }
        QVERIFY2(got == want, qPrintable(s.file));
        // The images were moved into the store under their new names.
        for (const XrfImageInfo &image : back.images())
            QVERIFY(QFileInfo::exists(m_dir.filePath("card/images/" + image.name())));
    }
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(),
             m_stored.size());
}

QTEST_GUILESS_MAIN(TestSamples)
#include "tst_samples.moc"
