// Rebuilds a result from its rows in a fixed order: the names rows address
// spectra by index (so they come after the spectra) and set the pseudo
// element configuration name that gates the pseudo element rows.

#include "resultreader.h"

#include <QDebug>
#include <QJsonDocument>
#include <QSqlError>
#include <algorithm>

#include "resultbinding.h"
#include "resultschema.h"
#include "xrffields.h"
#include "xrfsettingsmanager.h"

using namespace ResultBinding;

namespace {

// Commits the read transaction it began, on every way out.
class ReadTransaction
{
public:
    explicit ReadTransaction(QSqlDatabase &db) : m_db(db), m_own(db.transaction()) { }
    ~ReadTransaction()
    {
        if (m_own)
            m_db.commit();
    }

private:
    QSqlDatabase &m_db;
    bool m_own;
};

// Hex digit values by byte, -1 for what is not a digit: a table, because
// decoding the channels is most of the work of reading a result.
struct HexDigits
{
    signed char value[256];
    constexpr HexDigits() : value()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = -1;
        for (int i = 0; i < 10; ++i)
            value['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = static_cast<signed char>(10 + i);
            value['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr HexDigits s_hexDigits;

inline int hexDigit(char c)
{
    return s_hexDigits.value[static_cast<unsigned char>(c)];
}

// The channels, stored as "0x" and the hex digits of their little-endian
// 32-bit counts, decoded in one pass; text of another shape goes the
// general way, which skips what is not a digit.
void setChannelsFromHex(const char *hex, int size, XrfSpectrum *spectrum)
{
    if (size >= 2 && hex[0] == '0' && hex[1] == 'x') {
        hex += 2;
        size -= 2;
    }
    if (size % 8 == 0) {
        QVector<quint32> channels(size / 8);
        bool clean = true;
        for (int i = 0; i < channels.size() && clean; ++i) {
            const char *in = hex + 8 * i;
            quint32 count = 0;
            int bad = 0;
            for (int b = 0; b < 4; ++b) {
                const int high = hexDigit(in[2 * b]);
                const int low = hexDigit(in[2 * b + 1]);
                bad |= high | low;
                count |= ((quint32(high) << 4 | quint32(low)) & 0xffu) << (8 * b);
            }
            clean = bad >= 0;
            channels[i] = count;
        }
        if (clean) {
            spectrum->setChannels(channels);
            return;
        }
    }
    spectrum->fromByteArrayToInt(QByteArray::fromHex(QByteArray(hex, size)), true);
}

} // namespace

ResultReader::ResultReader(const QSqlDatabase &db, AbortCheck aborted)
    : m_db(db), m_aborted(std::move(aborted))
{
}

ResultReader::~ResultReader()
{
    qDeleteAll(m_statements);
}

SqliteStatement *ResultReader::statement(const QString &text)
{
    SqliteStatement *&q = m_statements[text];
    if (!q) {
        q = new SqliteStatement(m_db, text);
        if (!q->isValid()) {
            qDebug() << "SQL Query failed: " << text << q->lastError().text();
            delete q;
            m_statements.remove(text);
            return nullptr;
        }
    }
    return q;
}

SqliteStatement *ResultReader::byTestId(const QString &table, const QStringList &columns,
                                        int testId, const QString &tail)
{
    const QString text = ResultSchema::selectByTestId(table, columns, tail);
    if (!m_statements.contains(text))
        checkAgainstSchema(table, columns);
    SqliteStatement *q = statement(text);
    if (!q)
        return nullptr;
    q->addBindValue(testId);
    if (!q->exec()) {
        qDebug() << "SQL Query failed: " << q->lastQuery() << q->lastError().text();
        return nullptr;
    }
    return q;
}

XrfErrorInfo::XrfError ResultReader::read(int testId, XrfKorviResult *result)
{
    if (!result)
        return XrfErrorInfo::InvalidArgument;
    ReadTransaction transaction(m_db);
    const XrfErrorInfo::XrfError rc = readAnalysis(testId, result);
    if (rc != XrfErrorInfo::NoError)
        return rc;
    XrfAnalysisResult &a = result->analysis();

    if (SqliteStatement *q = byTestId(platingRow().table, platingRow().columns, testId)) {
        if (q->next())
            a.setAuPlatingEnum(q->value(0).toInt());
        q->finish();
    }

    const ResultSchema::TestType type = ResultSchema::testType(a.testType());
    if (type == ResultSchema::Averaged) {
        QStringList ids;
        const RowTable &averaged = averagedRow();
        SqliteStatement *q
                = statement(QStringLiteral("SELECT ") + averaged.columns.join(QLatin1Char(','))
                            + QStringLiteral(" FROM ") + averaged.table + QStringLiteral(" WHERE ")
                            + averaged.keyColumns.first() + QStringLiteral(" = ?"));
        if (q) {
            q->addBindValue(testId);
            if (q->exec())
                while (q->next())
                    ids << q->value(0).toString();
            q->finish();
        }
        if (!ids.isEmpty())
            readAveragedSources(ids, &result->avgOfTestsInfo());
    } else if (readSpectra(testId, &result->spectra()) != XrfErrorInfo::NoError) {
        qDebug() << "no spectra for tid " << testId;
    }

    if (type == ResultSchema::CalCheck) {
        readCalCheck(testId, result);
        readNames(testId, result);
        return XrfErrorInfo::NoError;
    }
    readNames(testId, result);
    readLists(testId, result);

    if (SqliteStatement *q = byTestId(rohsRow().table, rohsRow().columns, testId)) {
        if (q->next()) {
            a.setRohsClassificationEnum(q->value(0).toInt());
            a.setRohsActionLevelEnum(q->value(1).toInt());
            a.setRohsActionLevelName(q->value(2).toString());
        }
        q->finish();
    }

    if (type == ResultSchema::Regression) {
        readRegression(testId, result);
    } else if (type == ResultSchema::Repeat) {
        if (SqliteStatement *q = byTestId(repeatRow().table, repeatRow().columns, testId)) {
            if (q->next()) {
                a.setRepeatTestIndex(q->value(0).toInt());
                a.setRepeatTestTotal(q->value(1).toInt());
            }
            q->finish();
        }
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultReader::readAnalysis(int testId, XrfKorviResult *result)
{
    static const QStringList columns
            = QStringList { QStringLiteral("testId") } + analysisRow().columns;
    SqliteStatement *q = byTestId(analysisRow().table, columns, testId);
    // A read that failed is no answer to "is it there".
    if (!q) {
        qWarning() << "Cannot read test" << testId << "- the query failed";
        return XrfErrorInfo::DbQueryFailed;
    }
    if (!q->next()) {
        q->finish();
        qDebug() << "Failed to get analysis result for tid " << testId;
        return XrfErrorInfo::ResultNotFound;
    }
    XrfAnalysisResult &a = result->analysis();
    a.setTestId(q->value(0).toInt());
    a.setTestDateTime(XrfFields::utcFromText(q->value(1).toString()));
    a.setStatusId(q->value(2).toInt());
    a.setFinal(q->value(3).toInt() != 0);
    a.setTestType(q->value(4).toString());
    a.setMethodId(q->value(5).toString());
    a.setMethodFamilyName(q->value(6).toInt());
    a.setMethodDispName(q->value(7).toString());
    a.setCollimatedStatusInt(q->value(8).toInt());
    a.setCollimated(q->value(8).toInt() == 1);
    a.setDailyId(q->value(9).toInt());
    a.setUserId(q->value(10).toString());
    a.setTidName(q->value(11).toString());
    a.setTestErrorInfo(q->value(12).toString());
    q->finish();

    if (SqliteStatement *loc = byTestId(locationRow().table, locationRow().columns, testId)) {
        if (loc->next()) {
            a.setLatitude(loc->value(0).toDouble());
            a.setLongitude(loc->value(1).toDouble());
            a.setElevation(loc->value(2).toDouble());
        }
        loc->finish();
    }
    return XrfErrorInfo::NoError;
}

void ResultReader::readFilter(XrfSpectrum *spectrum)
{
    const RowTable &row = filterRow();
    SqliteStatement *q
            = statement(QStringLiteral("SELECT ") + row.columns.join(QLatin1Char(','))
                        + QStringLiteral(" FROM ") + row.table + QStringLiteral(" WHERE id = ?"));
    if (!q)
        return;
    q->addBindValue(spectrum->filterPosition());
    if (!q->exec()) {
        qDebug() << "SQL Query failed: " << q->lastQuery() << q->lastError().text();
        return;
    }
    if (q->next()) {
        XrfFilterProperties &f = spectrum->filter();
        f.setMaterialAtomicNumber(quint16(q->value(0).toUInt()));
        f.setThicknessInMicrons(quint16(q->value(1).toUInt()));
        f.setDiameterInMicrons(quint16(q->value(2).toUInt()));
        f.setHasCollimator(q->value(3).toInt() != 0);
    }
    q->finish();
}

XrfErrorInfo::XrfError ResultReader::readSpectra(int testId, QList<XrfSpectrum> *spectra)
{
    const QStringList &columns = spectrumRow().columns;
    // The channels are stored as the text "0x" and hex digits; read as bytes
    // they skip the driver's conversion to UTF-16.
    static const QString text = QStringLiteral("SELECT ")
            + QStringList(columns.mid(0, columns.size() - 1)).join(QLatin1Char(','))
            + QStringLiteral(",CAST(") + columns.last() + QStringLiteral(" AS BLOB) FROM ")
            + spectrumRow().table + QStringLiteral(" WHERE testId = ?");
    SqliteStatement *q = statement(text);
    if (!q)
        return XrfErrorInfo::DbQueryFailed;
    q->addBindValue(testId);
    if (!q->exec()) {
        qDebug() << "SQL Query failed: " << text << q->lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    QList<XrfSpectrum> read;
    while (q->next()) {
        XrfSpectrum sp;
        int c = 0;
        sp.setExposureNumber(q->value(c++).toInt());
        sp.setTotalExposureNumber(q->value(c++).toInt());
        sp.setEnergySlope(q->value(c++).toDouble());
        sp.setEnergyOffset(q->value(c++).toDouble());
        sp.setLiveTime(q->value(c++).toDouble());
        sp.setLiveTimeFromHardware(q->value(c++).toDouble());
        sp.setResetTime(q->value(c++).toDouble());
        sp.setFastCounts(q->value(c++).toULongLong());
        sp.setProbeSerialNumber(q->value(c++).toInt());
        sp.setFirstRate(q->value(c++).toDouble());
        sp.setLastRate(q->value(c++).toDouble());
        sp.setRealTime(q->value(c++).toDouble());
        sp.setVacuumPressure(q->value(c++).toInt());
        sp.setAmbientPressureMillibars(q->value(c++).toInt());
        sp.setProbeTemperature(q->value(c++).toDouble());
        sp.setTubeCurrentSet(q->value(c++).toDouble());
        sp.setTubeCurrentMonitor(q->value(c++).toDouble());
        sp.setTubeVoltageSet(q->value(c++).toDouble());
        sp.setTubeVoltageMonitor(q->value(c++).toDouble());
        sp.setLtMultiplier(q->value(c++).toInt());
        sp.setColMultiplier(q->value(c++).toInt());
        sp.setFilterPosition(q->value(c++).toInt());
        sp.setPileups(q->value(c++).toInt());
        sp.setClipBottom(q->value(c++).toInt());
        sp.setClipTop(q->value(c++).toInt());
        sp.setTopResets(q->value(c++).toInt());
        sp.setStepIndex(q->value(c++).toInt());
        sp.setStepTotal(q->value(c++).toInt());
        int size = 0;
        const char *hex = q->bytes(c++, &size);
        setChannelsFromHex(hex, size, &sp);
        read.append(sp);
    }
    q->finish();
    // The filter statement runs after the spectra's is done with its rows.
    for (XrfSpectrum &sp : read) {
        readFilter(&sp);
        spectra->append(sp);
    }
    return XrfErrorInfo::NoError;
}

void ResultReader::readNames(int testId, XrfKorviResult *result)
{
    SqliteStatement *q = byTestId(namesRow().table, namesRow().columns, testId);
    if (!q)
        return;
    XrfAnalysisResult &a = result->analysis();
    XrfCalCheckResult *cal = result->calCheck();
    while (q->next()) {
        const QString text = q->value(1).toString();
        switch (q->value(0).toInt()) {
        case ResultSchema::UserFactorName:
            a.setUserFactorName(text);
            break;
        case ResultSchema::CompoundTemplateName:
            a.setCompoundTemplateName(text);
            break;
        case ResultSchema::TiTemplateName:
            a.setTiTemplateName(text);
            break;
        case ResultSchema::CoatingConfigName:
            a.setCoatingConfigName(text);
            break;
        case ResultSchema::CompoundSuppress100Warning:
            a.setCompoundSuppress100Warning(text == QLatin1String("1"));
            break;
        case ResultSchema::GradeCompareEnable:
            a.setGradeCompareEnable(text.toInt());
            break;
        case ResultSchema::UserFactorNormalizeFactor:
            a.setUserFactorNormalizeFactor(text.toFloat());
            break;
        case ResultSchema::PseudoElementConfigName:
            a.setPseudoElementConfigName(text);
            break;
        case ResultSchema::LeadPaintActionLevel:
            a.setLeadPaintActionLevel(text.toFloat());
            break;
        case ResultSchema::CoatingDisplayUnit:
            a.setCoatingDisplayUnitEnum(text.toInt());
            break;
        case ResultSchema::DriftCorrection: {
            const QJsonObject drift = QJsonDocument::fromJson(text.toUtf8()).object();
            const int index = drift.value(QStringLiteral("index")).toInt(-1);
            XrfDriftCorrection correction;
            correction.fromJsonObject(drift);
            if (index >= 0 && index < result->spectra().size()
                && !correction.timeStampUtc().isEmpty())
                result->spectra()[index].setDriftCorrection(correction);
            break;
        }
        case ResultSchema::PythonPluginResult:
            a.setPythonPluginResult(text);
            break;
        case ResultSchema::DigitalIOStateBefore:
            a.setDigitalIOStateBefore(text.toInt());
            break;
        case ResultSchema::DigitalIOStateAfter:
            a.setDigitalIOStateAfter(text.toInt());
            break;
        case ResultSchema::TavirexResult:
            a.setTavirexResult(text);
            break;
        case ResultSchema::PseudoElementGradeMatchEnable:
            a.setPseudoElementGradeMatchEnable(text.toInt());
            break;
        case ResultSchema::ExpectedSlope:
            cal->setExpectedSlope(text.toDouble());
            break;
        case ResultSchema::ExpectedOffset:
            cal->setExpectedOffset(text.toDouble());
            break;
        case ResultSchema::ExpectedRate:
            cal->setExpectedRate(text.toDouble());
            break;
        case ResultSchema::ExpectedResolution:
            cal->setExpectedResolution(text.toDouble());
            break;
        default:
            break;
        }
    }
    q->finish();
}

void ResultReader::readCalCheck(int testId, XrfKorviResult *result)
{
    result->setHasCalCheck(true);
    SqliteStatement *q = byTestId(calCheckRow().table, calCheckRow().columns, testId);
    if (!q)
        return;
    if (q->next()) {
        XrfCalCheckResult *c = result->calCheck();
        c->setRate(q->value(0).toInt());
        c->setResolution(q->value(1).toInt());
        c->setPeak1(q->value(2).toInt());
        c->setPeak2(q->value(3).toInt());
        c->setOffset(q->value(4).toDouble());
        c->setSlope(q->value(5).toDouble());
        c->setErrorCode(q->value(6).toInt());
        c->setRestandardizeType(q->value(7).toInt());
        QJsonObject fpga;
        if (XrfSettingsManager::instance()->getUniversalSetting(QStringLiteral("hardware.fpga"),
                                                                &fpga)
            == 0) {
            c->setExpectedSlope(fpga.value(QStringLiteral("slope")).toDouble());
            c->setExpectedOffset(fpga.value(QStringLiteral("offset")).toDouble());
        }
    }
    q->finish();
}

void ResultReader::readRegression(int testId, XrfKorviResult *result)
{
    SqliteStatement *q = byTestId(regressionRow().table, regressionRow().columns, testId);
    if (!q)
        return;
    if (!q->next()) {
        q->finish();
        return;
    }
    XrfRegressionInfo &info = result->regressionInfo();
    info.setHistoricalTestId(q->value(0).toInt());
    q->finish();
    if (SqliteStatement *h
        = byTestId(summaryRow().table, summaryRow().columns, info.historicalTestId())) {
        if (h->next()) {
            info.setHistoricalDateTime(h->value(0).toString());
            info.setHistoricalDailyId(h->value(1).toInt());
            info.setHistoricalTidName(h->value(2).toString());
        }
        h->finish();
    }
}

void ResultReader::readLists(int testId, XrfKorviResult *result)
{
    const QString byRow = QStringLiteral(" ORDER BY rowid");
    auto rows = [&](const auto &table, auto *items, const QString &tail) {
        SqliteStatement *q = byTestId(table.table, table.readColumns(), testId, tail);
        if (!q)
            return false;
        takeRows(*q, table, items);
        return true;
    };
    XrfAnalysisResult &a = result->analysis();
    QList<XrfChemistryResult> chemistry;
    if (!rows(chemistryTable(), &chemistry, byRow))
        qDebug() << "No chemistry result";
    for (const XrfChemistryResult &c : chemistry) {
        if (!c.elementName().isEmpty())
            result->chemistry().append(c);
    }
    if (!a.pseudoElementConfigName().isEmpty()
        && !rows(pseudoElementTable(), &result->pseudoElement(), byRow))
        qDebug() << "No pseudo element result";
    if (!rows(userFactorTable(), &result->userFactor(), byRow))
        qDebug() << "No UserFactor result";
    if (!rows(coatingTable(), &result->coating(), byRow))
        qDebug() << "No Coating result";
    for (const XrfCoatingResult &layer : result->coating()) {
        if (layer.layerOrder() != 0) {
            XrfChemistryResult c;
            c.setElementName(layer.element());
            c.setConcentration(layer.thickness());
            c.setError(layer.error());
            result->chemistry().append(c);
        }
    }
    if (!result->coating().isEmpty() && a.coatingDisplayUnitEnum() == -1)
        a.setCoatingDisplayUnitEnum(3);
    if (!rows(compoundTable(), &result->compound(), byRow))
        qDebug() << "No Compound result";
    if (!rows(actionLevelTable(), &result->actionLevel(), byRow))
        qDebug() << "No Action level result";
    rows(gradeMatchTable(), &result->gradeMatch(), byRow);
    for (XrfGradeMatch &grade : result->gradeMatch()) {
        const ListTable<XrfGradeMatchSpec> &spec = gradeMatchSpecTable();
        SqliteStatement *q = statement(ResultSchema::selectByTestId(
                spec.table, spec.readColumns(), QStringLiteral(" AND gradeName = ?") + byRow));
        if (!q)
            continue;
        q->addBindValue(testId);
        q->addBindValue(grade.gradeName());
        if (q->exec())
            takeRows(*q, spec, &grade.gradeSpec());
    }
    readImages(testId, result);
    if (!rows(testInfoTable(), &result->testInfo(), QStringLiteral(" ORDER BY id ASC")))
        qDebug() << "No tif for tid " << testId;
}

void ResultReader::readImages(int testId, XrfKorviResult *result)
{
    SqliteStatement *q = byTestId(imageRow().table, imageRow().columns, testId);
    if (!q) {
        qDebug() << "No images for tid " << testId;
        return;
    }
    while (q->next()) {
        XrfImageInfo image;
        image.setName(q->value(0).toString());
        image.setType(q->value(1).toString() == QLatin1String("INLINE") ? 0 : 1);
        image.setCropAreaTop(q->value(2).toFloat());
        image.setCropAreaLeft(q->value(3).toFloat());
        image.setCropAreaWidth(q->value(4).toFloat());
        image.setCropAreaHeight(q->value(5).toFloat());
        image.setCollimatorSpotX(q->value(6).toFloat());
        image.setCollimatorSpotY(q->value(7).toFloat());
        image.setImageHasCircle(q->value(8).toInt() != 0);
        result->images().append(image);
    }
    q->finish();
}

XrfErrorInfo::XrfError ResultReader::readAveragedSources(const QStringList &testIds,
                                                         QList<XrfAverageInfo> *sources)
{
    // In the order of their test ids, each once.
    QList<int> ids;
    for (const QString &id : testIds)
        ids << id.toInt();
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (int id : qAsConst(ids)) {
        SqliteStatement *q
                = byTestId(summaryRow().table, summaryRow().keyColumns + summaryRow().columns, id);
        if (!q)
            return XrfErrorInfo::NoError;
        if (q->next()) {
            XrfAverageInfo info;
            info.setTestId(q->value(0).toInt());
            const QDateTime when = XrfFields::utcFromText(q->value(1).toString());
            info.setTestDateTime(when.toLocalTime().toString(XrfAnalysisResult::dateTimeFormat));
            info.setDailyId(q->value(2).toInt());
            info.setTidName(q->value(3).toString());
            sources->append(info);
        }
        q->finish();
    }
    return XrfErrorInfo::NoError;
}
