// What the results database keeps of a result, applied to the result as it
// was handed over: each rule below is one way in which the stored form
// differs from the given one by design.

#include "samplenormaliser.h"

#include <QJsonObject>

#include "testsupport.h"

namespace TestSupport {

namespace {
    double sixDigits(double v)
    {
        return QString::number(v, 'g', 6).toDouble();
    }

    // The named members as written to text with 6 significant digits, cut to
    // whole numbers where whole.
    template<class T>
    void sixDigits(T &value, std::initializer_list<const char *> keys, bool whole = false)
    {
        QJsonObject o = value.toJsonObject();
        for (const char *key : keys) {
            const double v = sixDigits(o.value(key).toDouble());
            o.insert(key, whole ? double(qint64(v)) : v);
        }
        value.fromJsonObject(o);
    }
} // namespace

XrfKorviResult normaliseStored(const XrfKorviResult &original, int testId, const QString &dbFile,
                               const QString &currentUser)
{
    XrfKorviResult e = original;
    XrfAnalysisResult &a = e.analysis();
    const QString type = a.testType();
    const XrfAnalysisResult defaults;

    // Keys and values that come from the database and the settings.
    a.setTestId(testId);
    a.setUserId(currentUser);
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
            querySqlite(dbFile, "SELECT testDateTime FROM analysisresult WHERE testId=" + id)
                    .value(0),
            querySqlite(dbFile, "SELECT dailyId FROM analysisresult WHERE testId=" + id).value(0),
            querySqlite(dbFile, "SELECT tidName FROM analysisresult WHERE testId=" + id).value(0)
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
        sixDigits(*e.calCheck(), { "rate", "resolution", "peak1", "peak2" }, true);
        sixDigits(*e.calCheck(),
                  { "offset", "slope", "expectedSlope", "expectedOffset", "expectedRate",
                    "expectedResolution" });
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
    const QVariantList filterIds = querySqlite(dbFile,
                                               "SELECT filterPosition FROM spectrum WHERE testId="
                                                       + QString::number(testId) + " ORDER BY id");
    for (int i = 0; i < e.spectra().size(); ++i) {
        XrfSpectrum &s = e.spectra()[i];
        sixDigits(s,
                  { "energySlope", "energyOffset", "liveTime", "liveTimeFromHardware", "resetTime",
                    "firstRate", "lastRate", "realTime", "probeTemperature", "tubeCurrentSet",
                    "tubeCurrentMonitor", "tubeVoltageSet", "tubeVoltageMonitor" });
        s.setFilterPosition(filterIds.value(i).toInt());
        if (s.driftCorrection().timeStampUtc().isEmpty())
            s.setDriftCorrection(XrfDriftCorrection());
    }

    // Images: renamed into the store, crop and spot as float text with 6
    // significant digits.
    const QString day = a.testDateTime().toUTC().toString("yyyy-MM-dd");
    const QString time = a.testDateTime().toUTC().toString("hhmmsszzz");
    int number = 1;
    for (XrfImageInfo &image : e.images()) {
        QString name = a.tidName();
        for (QChar &c : name)
            if (c < QChar(0x20) || QStringLiteral("/\\:*?\"<>|").contains(c))
                c = '_';
        image.setName(day + "/img-" + day + '-' + name + '-' + time + '-'
                      + QString::number(number++) + ".jpeg");
        image.setType(image.type() == 0 ? 0 : 1);
        sixDigits(image,
                  { "cropAreaTop", "cropAreaLeft", "cropAreaWidth", "cropAreaHeight",
                    "collimatorSpotX", "collimatorSpotY" });
    }
    return e;
}

} // namespace TestSupport
