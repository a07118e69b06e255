// Insertion and deletion of results.
//
// A result is stored in one transaction begun by insertTestResult(): every
// table's rows, its names rows, its image files and its day record; a failing
// step rolls all rows back and moves renamed images back, so a result is
// stored whole or not at all. A result already stored (same date-time text
// and name) is not stored again but reported as committed: a result handed
// over twice, after a restart, lands once.
//
// Every changing text statement goes through execInsDelQuery(), which logs a
// failing statement with the driver's text.

#include "insdelqueries.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QSet>

#include "databasemanager.h"
#include "xrfimage.h"
#include "xrfsettingsmanager.h"
#include "xrfstring.h"
#include "xrfutils.h"

namespace InsDelQueries {

QString escapeQuotes(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\''), QLatin1String("''"));
    return escaped;
}

QString sqlQuote(const QString &value)
{
    const QString quoted = QLatin1Char('\'') + escapeQuotes(value) + QLatin1Char('\'');
    if (!value.contains(QChar(0)))
        return quoted;
    QString spliced = quoted;
    spliced.replace(QChar(0), QLatin1String("'||char(0)||'"));
    return spliced;
}

QString nonFiniteText(double value)
{
    if (qIsNaN(value))
        return QStringLiteral("NaN");
    return value > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf");
}

QString g6(double value)
{
    return qIsFinite(value) ? QString::number(value, 'g', 6) : nonFiniteText(value);
}

QString g17(double value)
{
    return qIsFinite(value) ? QString::number(value, 'g', 17) : nonFiniteText(value);
}

// One column: the getter bound on insertion and the setter used on reading,
// with the conversion of the read value.
#define XRF_COLUMN(Item, column, getter, Setter, conversion)                                       \
    Column<Item>                                                                                   \
    {                                                                                              \
        column, [](const Item &i) { return bound(i.getter()); },                                   \
                [](Item &i, const QVariant &v) { i.set##Setter(v.conversion()); }                  \
    }

void checkAgainstSchema(const QString &table, const QStringList &columns)
{
    const ResultSchema::Table &t = ResultSchema::table(table);
    for (const QString &c : columns)
        if (!t.hasColumn(c.toLatin1().constData()))
            qFatal("Table %s has no column %s", qPrintable(table), qPrintable(c));
}

namespace {

    template<class Item>
    ListTable<Item> checked(ListTable<Item> t)
    {
        QStringList names = t.keyColumns;
        for (const Column<Item> &c : t.columns)
            names << QLatin1String(c.name);
        checkAgainstSchema(t.table, names);
        return t;
    }

} // namespace

const ListTable<XrfChemistryResult> &chemistryTable()
{
    using T = XrfChemistryResult;
    static const ListTable<T> t = checked(ListTable<T> {
            XrfTables::elementResult,
            {},
            ListTable<T>::Batch,
            "Failed to insert a chemistry result ",
            {
                    XRF_COLUMN(T, "elementName", elementName, ElementName, toString),
                    XRF_COLUMN(T, "concentration", concentration, Concentration, toFloat),
                    XRF_COLUMN(T, "error", error, Error, toFloat),
            } });
    return t;
}

const ListTable<XrfPseudoElementResult> &pseudoElementTable()
{
    using T = XrfPseudoElementResult;
    static const ListTable<T> t = checked(ListTable<T> {
            XrfTables::pseudoElementResult,
            {},
            ListTable<T>::Batch,
            "Failed to insert a pseudo element result ",
            {
                    XRF_COLUMN(T, "elementName", elementName, ElementName, toString),
                    XRF_COLUMN(T, "formula", formula, Formula, toString),
                    XRF_COLUMN(T, "notApplicable", notApplicable, NotApplicable, toBool),
                    XRF_COLUMN(T, "concentration", concentration, Concentration, toFloat),
                    XRF_COLUMN(T, "error", error, Error, toFloat),
            } });
    return t;
}

const ListTable<XrfCoatingResult> &coatingTable()
{
    using T = XrfCoatingResult;
    // The model has no density; the column gets 1.0.
    static const ListTable<T> t = checked(ListTable<T> {
            XrfTables::coatingResult,
            {},
            ListTable<T>::Batch,
            "Failed to insert a coating result ",
            {
                    XRF_COLUMN(T, "elementName", element, Element, toString),
                    XRF_COLUMN(T, "layerOrder", layerOrder, LayerOrder, toInt),
                    XRF_COLUMN(T, "factor", factor, Factor, toFloat),
                    XRF_COLUMN(T, "thickness", thickness, Thickness, toFloat),
                    XRF_COLUMN(T, "error", error, Error, toFloat),
                    Column<T> { "density", [](const T &) { return QVariant(1.0); }, nullptr },
            } });
    return t;
}

const ListTable<XrfUserFactorResult> &userFactorTable()
{
    using T = XrfUserFactorResult;
    static const ListTable<T> t = checked(
            ListTable<T> { XrfTables::userFactorResult,
                           {},
                           ListTable<T>::Batch,
                           "Failed to insert a user factor result ",
                           {
                                   XRF_COLUMN(T, "elementName", elementName, ElementName, toString),
                                   XRF_COLUMN(T, "factor", factor, Factor, toFloat),
                                   XRF_COLUMN(T, "offset", offset, Offset, toFloat),
                                   XRF_COLUMN(T, "userEntered", userEntered, UserEntered, toBool),
                           } });
    return t;
}

const ListTable<XrfCompoundResult> &compoundTable()
{
    using T = XrfCompoundResult;
    static const ListTable<T> t = checked(ListTable<T> {
            XrfTables::compoundResult,
            {},
            ListTable<T>::Batch,
            "Failed to insert a user compund result ",
            {
                    XRF_COLUMN(T, "elementName", elementName, ElementName, toString),
                    XRF_COLUMN(T, "compoundName", compoundName, CompoundName, toString),
                    XRF_COLUMN(T, "factor", factor, Factor, toFloat),
            } });
    return t;
}

const ListTable<XrfActionLevelResult> &actionLevelTable()
{
    using T = XrfActionLevelResult;
    static const ListTable<T> t = checked(ListTable<T> {
            XrfTables::rohsActionLevelResult,
            {},
            ListTable<T>::TextPerRow,
            "",
            {
                    XRF_COLUMN(T, "elementName", elementName, ElementName, toString),
                    XRF_COLUMN(T, "actionLevel", actionLevelEnum, ActionLevelEnum, toInt),
            } });
    return t;
}

const ListTable<XrfGradeMatch> &gradeMatchTable()
{
    using T = XrfGradeMatch;
    static const ListTable<T> t = checked(ListTable<T> {
            XrfTables::gradeMatch,
            {},
            ListTable<T>::Batch,
            "Failed to insert a grade match result ",
            {
                    XRF_COLUMN(T, "gradeName", gradeName, GradeName, toString),
                    XRF_COLUMN(T, "matchNumber", matchNumber, MatchNumber, toFloat),
                    XRF_COLUMN(T, "matchNSigma", matchNSigma, MatchNSigma, toFloat),
                    XRF_COLUMN(T, "compGrade", compGrade, CompGrade, toInt),
                    XRF_COLUMN(T, "nominalFactor", nominalFactor, NominalFactor, toFloat),
                    XRF_COLUMN(T, "passFailCutOff", passFailCutOff, PassFailCutOff, toFloat),
                    XRF_COLUMN(T, "passFailNSigma", passFailNSigma, PassFailNSigma, toFloat),
                    XRF_COLUMN(T, "passFailShowMatchNumber", passFailShowMatchNumber,
                               PassFailShowMatchNumber, toBool),
                    XRF_COLUMN(T, "matchMessage", matchMessage, MatchMessage, toString),
            } });
    return t;
}

const ListTable<XrfGradeMatchSpec> &gradeMatchSpecTable()
{
    using T = XrfGradeMatchSpec;
    // Rows carry their grade's name after testId (a key value).
    static const ListTable<T> t = checked(
            ListTable<T> { XrfTables::gradeMatchSpec,
                           { QStringLiteral("gradeName") },
                           ListTable<T>::Batch,
                           "Failed to insert a grade match spec result ",
                           {
                                   XRF_COLUMN(T, "elementName", elementName, ElementName, toString),
                                   XRF_COLUMN(T, "minVal", min, Min, toFloat),
                                   XRF_COLUMN(T, "maxVal", max, Max, toFloat),
                                   XRF_COLUMN(T, "matchResult", result, Result, toString),
                           } });
    return t;
}

const ListTable<QJsonObject> &testInfoTable()
{
    using T = QJsonObject;
    static const ListTable<T> t = checked(ListTable<T> {
            XrfTables::testInfo,
            {},
            ListTable<T>::TextPerRow,
            "",
            {
                    Column<T> { "label",
                                [](const T &o) {
                                    return QVariant(o.value(QStringLiteral("key")).toString());
                                },
                                [](T &o, const QVariant &v) {
                                    o.insert(QStringLiteral("key"), v.toString());
                                } },
                    Column<T> { "info",
                                [](const T &o) {
                                    return QVariant(o.value(QStringLiteral("value")).toString());
                                },
                                [](T &o, const QVariant &v) {
                                    o.insert(QStringLiteral("value"), v.toString());
                                } },
            } });
    return t;
}

} // namespace InsDelQueries

using namespace InsDelQueries;

namespace {

QString quotedList(const QStringList &values)
{
    QStringList quoted;
    for (const QString &v : values)
        quoted << sqlQuote(v);
    return quoted.join(QLatin1Char(','));
}

} // namespace

XrfErrorInfo::XrfError DatabaseManager::execInsDelQuery(const QString &statement)
{
    QSqlQuery q(workingHandle());
    q.setForwardOnly(true);
    const bool ok = q.exec(statement);
    if (!ok) {
        qDebug() << "Failed Query is " << statement;
        qDebug() << "SQL error is " << q.lastError().text();
    }
    q.finish();
    q.clear();
    return ok ? XrfErrorInfo::NoError : XrfErrorInfo::DbQueryFailed;
}

namespace {

TextExec textExecOf(DatabaseManager *db)
{
    return [db](const QString &statement) { return db->execInsDelQuery(statement); };
}

} // namespace

// --- One whole result ----------------------------------------------------------

bool DatabaseManager::lookUpStoredTestId(const QString &testDateTime, const QString &tidName,
                                         int *testId)
{
    *testId = -1;
    // A result without a date-time is never "the same" as another.
    if (testDateTime.isEmpty())
        return true;
    QSqlQuery q(workingHandle());
    q.prepare(QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
              + QStringLiteral(" WHERE testDateTime = ? AND tidName = ? ORDER BY testId LIMIT 1"));
    q.addBindValue(testDateTime);
    q.addBindValue(tidName);
    if (!q.exec() || XrfUtils::faultPointArmed("stored-lookup-fail")) {
        qWarning() << "Cannot look up a stored result:" << q.lastError().text();
        return false;
    }
    if (q.next())
        *testId = q.value(0).toInt();
    return true;
}

int DatabaseManager::storedTestId(const QString &testDateTime, const QString &tidName)
{
    int id = -1;
    lookUpStoredTestId(testDateTime, tidName, &id);
    return id;
}

QString DatabaseManager::whyNotStorable(const XrfKorviResult &result)
{
    // Grade matches are keyed by name and cut-off: a second one with the same
    // key would fail the insertion on every try.
    QSet<QString> keys;
    for (const XrfGradeMatch &grade : result.gradeMatch()) {
        const QString key = grade.gradeName() + QChar(0)
                + InsDelQueries::bound(grade.passFailCutOff()).toString();
        if (keys.contains(key))
            return QStringLiteral("two grade matches \"%1\" with the same cut-off")
                    .arg(grade.gradeName());
        keys.insert(key);
    }
    return QString();
}

XrfErrorInfo::XrfError DatabaseManager::insertTestResult(XrfKorviResult result)
{
    QElapsedTimer clock;
    clock.start();
    XrfAnalysisResult &analysis = result.analysis();
    const bool averaged = analysis.testType() == QLatin1String("AVERAGED");
    if (!analysis.testDateTime().isValid()) {
        // Every stored result has a date-time, one of its own.
        QDateTime now = QDateTime::currentDateTimeUtc();
        if (m_lastAssignedTime.isValid() && now <= m_lastAssignedTime)
            now = m_lastAssignedTime.addMSecs(1);
        m_lastAssignedTime = now;
        analysis.setTestDateTime(now);
    }

    const QString unstorable = whyNotStorable(result);
    if (!unstorable.isEmpty()) {
        qWarning().noquote() << QStringLiteral("Result %1 of %2 cannot be stored: %3")
                                        .arg(analysis.tidName(), analysis.dateTimeString(),
                                             unstorable);
        emit resultInserted(XrfErrorInfo::InvalidArgument);
        return XrfErrorInfo::InvalidArgument;
    }

    QSqlDatabase db = workingHandle();
    int existing = -1;
    if (!lookUpStoredTestId(analysis.dateTimeString(), analysis.tidName(), &existing)) {
        // Not knowing whether it is stored is no licence to store it again.
        emit resultInserted(XrfErrorInfo::DbQueryFailed);
        return XrfErrorInfo::DbQueryFailed;
    }
    if (existing > 0) {
        qInfo() << "Result" << analysis.tidName() << "of" << analysis.dateTimeString()
                << "is already stored as test id" << existing << "- not stored again";
        emit resultInserted(XrfErrorInfo::NoError);
        emit resultCommitted(analysis.testDateTime(), averaged, existing);
        return XrfErrorInfo::NoError;
    }

    // The commit must survive a power cut before it is announced: in the
    // rollback-journal mode only EXTRA also syncs the folder after the
    // journal is deleted.
    // (The benchmark measures the weaker FULL through a test hook.)
    QSqlQuery(db).exec(XrfUtils::faultPointArmed("synchronous-full")
                               ? QStringLiteral("PRAGMA synchronous=FULL")
                               : QStringLiteral("PRAGMA synchronous=EXTRA"));
    if (!db.transaction()) {
        qWarning() << "Cannot begin a transaction to store a result:" << db.lastError().text();
        emit resultInserted(XrfErrorInfo::DbQueryFailed);
        return XrfErrorInfo::DbQueryFailed;
    }

    int testId = -1;
    m_movedImages.clear();
    XrfErrorInfo::XrfError rc = insertTestResultInDb(result, &testId, true);
    if (rc == XrfErrorInfo::NoError && !syncMovedImageFolders())
        rc = XrfErrorInfo::FileAccessFailed;
    if (rc == XrfErrorInfo::NoError && averaged)
        emit averagedResultInserted(result);
    emit resultInserted(rc);

    if (rc != XrfErrorInfo::NoError) {
        restoreMovedImages();
        db.rollback();
        closeConnection(db);
        return rc;
    }
    XrfUtils::crashPoint("before-commit");
    if (XrfUtils::faultPointArmed("commit-fail") || !db.commit()) {
        qWarning() << "COMMIT of a result failed:" << db.lastError().text()
                   << "- it is rolled back";
        restoreMovedImages();
        db.rollback();
        closeConnection(db);
        // The earlier resultInserted(0) spoke too soon.
        emit resultInserted(XrfErrorInfo::DbQueryFailed);
        return XrfErrorInfo::DbQueryFailed;
    }
    m_movedImages.clear();
    closeConnection(db);
    qInfo() << "**** Completed COMMIT a result to the database in " << clock.elapsed()
            << " msec. Primary key for record is " << testId;
    XrfUtils::crashPoint("after-commit");
    countInDayRecord();

    performAutoPrintIfNecessary(result);
    emit resultCommitted(analysis.testDateTime(), averaged, testId);
    return XrfErrorInfo::NoError;
}

// The record counts the results stored today, so it is written only once a
// result's commit has succeeded.
void DatabaseManager::countInDayRecord()
{
    if (m_day != QDate::currentDate()) {
        m_day = QDate::currentDate();
        m_dayCounter = 1;
    }
    m_hdfFile.write(m_day, m_dayCounter);
    ++m_dayCounter;
}

XrfErrorInfo::XrfError DatabaseManager::insertTestResultInDb(XrfKorviResult &result, int *testId,
                                                             bool newTestId)
{
    QElapsedTimer clock;
    clock.start();
    qDebug() << "**** Starting the insertion of an XrfKorviResult to the database.";
    getLatestTestId(&m_lastTestId);

    XrfAnalysisResult &analysis = result.analysis();
    const QString type = analysis.testType();
    XrfErrorInfo::XrfError rc = newTestId ? insertAnalysis(analysis, testId)
                                          : insertImportedAnalysis(analysis, testId);
    XrfUtils::crashPoint("after-analysis-row");
    const int id = *testId;
    QSqlDatabase db = workingHandle();
    const TextExec exec = textExecOf(this);
    auto step = [&rc](bool condition, const std::function<XrfErrorInfo::XrfError()> &insert) {
        if (rc == XrfErrorInfo::NoError && condition)
            rc = insert();
    };

    step(type != QLatin1String("CALCHECK") && analysis.methodFamilyName() != 8
                 && !result.chemistry().isEmpty(),
         [&] { return insertRows(db, chemistryTable(), result.chemistry(), id, exec); });
    step(true,
         [&] { return insertRows(db, pseudoElementTable(), result.pseudoElement(), id, exec); });
    step(true, [&] { return insertNamesResult(result, id); });
    step(true, [&] { return insertRows(db, coatingTable(), result.coating(), id, exec); });
    step(true, [&] { return insertRows(db, userFactorTable(), result.userFactor(), id, exec); });
    step(true, [&] { return insertRows(db, compoundTable(), result.compound(), id, exec); });
    step(true, [&] { return insertRohsResult(analysis, id); });
    step(true, [&] { return insertRows(db, actionLevelTable(), result.actionLevel(), id, exec); });
    for (const XrfSpectrum &spectrum : result.spectra())
        step(true, [&] { return insertSpectrum(spectrum, id); });
    step(type == QLatin1String("REGRESSION") && result.regressionInfo().historicalTestId() > 0,
         [&] {
             int tid = id;
             return insertRegressionInfo(&tid, result.regressionInfo().historicalTestId());
         });
    step(type == QLatin1String("CALCHECK") && result.hasCalCheck(),
         [&] { return insertCalCheck(result.calCheck(), id); });
    step(!result.testInfo().isEmpty(),
         [&] { return insertRows(db, testInfoTable(), result.testInfo(), id, exec); });
    if (rc == XrfErrorInfo::NoError && !result.images().isEmpty()) {
        const QDateTime when = analysis.testDateTime().toUTC();
        const QString testDate = when.toString(QStringLiteral("yyyy-MM-dd"));
        const QString testTime = when.toString(QStringLiteral("hhmmsszzz"));
        int number = 1;
        for (XrfImageInfo &image : result.images())
            if (rc == XrfErrorInfo::NoError)
                rc = insertImageInfo(id, &image, analysis.tidName(), testDate, number++, testTime);
    }
    step(type == QLatin1String("REPEAT"), [&] {
        return insertRepeatInfo(id, analysis.repeatTestIndex(), analysis.repeatTestTotal());
    });
    step(!result.gradeMatch().isEmpty(), [&] { return insertGradeMatch(id, result.gradeMatch()); });
    step(!result.gradeMatch().isEmpty(),
         [&] { return insertGradeMatchSpec(id, result.gradeMatch()); });
    step(analysis.auPlatingEnum() != -1,
         [&] { return insertPlating(analysis.auPlatingEnum(), id); });
    for (const XrfAverageInfo &source : result.avgOfTestsInfo())
        step(true, [&] { return insertAverageInfo(analysis.testId(), source.testId()); });

    qInfo() << "**** Completed inserting a result to the database in " << clock.elapsed()
            << " msec. Primary key for record is " << *testId;
    return rc;
}

QString DatabaseManager::currentUser() const
{
    QString user;
    if (XrfSettingsManager::instance()->getCurrentUser(&user) != 0)
        user.clear();
    return user;
}

XrfErrorInfo::XrfError DatabaseManager::insertAnalysisRow(XrfAnalysisResult &analysis, int *testId,
                                                          bool withUser)
{
    *testId = -1;
    QStringList values { analysis.dateTimeString(),
                         QString::number(analysis.statusId()),
                         QString::number(analysis.final() ? 1 : 0),
                         analysis.testType(),
                         analysis.methodId(),
                         QString::number(int(analysis.methodFamilyName())),
                         analysis.methodDispName(),
                         QString::number(analysis.collimatedStatusInt()),
                         QString::number(analysis.dailyId()) };
    if (withUser)
        values << currentUser();
    values << analysis.tidName() << analysis.testErrorInfo();
    const QString columns = withUser
            ? QStringLiteral("testDateTime,statusId,final,testType,methodId,methodFamilyName,"
                             "methodDispName,collimated,dailyId,userId,tidName,testErrorInfo")
            : QStringLiteral("testDateTime,statusId,final,testType,methodId,methodFamilyName,"
                             "methodDispName,collimated,dailyId,tidName,testErrorInfo");
    const XrfErrorInfo::XrfError rc = execInsDelQuery(
            QStringLiteral("INSERT into ") + XrfTables::analysisResult + QStringLiteral(" (")
            + columns + QStringLiteral(") VALUES(") + quotedList(values) + QStringLiteral(")"));
    if (rc != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    *testId = m_lastTestId + 1;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::insertAnalysis(XrfAnalysisResult &analysis, int *testId)
{
    if (insertAnalysisRow(analysis, testId, true) != XrfErrorInfo::NoError) {
        qInfo() << "Error inserting analysis result.";
        return XrfErrorInfo::DbQueryFailed;
    }
    analysis.setTestId(*testId);

    if (!qIsNaN(analysis.latitude()) && !qIsNaN(analysis.longitude()))
        return insertLocation(analysis.latitude(), analysis.longitude(), analysis.elevation(),
                              *testId);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::insertImportedAnalysis(XrfAnalysisResult &analysis,
                                                               int *testId)
{
    const XrfErrorInfo::XrfError rc = insertAnalysisRow(analysis, testId, false);
    if (rc != XrfErrorInfo::NoError)
        return rc;
    if (!qIsNaN(analysis.latitude()) && !qIsNaN(analysis.longitude()))
        return insertLocation(analysis.latitude(), analysis.longitude(), analysis.elevation(),
                              *testId);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::insertRohsResult(XrfAnalysisResult &analysis, int testId)
{
    if (analysis.rohsClassificationEnum() == -1)
        return XrfErrorInfo::NoError;
    return execInsDelQuery(
            QStringLiteral("INSERT into ") + XrfTables::rohsResult
            + QStringLiteral(" (testId,rohsClassification,rohsActionLevel,rohsActionLevelName) "
                             "VALUES (")
            + sqlQuote(QString::number(testId)) + ','
            + sqlQuote(QString::number(analysis.rohsClassificationEnum())) + ','
            + sqlQuote(QString::number(analysis.rohsActionLevelEnum())) + ','
            + sqlQuote(analysis.rohsActionLevelName()) + QStringLiteral(");"));
}

XrfErrorInfo::XrfError DatabaseManager::insertSpectrum(const XrfSpectrum &spectrum, int testId)
{
    int filterId = 0;
    findOrInsertFilterProps(spectrum.filter(), &filterId);
    const QString blanks(25, QLatin1Char(' '));
    QString statement = QStringLiteral("INSERT into ") + XrfTables::spectrum
            + QStringLiteral("(testId,exposureNumber,totalExposureNumber,energySlope,energyOffset,"
                             "liveTime,liveTimeFromHardware,resetTime,fastCounts,probeSerialNumber,"
                             "firstRate,lastRate,realTime,")
            + blanks
            + QStringLiteral("vacuumPressure,ambientPressure,probeTemperature,tubeCurrentSet,"
                             "tubeCurrentMonitor,tubeVoltageSet,tubeVoltageMonitor,ltMultiplier,"
                             "colMultiplier,filterPosition,")
            + blanks
            + QStringLiteral("pileups,clipBottom,clipTop,topResets,stepIndex,stepTotal,data) "
                             "VALUES(");
    const QStringList values {
        QString::number(testId),
        QString::number(spectrum.exposureNumber()),
        QString::number(spectrum.totalExposureNumber()),
        g6(spectrum.energySlope()),
        g6(spectrum.energyOffset()),
        g6(spectrum.liveTime()),
        g6(spectrum.liveTimeFromHardware()),
        g6(spectrum.resetTime()),
        QString::number(spectrum.fastCounts()),
        QString::number(spectrum.probeSerialNumber()),
        g6(spectrum.firstRate()),
        g6(spectrum.lastRate()),
        g6(spectrum.realTime()),
        QString::number(spectrum.vacuumPressure()),
        QString::number(spectrum.ambientPressureMillibars()),
        g6(spectrum.probeTemperature()),
        g6(spectrum.tubeCurrentSet()),
        g6(spectrum.tubeCurrentMonitor()),
        g6(spectrum.tubeVoltageSet()),
        g6(spectrum.tubeVoltageMonitor()),
        QString::number(spectrum.ltMultiplier()),
        QString::number(spectrum.colMultiplier()),
        QString::number(filterId),
        QString::number(spectrum.pileups()),
        QString::number(spectrum.clipBottom()),
        QString::number(spectrum.clipTop()),
        QString::number(spectrum.topResets()),
        QString::number(spectrum.stepIndex()),
    };
    for (const QString &v : values)
        statement += QStringLiteral("'%1',").arg(v);
    statement += QStringLiteral("'%1','0x").arg(spectrum.stepTotal())
            + QString::fromLatin1(spectrum.binaryData().toHex()) + QStringLiteral("');");
    return execInsDelQuery(statement);
}

XrfErrorInfo::XrfError DatabaseManager::findOrInsertFilterProps(const XrfFilterProperties &filter,
                                                                int *id)
{
    const QString values = QStringLiteral("%1, %2, %3, %4")
                                   .arg(filter.materialAtomicNumber())
                                   .arg(filter.thicknessInMicrons())
                                   .arg(filter.diameterInMicrons())
                                   .arg(filter.hasCollimator() ? 1 : 0);
    const QString select
            = QStringLiteral(
                      "SELECT id FROM filterprops WHERE material = %1 AND thickness = %2 AND "
                      "diameter = %3 AND hasCollimator = %4;")
                      .arg(filter.materialAtomicNumber())
                      .arg(filter.thicknessInMicrons())
                      .arg(filter.diameterInMicrons())
                      .arg(filter.hasCollimator() ? 1 : 0);
    QSqlDatabase db = workingHandle();
    for (int attempt = 0; attempt < 2; ++attempt) {
        QSqlQuery q(db);
        if (q.exec(select) && q.next()) {
            *id = q.value(0).toInt();
            return XrfErrorInfo::NoError;
        }
        if (attempt == 0)
            QSqlQuery(db).exec(QStringLiteral("INSERT INTO filterprops (material, thickness, "
                                              "diameter, hasCollimator) VALUES(")
                               + values + QStringLiteral(")"));
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::insertRegressionInfo(int *testId, int historicalTestId)
{
    return execInsDelQuery(QStringLiteral("INSERT into ") + XrfTables::regressionInfo
                           + QStringLiteral(" VALUES(")
                           + QStringLiteral("%1,%2);").arg(*testId).arg(historicalTestId));
}

XrfErrorInfo::XrfError DatabaseManager::insertCalCheck(XrfCalCheckResult *calCheck, int testId)
{
    const QStringList values { QString::number(testId),
                               g6(calCheck->rate()),
                               g6(calCheck->resolution()),
                               g6(calCheck->peak1()),
                               g6(calCheck->peak2()),
                               g6(calCheck->offset()),
                               g6(calCheck->slope()),
                               QString::number(calCheck->errorCode()),
                               QString::number(calCheck->restandardizeType()) };
    return execInsDelQuery(QStringLiteral("INSERT into ") + XrfTables::calCheckResult
                           + QStringLiteral(" (testId,rate,resolution,peak1,peak2,offset,slope,"
                                            "errorCode,restandardizeType) Values(")
                           + quotedList(values) + QStringLiteral(");"));
}

XrfErrorInfo::XrfError DatabaseManager::insertRepeatInfo(int testId, int repeatIndex,
                                                         int repeatTotal)
{
    return execInsDelQuery(
            QStringLiteral("INSERT into ") + XrfTables::repeatInfo + QStringLiteral(" VALUES(")
            + QStringLiteral("%1,%2,%3);").arg(testId).arg(repeatIndex).arg(repeatTotal));
}

XrfErrorInfo::XrfError DatabaseManager::insertGradeMatch(int testId,
                                                         const QList<XrfGradeMatch> &grades)
{
    return insertRows(workingHandle(), gradeMatchTable(), grades, testId, textExecOf(this));
}

XrfErrorInfo::XrfError DatabaseManager::insertGradeMatchSpec(int testId,
                                                             const QList<XrfGradeMatch> &grades)
{
    for (const XrfGradeMatch &grade : grades) {
        const XrfErrorInfo::XrfError rc
                = insertRows(workingHandle(), gradeMatchSpecTable(), grade.gradeSpec(), testId,
                             textExecOf(this), { grade.gradeName() });
        if (rc != XrfErrorInfo::NoError)
            return rc;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::insertPlating(int auPlating, int testId)
{
    return execInsDelQuery(QStringLiteral("INSERT into ") + XrfTables::plating
                           + QStringLiteral(" VALUES(")
                           + QStringLiteral("%1,%2);").arg(testId).arg(auPlating));
}

XrfErrorInfo::XrfError DatabaseManager::insertAverageInfo(int averagedTestId, int sourceTestId)
{
    return execInsDelQuery(QStringLiteral("INSERT into ") + XrfTables::averagedResultInfo
                           + QStringLiteral(" (averagedTestId,testId) VALUES(") + '\''
                           + QString::number(averagedTestId) + QStringLiteral("','")
                           + QString::number(sourceTestId) + QStringLiteral("')"));
}

XrfErrorInfo::XrfError DatabaseManager::insertLocation(double latitude, double longitude,
                                                       double elevation, int testId)
{
    return execInsDelQuery(QStringLiteral("INSERT into ") + XrfTables::location
                           + QStringLiteral(" (testId,latitude,longitude,elevation) VALUES(")
                           + sqlQuote(QString::number(testId)) + ',' + sqlQuote(g17(latitude)) + ','
                           + sqlQuote(g17(longitude)) + ',' + sqlQuote(g17(elevation))
                           + QStringLiteral(");"));
}

// --- Names rows ------------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::insertNamesResult(XrfKorviResult &result, int testId)
{
    struct NameRow
    {
        ResultSchema::NameType type;
        bool written;
        QString text;
        const char *debugText;
    };
    const XrfAnalysisResult &a = result.analysis();
    const bool hasUserFactorName = !a.userFactorName().isEmpty();
    const bool hasCompoundTemplate = !a.compoundTemplateName().isEmpty();
    const QString unitName = QString::fromLatin1(
            QMetaEnum::fromType<XrfUtils::ChemistryUnit>().valueToKey(a.coatingDisplayUnitEnum()));
    QList<NameRow> rows {
        { ResultSchema::UserFactorName, hasUserFactorName, a.userFactorName(), nullptr },
        { ResultSchema::UserFactorNormalizeFactor,
          hasUserFactorName && a.userFactorNormalizeFactor() != -1,
          g6(a.userFactorNormalizeFactor()), "Inserting userFactorRenormailize : " },
        { ResultSchema::CompoundTemplateName, hasCompoundTemplate, a.compoundTemplateName(),
          nullptr },
        { ResultSchema::CompoundSuppress100Warning, hasCompoundTemplate,
          a.compoundSuppress100Warning() ? "1" : "0", nullptr },
        { ResultSchema::TiTemplateName, !a.tiTemplateName().isEmpty(), a.tiTemplateName(),
          nullptr },
        { ResultSchema::CoatingConfigName, !a.coatingConfigName().isEmpty(), a.coatingConfigName(),
          nullptr },
        { ResultSchema::GradeCompareEnable, a.gradeCompareEnable() != -1,
          QString::number(a.gradeCompareEnable()), "Inserting gradeCompareEnable : " },
        { ResultSchema::PseudoElementGradeMatchEnable, a.pseudoElementGradeMatchEnable() != -1,
          QString::number(a.pseudoElementGradeMatchEnable()),
          "Inserting pseudoElementGradeMatchEnable : " },
        { ResultSchema::PseudoElementConfigName, !a.pseudoElementConfigName().isEmpty(),
          a.pseudoElementConfigName(), nullptr },
        { ResultSchema::LeadPaintActionLevel, a.leadPaintActionLevel() >= 0,
          g6(a.leadPaintActionLevel()), "Inserting leadPaintActionLevel : " },
        { ResultSchema::CoatingDisplayUnit, a.coatingDisplayUnitEnum() != -1,
          QString::number(a.coatingDisplayUnitEnum()), "Inserting coatingDisplayUnit : " },
        { ResultSchema::PythonPluginResult, !a.pythonPluginResult().isEmpty(),
          a.pythonPluginResult(), "Inserting pythonPluginResult : " },
        { ResultSchema::TavirexResult, !a.tavirexResult().isEmpty(), a.tavirexResult(),
          "Inserting tavirexResult : " },
        { ResultSchema::DigitalIOStateBefore, a.digitalIOStateBefore() != -1,
          QString::number(a.digitalIOStateBefore()), "Inserting digitalIOStateBefore : " },
        { ResultSchema::DigitalIOStateAfter, a.digitalIOStateAfter() != -1,
          QString::number(a.digitalIOStateAfter()), "Inserting digitalIOStateAfter : " },
    };
    int index = 0;
    for (const XrfSpectrum &spectrum : result.spectra()) {
        if (!spectrum.driftCorrection().timeStampUtc().isEmpty()) {
            QJsonObject drift = spectrum.driftCorrection().toJsonObject();
            drift.insert(QStringLiteral("index"), index);
            rows.append({ ResultSchema::DriftCorrection, true,
                          QString::fromUtf8(QJsonDocument(drift).toJson(QJsonDocument::Compact)),
                          nullptr });
        }
        ++index;
    }
    const XrfCalCheckResult *cal = result.calCheck();
    const bool hasCal = result.hasCalCheck();
    rows.append({ ResultSchema::ExpectedSlope, hasCal, g6(cal->expectedSlope()), nullptr });
    rows.append({ ResultSchema::ExpectedOffset, hasCal, g6(cal->expectedOffset()), nullptr });
    rows.append({ ResultSchema::ExpectedRate, hasCal, g6(cal->expectedRate()), nullptr });
    rows.append(
            { ResultSchema::ExpectedResolution, hasCal, g6(cal->expectedResolution()), nullptr });

    for (const NameRow &row : rows) {
        if (!row.written)
            continue;
        if (row.debugText)
            qDebug() << row.debugText
                     << (row.type == ResultSchema::CoatingDisplayUnit ? unitName : row.text);
        const XrfErrorInfo::XrfError rc = execInsDelQuery(
                QStringLiteral("INSERT into ") + XrfTables::resultNames
                + QStringLiteral(" (testId,type,name) VALUES (") + sqlQuote(QString::number(testId))
                + ',' + sqlQuote(QString::number(row.type)) + ',' + sqlQuote(row.text)
                + QStringLiteral(");"));
        if (rc != XrfErrorInfo::NoError)
            return XrfErrorInfo::DbQueryFailed;
    }
    return XrfErrorInfo::NoError;
}

// --- Images ------------------------------------------------------------------------

QString DatabaseManager::imageFolder() const
{
    return m_instrumentDataPath + QStringLiteral("images/");
}

XrfErrorInfo::XrfError DatabaseManager::insertImageInfo(int testId, XrfImageInfo *image,
                                                        QString tidName, QString testDate,
                                                        int number, QString testTime)
{
    const QString folder = QDir::cleanPath(QFileInfo(imageFolder()).absoluteFilePath());
    const QString named = image->name().contains(QLatin1Char('/'))
            ? image->name()
            : testDate + QLatin1Char('/') + image->name();
    const QString source = QDir::cleanPath(folder + QLatin1Char('/') + named);
    // A name that leads out of the image store (or to the store itself) is
    // never followed: the library moves files only inside its own store.
    if (!source.startsWith(folder + QLatin1Char('/'))) {
        qWarning() << "Image" << image->name() << "lies outside the image store; it is dropped";
        return XrfErrorInfo::NoError;
    }
    // Unique to the result (its UTC time to the millisecond) and safe on any
    // card; a re-insertion after a kill finds its own target again.
    const QString suffix = QStringLiteral("-%1-%2.jpeg").arg(testTime).arg(number);
    const QString prefix = QStringLiteral("img-") + testDate + QLatin1Char('-');
    const QString stored = testDate + QLatin1Char('/') + prefix
            + XrfUtils::safeFileNamePart(tidName,
                                         255 - prefix.toUtf8().size() - suffix.toUtf8().size())
            + suffix;
    const QString target = folder + QLatin1Char('/') + stored;

    if (!QFileInfo(source).isFile()) {
        // Stored once already (the source was moved then): record the target.
        if (!QFileInfo::exists(target)) {
            qDebug() << "File not found :" << source;
            return XrfErrorInfo::NoError;
        }
    } else if (!QFileInfo::exists(target)) {
        const QString targetFolder = QFileInfo(target).absolutePath();
        if (!QFileInfo::exists(targetFolder)) {
            QDir().mkpath(targetFolder);
            m_createdImageFolders.append(targetFolder);
        }
        if (!QFile::rename(source, target)) {
            qWarning() << "Failed to rename image file: " << source << " -> " << target;
            return XrfErrorInfo::NoError;
        }
        m_movedImages.append({ source, target });
    }
    image->setName(stored);

    QStringList crop;
    for (double v : { image->cropAreaTop(), image->cropAreaLeft(), image->cropAreaWidth(),
                      image->cropAreaHeight(), image->collimatorSpotX(), image->collimatorSpotY() })
        crop << sqlQuote(g6(v));
    const XrfErrorInfo::XrfError rc = execInsDelQuery(
            QStringLiteral("INSERT into ") + XrfTables::imageResult
            + QStringLiteral(" (testId,fileName,imageType,cropAreaTop,cropAreaLeft,cropAreaWidth,"
                             "cropAreaHeight,collimatorSpotX,collimatorSpotY,imageHasCircle) "
                             "VALUES (")
            + sqlQuote(QString::number(testId)) + ',' + sqlQuote(stored) + ','
            + (image->type() != 0 ? QStringLiteral("'MACRO',") : QStringLiteral("'INLINE',"))
            + crop.join(QLatin1Char(',')) + ','
            + sqlQuote(QString::number(image->imageHasCircle() ? 1 : 0)) + QStringLiteral(");"));
    if (rc != XrfErrorInfo::NoError) {
        emit errorSignal(QStringLiteral("Failed to insert image result."));
        return XrfErrorInfo::DbQueryFailed;
    }
    return XrfErrorInfo::NoError;
}

bool DatabaseManager::syncMovedImageFolders()
{
    QSet<QString> folders;
    for (const QString &created : qAsConst(m_createdImageFolders))
        folders.insert(QFileInfo(created).absolutePath());
    for (const auto &moved : qAsConst(m_movedImages)) {
        folders.insert(QFileInfo(moved.first).absolutePath());
        folders.insert(QFileInfo(moved.second).absolutePath());
    }
    m_createdImageFolders.clear();
    bool ok = true;
    for (const QString &folder : qAsConst(folders))
        ok = XrfUtils::syncFolder(folder) && ok;
    return ok;
}

void DatabaseManager::restoreMovedImages()
{
    m_createdImageFolders.clear();
    for (auto it = m_movedImages.crbegin(); it != m_movedImages.crend(); ++it) {
        if (!QFile::rename(it->second, it->first))
            qWarning() << "Could not move image" << it->second << "back to" << it->first;
    }
    m_movedImages.clear();
}

QString DatabaseManager::imagePath(const QString &name) const
{
    const QString folder = QDir::cleanPath(QFileInfo(imageFolder()).absoluteFilePath());
    const QString path = QDir::cleanPath(folder + QLatin1Char('/') + name);
    return path.startsWith(folder + QLatin1Char('/')) ? path : QString();
}

XrfErrorInfo::XrfError DatabaseManager::getImage(QString imageFile, int appid)
{
    // A name that leads out of the image store opens nothing.
    QFile file(imagePath(imageFile));
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    QJsonDocument answer;
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Image file not found: " << file.fileName();
        rc = XrfErrorInfo::FileOpenFailed;
    } else {
        XrfImage image;
        image.setTestId(-1);
        image.setImageFileName(imageFile);
        image.setImageBuff(QString::fromLatin1(file.readAll().toHex()));
        file.close();
        answer = QJsonDocument(image.toJsonObject());
    }
    emit queryDone(115, appid, answer, rc);
    return rc;
}

XrfErrorInfo::XrfError DatabaseManager::deleteImageFiles(QString testIdList)
{
    QSqlQuery q(m_openHandle);
    const QString statement = QStringLiteral("SELECT fileName FROM ") + XrfTables::imageResult
            + QStringLiteral(" where testId in (") + testIdList + QStringLiteral(");");
    if (!q.exec(statement)) {
        qDebug() << "SQL Query " << statement << " failed with error code " << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    while (q.next()) {
        const QString path = imagePath(q.value(0).toString());
        if (path.isEmpty() || !QFile::remove(path))
            qDebug() << "Image File " << path << " not found.";
    }
    return XrfErrorInfo::NoError;
}

// --- Test info ---------------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::editTestInfo(QJsonArray testInfo, int testId, int id)
{
    QList<QJsonObject> stored;
    readRows(workingHandle(), testInfoTable(), testId, &stored, QStringLiteral(" order by id asc"));
    for (const QJsonValue &element : testInfo) {
        if (!element.isObject())
            continue;
        const QString label = element.toObject().value(QStringLiteral("label")).toString();
        const QString info = element.toObject().value(QStringLiteral("info")).toString();
        bool known = false;
        for (const QJsonObject &entry : stored)
            known = known || entry.value(QStringLiteral("key")).toString() == label;
        const QString statement = known ? QStringLiteral("UPDATE ") + XrfTables::testInfo
                        + QStringLiteral(" SET info=") + sqlQuote(info)
                        + QStringLiteral(" WHERE testId=") + sqlQuote(QString::number(testId))
                        + QStringLiteral(" AND label=") + sqlQuote(label) + QStringLiteral(";")
                                        : QStringLiteral("INSERT into ") + XrfTables::testInfo
                        + QStringLiteral(" (testId,label,info) VALUES(")
                        + QStringLiteral("%1,%2,%3);")
                                  .arg(QString::number(testId), sqlQuote(label), sqlQuote(info));
        QSqlDatabase db = workingHandle();
        db.transaction();
        execInsDelQuery(statement);
        db.commit();
        closeConnection(db);
        if (!known)
            stored.append(QJsonObject { { QStringLiteral("key"), label } });
    }
    XrfString answer;
    answer.setXrfString(QStringLiteral("Success"));
    emit queryDone(604, id, QJsonDocument(answer.toJsonObject()), XrfErrorInfo::NoError);
    return XrfErrorInfo::NoError;
}

// --- Deletion (to come) ------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsByDate(QString dateList, QString tidList,
                                                               int id)
{
    Q_UNUSED(dateList);
    Q_UNUSED(tidList);
    answerNotImplemented(103, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsByTestIds(QString testIds, int id)
{
    Q_UNUSED(testIds);
    answerNotImplemented(102, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsWithOption(XrfExportParam param, int id)
{
    Q_UNUSED(param);
    answerNotImplemented(id, id);
    return XrfErrorInfo::NotImplemented;
}
