// Insertion of a result's rows, its names rows and its images.
//
// Every row of a result is written by one ResultWriter inside the caller's
// transaction, in a fixed order; the first failing step ends the insertion,
// and the caller rolls back (and moves the images back with
// restoreMovedImages()), so a result is stored whole or not at all.
//
// Every changing text statement goes through execStatement(), which logs a
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
#include <QSqlError>
#include <QSqlQuery>

#include "exchangefiles.h"
#include "xrfkorviresult.h"
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

QString quotedInsert(const QString &table, const QStringList &columns, const QStringList &values)
{
    QStringList quoted;
    for (const QString &v : values)
        quoted << sqlQuote(v);
    return QStringLiteral("INSERT into ") + table + QStringLiteral(" (")
            + columns.join(QLatin1Char(',')) + QStringLiteral(") VALUES(")
            + quoted.join(QLatin1Char(',')) + QStringLiteral(");");
}

QString RowTable::insertStatement(const QStringList &values) const
{
    return quotedInsert(table, keyColumns + columns, values);
}

namespace {

    RowTable checkedRow(const QString &table, const QStringList &keys, const QStringList &columns)
    {
        checkAgainstSchema(table, keys + columns);
        return RowTable { table, keys, columns };
    }

    const QStringList byTest { QStringLiteral("testId") };

} // namespace

const RowTable &analysisRow()
{
    static const RowTable t = checkedRow(
            XrfTables::analysisResult, {},
            { "testDateTime", "statusId", "final", "testType", "methodId", "methodFamilyName",
              "methodDispName", "collimated", "dailyId", "userId", "tidName", "testErrorInfo" });
    return t;
}

const RowTable &summaryRow()
{
    static const RowTable t = checkedRow(XrfTables::analysisResult, byTest,
                                         { "testDateTime", "dailyId", "tidName" });
    return t;
}

const RowTable &locationRow()
{
    static const RowTable t
            = checkedRow(XrfTables::location, byTest, { "latitude", "longitude", "elevation" });
    return t;
}

const RowTable &rohsRow()
{
    static const RowTable t
            = checkedRow(XrfTables::rohsResult, byTest,
                         { "rohsClassification", "rohsActionLevel", "rohsActionLevelName" });
    return t;
}

const RowTable &spectrumRow()
{
    static const RowTable t = checkedRow(XrfTables::spectrum, byTest,
                                         { "exposureNumber",
                                           "totalExposureNumber",
                                           "energySlope",
                                           "energyOffset",
                                           "liveTime",
                                           "liveTimeFromHardware",
                                           "resetTime",
                                           "fastCounts",
                                           "probeSerialNumber",
                                           "firstRate",
                                           "lastRate",
                                           "realTime",
                                           "vacuumPressure",
                                           "ambientPressure",
                                           "probeTemperature",
                                           "tubeCurrentSet",
                                           "tubeCurrentMonitor",
                                           "tubeVoltageSet",
                                           "tubeVoltageMonitor",
                                           "ltMultiplier",
                                           "colMultiplier",
                                           "filterPosition",
                                           "pileups",
                                           "clipBottom",
                                           "clipTop",
                                           "topResets",
                                           "stepIndex",
                                           "stepTotal",
                                           "data" });
    return t;
}

const RowTable &filterRow()
{
    static const RowTable t = checkedRow(XrfTables::filterProps, {},
                                         { "material", "thickness", "diameter", "hasCollimator" });
    return t;
}

const RowTable &regressionRow()
{
    static const RowTable t = checkedRow(XrfTables::regressionInfo, byTest, { "historicalTestId" });
    return t;
}

const RowTable &calCheckRow()
{
    static const RowTable t = checkedRow(XrfTables::calCheckResult, byTest,
                                         { "rate", "resolution", "peak1", "peak2", "offset",
                                           "slope", "errorCode", "restandardizeType" });
    return t;
}

const RowTable &repeatRow()
{
    static const RowTable t
            = checkedRow(XrfTables::repeatInfo, byTest, { "repeatId", "repeatCount" });
    return t;
}

const RowTable &platingRow()
{
    static const RowTable t = checkedRow(XrfTables::plating, byTest, { "auPlating" });
    return t;
}

const RowTable &averagedRow()
{
    static const RowTable t
            = checkedRow(XrfTables::averagedResultInfo, { "averagedTestId" }, { "testId" });
    return t;
}

const RowTable &imageRow()
{
    static const RowTable t = checkedRow(XrfTables::imageResult, byTest,
                                         { "fileName", "imageType", "cropAreaTop", "cropAreaLeft",
                                           "cropAreaWidth", "cropAreaHeight", "collimatorSpotX",
                                           "collimatorSpotY", "imageHasCircle" });
    return t;
}

const RowTable &namesRow()
{
    static const RowTable t = checkedRow(XrfTables::resultNames, byTest, { "type", "name" });
    return t;
}

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

namespace InsDelQueries {

XrfErrorInfo::XrfError execStatement(QSqlDatabase db, const QString &statement)
{
    QSqlQuery q(db);
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

int latestTestId(QSqlDatabase db)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
               + QStringLiteral(" ORDER BY testId DESC LIMIT 1;"))
        && q.next())
        return q.value(0).toInt();
    return 0;
}

QString storedImagePath(const QString &imageFolder, const QString &name)
{
    const QString folder = QDir::cleanPath(QFileInfo(imageFolder).absoluteFilePath());
    const QString path = QDir::cleanPath(folder + QLatin1Char('/') + name);
    return path.startsWith(folder + QLatin1Char('/')) ? path : QString();
}

} // namespace InsDelQueries

// --- One whole result ----------------------------------------------------------

ResultWriter::ResultWriter(const QSqlDatabase &db, const QString &imageFolder, const QString &user)
    : m_db(db), m_imageFolder(imageFolder), m_user(user)
{
}

XrfErrorInfo::XrfError ResultWriter::exec(const QString &statement)
{
    return execStatement(m_db, statement);
}

XrfErrorInfo::XrfError ResultWriter::insertRow(const QString &table, const QStringList &columns,
                                               const QStringList &values)
{
    const QString key = table + QLatin1Char(' ') + columns.join(QLatin1Char(','));
    auto it = m_inserts.find(key);
    if (it == m_inserts.end()) {
        QSqlQuery q(m_db);
        QStringList marks;
        for (int i = 0; i < columns.size(); ++i)
            marks << QStringLiteral("?");
        q.prepare(QStringLiteral("INSERT into ") + table + QStringLiteral(" (")
                  + key.mid(table.size() + 1) + QStringLiteral(") VALUES(")
                  + marks.join(QLatin1Char(',')) + QStringLiteral(")"));
        it = m_inserts.insert(key, q);
    }
    QSqlQuery &q = it.value();
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i).isNull() ? QStringLiteral("") : values.at(i));
    const bool ok = q.exec();
    if (!ok) {
        qDebug() << "Failed Query is " << q.lastQuery() << "with" << values;
        qDebug() << "SQL error is " << q.lastError().text();
    }
    q.finish();
    return ok ? XrfErrorInfo::NoError : XrfErrorInfo::DbQueryFailed;
}

XrfErrorInfo::XrfError ResultWriter::insertRow(const RowTable &row, const QStringList &values)
{
    return insertRow(row.table, row.keyColumns + row.columns, values);
}

TextExec ResultWriter::textExec()
{
    return [this](const QString &statement) { return exec(statement); };
}

QString ResultWriter::whyNotStorable(const XrfKorviResult &result)
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

XrfErrorInfo::XrfError ResultWriter::insert(XrfKorviResult &result, int *testId, bool newTestId)
{
    QElapsedTimer clock;
    clock.start();
    qDebug() << "**** Starting the insertion of an XrfKorviResult to the database.";
    m_lastTestId = latestTestId(m_db);

    XrfAnalysisResult &analysis = result.analysis();
    const QString type = analysis.testType();
    XrfErrorInfo::XrfError rc = newTestId ? insertAnalysis(analysis, testId)
                                          : insertImportedAnalysis(analysis, testId);
    XrfUtils::crashPoint("after-analysis-row");
    const int id = *testId;
    QSqlDatabase db = m_db;
    const TextExec exec = textExec();
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
    if (rc == XrfErrorInfo::NoError && !result.images().isEmpty())
        rc = insertImages(id, result);
    step(type == QLatin1String("REPEAT"), [&] {
        return insertRepeatInfo(id, analysis.repeatTestIndex(), analysis.repeatTestTotal());
    });
    step(!result.gradeMatch().isEmpty(), [&] { return insertGradeMatch(id, result.gradeMatch()); });
    step(!result.gradeMatch().isEmpty(),
         [&] { return insertGradeMatchSpec(id, result.gradeMatch()); });
    step(analysis.auPlatingEnum() != -1,
         [&] { return insertPlating(analysis.auPlatingEnum(), id); });
    for (const XrfAverageInfo &source : result.avgOfTestsInfo())
        step(true, [&] { return insertAverageInfo(id, source.testId()); });

    qInfo() << "**** Completed inserting a result to the database in " << clock.elapsed()
            << " msec. Primary key for record is " << *testId;
    return rc;
}

XrfErrorInfo::XrfError ResultWriter::insertAnalysisRow(XrfAnalysisResult &analysis, int *testId,
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
        values << m_user;
    values << analysis.tidName() << analysis.testErrorInfo();
    QStringList columns = analysisRow().columns;
    if (!withUser)
        columns.removeOne(QStringLiteral("userId"));
    const XrfErrorInfo::XrfError rc = insertRow(XrfTables::analysisResult, columns, values);
    if (rc != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    *testId = m_lastTestId + 1;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertAnalysis(XrfAnalysisResult &analysis, int *testId)
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

XrfErrorInfo::XrfError ResultWriter::insertImportedAnalysis(XrfAnalysisResult &analysis,
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

XrfErrorInfo::XrfError ResultWriter::insertRohsResult(XrfAnalysisResult &analysis, int testId)
{
    if (analysis.rohsClassificationEnum() == -1)
        return XrfErrorInfo::NoError;
    return insertRow(rohsRow(),
                     { QString::number(testId), QString::number(analysis.rohsClassificationEnum()),
                       QString::number(analysis.rohsActionLevelEnum()),
                       analysis.rohsActionLevelName() });
}

XrfErrorInfo::XrfError ResultWriter::insertSpectrum(const XrfSpectrum &spectrum, int testId)
{
    int filterId = 0;
    findOrInsertFilterProps(spectrum.filter(), &filterId);
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
        QString::number(spectrum.stepTotal()),
        QStringLiteral("0x") + QString::fromLatin1(spectrum.binaryData().toHex()),
    };
    return insertRow(spectrumRow(), values);
}

XrfErrorInfo::XrfError ResultWriter::findOrInsertFilterProps(const XrfFilterProperties &filter,
                                                             int *id)
{
    const RowTable &row = filterRow();
    const QStringList values { QString::number(filter.materialAtomicNumber()),
                               QString::number(filter.thicknessInMicrons()),
                               QString::number(filter.diameterInMicrons()),
                               QString::number(filter.hasCollimator() ? 1 : 0) };
    QStringList matches;
    for (int i = 0; i < row.columns.size(); ++i)
        matches << row.columns.at(i) + QStringLiteral(" = ") + sqlQuote(values.at(i));
    const QString select = QStringLiteral("SELECT id FROM ") + row.table + QStringLiteral(" WHERE ")
            + matches.join(QStringLiteral(" AND ")) + QLatin1Char(';');
    QSqlDatabase db = m_db;
    for (int attempt = 0; attempt < 2; ++attempt) {
        QSqlQuery q(db);
        if (q.exec(select) && q.next()) {
            *id = q.value(0).toInt();
            return XrfErrorInfo::NoError;
        }
        if (attempt == 0)
            insertRow(row, values);
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertRegressionInfo(int *testId, int historicalTestId)
{
    return insertRow(regressionRow(),
                     { QString::number(*testId), QString::number(historicalTestId) });
}

XrfErrorInfo::XrfError ResultWriter::insertCalCheck(XrfCalCheckResult *calCheck, int testId)
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
    return insertRow(calCheckRow(), values);
}

XrfErrorInfo::XrfError ResultWriter::insertRepeatInfo(int testId, int repeatIndex, int repeatTotal)
{
    return insertRow(repeatRow(),
                     { QString::number(testId), QString::number(repeatIndex),
                       QString::number(repeatTotal) });
}

XrfErrorInfo::XrfError ResultWriter::insertGradeMatch(int testId,
                                                      const QList<XrfGradeMatch> &grades)
{
    return insertRows(m_db, gradeMatchTable(), grades, testId, textExec());
}

XrfErrorInfo::XrfError ResultWriter::insertGradeMatchSpec(int testId,
                                                          const QList<XrfGradeMatch> &grades)
{
    for (const XrfGradeMatch &grade : grades) {
        const XrfErrorInfo::XrfError rc = insertRows(m_db, gradeMatchSpecTable(), grade.gradeSpec(),
                                                     testId, textExec(), { grade.gradeName() });
        if (rc != XrfErrorInfo::NoError)
            return rc;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertPlating(int auPlating, int testId)
{
    return insertRow(platingRow(), { QString::number(testId), QString::number(auPlating) });
}

XrfErrorInfo::XrfError ResultWriter::insertAverageInfo(int averagedTestId, int sourceTestId)
{
    return insertRow(averagedRow(),
                     { QString::number(averagedTestId), QString::number(sourceTestId) });
}

XrfErrorInfo::XrfError ResultWriter::insertLocation(double latitude, double longitude,
                                                    double elevation, int testId)
{
    return insertRow(locationRow(),
                     { QString::number(testId), g17(latitude), g17(longitude), g17(elevation) });
}

// --- Names rows ------------------------------------------------------------------

XrfErrorInfo::XrfError ResultWriter::insertNamesResult(XrfKorviResult &result, int testId)
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
        const XrfErrorInfo::XrfError rc = insertRow(
                namesRow(), { QString::number(testId), QString::number(row.type), row.text });
        if (rc != XrfErrorInfo::NoError)
            return XrfErrorInfo::DbQueryFailed;
    }
    return XrfErrorInfo::NoError;
}

// --- Images ------------------------------------------------------------------------

QString ResultWriter::storedImageName(const QString &tidName, const QDateTime &testDateTime,
                                      int number)
{
    const QDateTime when = testDateTime.toUTC();
    const QString testDate = when.toString(QStringLiteral("yyyy-MM-dd"));
    // Unique to the result (its UTC time to the millisecond) and safe on any
    // card; a re-insertion after a kill finds its own target again.
    const QString suffix = QStringLiteral("-%1-%2.jpeg")
                                   .arg(when.toString(QStringLiteral("hhmmsszzz")))
                                   .arg(number);
    const QString prefix = QStringLiteral("img-") + testDate + QLatin1Char('-');
    return testDate + QLatin1Char('/') + prefix
            + XrfUtils::safeFileNamePart(tidName,
                                         255 - prefix.toUtf8().size() - suffix.toUtf8().size())
            + suffix;
}

bool ResultWriter::isNamedByRow(const QString &name)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT 1 FROM ") + XrfTables::imageResult
              + QStringLiteral(" WHERE fileName = ? LIMIT 1"));
    q.addBindValue(name);
    // Not knowing counts as named: never hand out another result's name.
    return !q.exec() || q.next();
}

XrfErrorInfo::XrfError ResultWriter::insertImages(int testId, XrfKorviResult &result)
{
    const XrfAnalysisResult &analysis = result.analysis();
    const bool numbered = m_imageNumbers.size() == result.images().size();
    QList<XrfImageInfo> kept;
    int index = 0;
    for (XrfImageInfo image : result.images()) {
        const int number = numbered ? m_imageNumbers.at(index) : index + 1;
        ++index;
        bool recorded = false;
        const XrfErrorInfo::XrfError rc = insertImageInfo(
                testId, &image, analysis.tidName(), analysis.testDateTime(), number, &recorded);
        if (rc != XrfErrorInfo::NoError)
            return rc;
        if (recorded)
            kept << image;
    }
    result.images() = kept;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertImageInfo(int testId, XrfImageInfo *image,
                                                     const QString &tidName,
                                                     const QDateTime &testDateTime, int number,
                                                     bool *recorded)
{
    *recorded = false;
    const QString folder = QDir::cleanPath(QFileInfo(m_imageFolder).absoluteFilePath());
    const QString testDate = testDateTime.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
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
    QString stored = storedImageName(tidName, testDateTime, number);
    QString target = folder + QLatin1Char('/') + stored;

    if (source == target || !QFileInfo(source).isFile()) {
        // Stored once already (the source was moved then): record the target.
        if (!QFileInfo(target).isFile()) {
            ++m_missingPictures;
            if (m_missingPictureSkipped) {
                qWarning() << "The picture" << named << "of" << tidName
                           << "is not there; it is not recorded";
                return XrfErrorInfo::NoError;
            }
            // Stored short of a picture it names, the result would lose it
            // for good; it waits, and is set aside when it never comes.
            qWarning() << "The picture" << named << "of" << tidName
                       << "is not in the image store; the result is not stored";
            m_failureNotice = QStringLiteral("Picture %1 is missing.").arg(named);
            return XrfErrorInfo::FileAccessFailed;
        }
    } else if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
        if (ExchangeFiles::sameContent(source, target)) {
            // A copy of the picture that an earlier, cut-off run stored.
            m_redundantImages << source;
        } else {
            // The name is another picture's (an older card's naming, or two
            // names that are the same once made safe): this one gets its own.
            stored = ExchangeFiles::freeImageName(
                    folder, stored, [this](const QString &name) { return isNamedByRow(name); });
            target = folder + QLatin1Char('/') + stored;
        }
    }
    if (QFileInfo(source).isFile() && !QFileInfo::exists(target)) {
        const QString targetFolder = QFileInfo(target).absolutePath();
        if (!QFileInfo::exists(targetFolder)) {
            if (!QDir().mkpath(targetFolder)) {
                qWarning() << "Cannot make the picture folder" << targetFolder;
                m_failureNotice
                        = QStringLiteral("Picture folder %1 cannot be made.").arg(targetFolder);
                return XrfErrorInfo::FileCreateFailed;
            }
            m_createdImageFolders.append(targetFolder);
        }
        if (!QFile::rename(source, target)) {
            qWarning() << "Failed to rename image file: " << source << " -> " << target;
            m_failureNotice = QStringLiteral("Picture %1 cannot be stored.").arg(named);
            return XrfErrorInfo::FileCreateFailed;
        }
        m_movedImages.append({ source, target });
    }
    m_recordedImages.append(target);
    image->setName(stored);

    QStringList values { QString::number(testId), stored,
                         image->type() != 0 ? QStringLiteral("MACRO") : QStringLiteral("INLINE") };
    for (double v : { image->cropAreaTop(), image->cropAreaLeft(), image->cropAreaWidth(),
                      image->cropAreaHeight(), image->collimatorSpotX(), image->collimatorSpotY() })
        values << g6(v);
    values << QString::number(image->imageHasCircle() ? 1 : 0);
    const XrfErrorInfo::XrfError rc = insertRow(imageRow(), values);
    if (rc != XrfErrorInfo::NoError) {
        m_failureNotice = QStringLiteral("Failed to insert image result.");
        return XrfErrorInfo::DbQueryFailed;
    }
    *recorded = true;
    return XrfErrorInfo::NoError;
}

QSet<QString> ResultWriter::movedImageFolders() const
{
    QSet<QString> folders;
    for (const QString &created : qAsConst(m_createdImageFolders))
        folders.insert(QFileInfo(created).absolutePath());
    for (const auto &moved : qAsConst(m_movedImages)) {
        folders.insert(QFileInfo(moved.first).absolutePath());
        folders.insert(QFileInfo(moved.second).absolutePath());
    }
    // Whoever made the day folder and the store (a camera, say) may not have
    // synced their entries; a row must not outlive the path to its picture.
    if (!m_recordedImages.isEmpty()) {
        const QString store = QDir::cleanPath(QFileInfo(m_imageFolder).absoluteFilePath());
        folders << store << QFileInfo(store).absolutePath();
        for (const QString &image : qAsConst(m_recordedImages))
            folders.insert(QFileInfo(image).absolutePath());
    }
    return folders;
}

bool ResultWriter::syncMovedImageFolders()
{
    const QSet<QString> folders = movedImageFolders();
    m_createdImageFolders.clear();
    bool ok = true;
    // A camera that never synced its file would leave a stored row naming
    // an empty picture after a power cut.
    for (const QString &image : qAsConst(m_recordedImages))
        ok = XrfUtils::syncFile(image) && ok;
    m_recordedImages.clear();
    for (const QString &folder : qAsConst(folders))
        ok = XrfUtils::syncFolder(folder) && ok;
    return ok;
}

void ResultWriter::restoreMovedImages()
{
    m_createdImageFolders.clear();
    m_redundantImages.clear();
    for (auto it = m_movedImages.crbegin(); it != m_movedImages.crend(); ++it) {
        if (!QFile::rename(it->second, it->first))
            qWarning() << "Could not move image" << it->second << "back to" << it->first;
    }
    m_movedImages.clear();
}

void ResultWriter::keepMovedImages()
{
    m_createdImageFolders.clear();
    m_movedImages.clear();
    // Copies of pictures stored already go only once the rows are in.
    for (const QString &copy : qAsConst(m_redundantImages))
        QFile::remove(copy);
    m_redundantImages.clear();
}
