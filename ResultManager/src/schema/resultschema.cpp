// The schema description. Each line of a table is one column: its name and
// its definition text as SQLite stores it in sqlite_master. Reordering,
// respacing or retyping a line changes the file format.

#include "resultschema.h"

#include <QHash>

namespace XrfTables {
const QString userFactorResult = QStringLiteral("userfactorresult");
const QString testInfo = QStringLiteral("testinfo");
const QString spectrum = QStringLiteral("spectrum");
const QString repeatInfo = QStringLiteral("repeatinfo");
const QString regressionInfo = QStringLiteral("regressioninfo");
const QString plating = QStringLiteral("plating");
const QString gradeMatchSpec = QStringLiteral("gradematchspec");
const QString filterProps = QStringLiteral("filterprops");
const QString elementResult = QStringLiteral("elementresult");
const QString compoundResult = QStringLiteral("compoundresult");
const QString calCheckResult = QStringLiteral("calcheckresult");
const QString averagedResultInfo = QStringLiteral("averagedresultinfo");
const QString analysisResult = QStringLiteral("analysisresult");
const QString rohsActionLevelResult = QStringLiteral("rohsactionlevelresult");
const QString gradeMatch = QStringLiteral("gradematch");
const QString imageResult = QStringLiteral("imageresult");
const QString resultNames = QStringLiteral("resultnames");
const QString rohsResult = QStringLiteral("rohsresult");
const QString coatingResult = QStringLiteral("coatingresult");
const QString devInfo = QStringLiteral("devinfo");
const QString location = QStringLiteral("location");
const QString pseudoElementResult = QStringLiteral("pseudoelementresult");
const QString pseudoElementResultBefore61 = QStringLiteral("pseudoelementresult_before61");
} // namespace XrfTables

namespace ResultSchema {

const QString version = QStringLiteral("6.3");

namespace {

    QVector<Table> buildTables()
    {
        using namespace XrfTables;
        const QString fk = QStringLiteral("FOREIGN KEY(testId) REFERENCES analysisresult(testId)");
        return {
            { userFactorResult,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "testId", "INTEGER NOT NULL" },
                { "elementName", "VARCHAR NOT NULL" },
                { "factor", "REAL NOT NULL" },
                { "offset", "REAL NOT NULL" },
                { "userEntered", "bool NOT NULL" } },
              { fk } },
            { testInfo,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "testId", "INTEGER" },
                { "label", "TEXT NOT NULL" },
                { "info", "TEXT NOT NULL" } },
              { fk } },
            { spectrum,
              { { "id", "INTEGER PRIMARY KEY  NOT NULL" },
                { "testId", "INTEGER NOT NULL" },
                { "exposureNumber", "INTEGER NOT NULL" },
                { "totalExposureNumber", "Integer NOT NULL" },
                { "energySlope", "REAL NOT NULL" },
                { "energyOffset", "REAL NOT NULL" },
                { "liveTime", "REAL NOT NULL" },
                { "probeSerialNumber", "INTEGER NOT NULL" },
                { "firstRate", "REAL NOT NULL" },
                { "lastRate", "REAL NOT NULL" },
                { "realTime", "REAL NOT NULL" },
                { "vacuumPressure", "INTEGER NOT NULL" },
                { "ambientPressure", "INTEGER NOT NULL" },
                { "probeTemperature", "REAL NOT NULL" },
                { "tubeCurrentSet", "REAL NOT NULL" },
                { "tubeCurrentMonitor", "REAL NOT NULL" },
                { "tubeVoltageSet", "REAL NOT NULL" },
                { "tubeVoltageMonitor", "REAL NOT NULL" },
                { "ltMultiplier", "INTEGER NOT NULL" },
                { "colMultiplier", "INTEGER NOT NULL" },
                { "filterPosition", "INTEGER NOT NULL" },
                { "stepIndex", "INTEGER NOT NULL" },
                { "stepTotal", "INTEGER NOT NULL" },
                { "liveTimeFromHardware", "REAL NOT NULL" },
                { "resetTime", "REAL NOT NULL" },
                { "pileups", "INTEGER NOT NULL" },
                { "clipBottom", "INTEGER NOT NULL" },
                { "clipTop", "INTEGER NOT NULL" },
                { "topResets", "INTEGER NOT NULL" },
                { "fastCounts", "INTEGER NOT NULL" },
                { "data", "BLOB NOT NULL" } },
              { fk } },
            { repeatInfo,
              { { "testId", "INTEGER" }, { "repeatId", "INTEGER" }, { "repeatCount", "INTEGER" } },
              { QStringLiteral("PRIMARY KEY(testId, repeatId)"), fk } },
            { regressionInfo,
              { { "testId", "INTEGER" }, { "historicalTestId", "INTEGER" } },
              { QStringLiteral("PRIMARY KEY(testId, historicalTestId)"), fk } },
            { plating, { { "testId", "INTEGER" }, { "auPlating", "INTEGER" } }, { fk } },
            { gradeMatchSpec,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "testId", "INTEGER NOT NULL" },
                { "gradeName", "TEXT NOT NULL" },
                { "elementName", "TEXT NOT NULL" },
                { "minVal", "REAL NOT NULL" },
                { "maxVal", "NOT NULL" },
                { "matchResult", "TEXT NOT NULL" } },
              { QStringLiteral(
                      "FOREIGN KEY(testId,gradeName) REFERENCES gradematch(testId,gradeName)") } },
            { filterProps,
              { { "id", "integer primary key not null" },
                { "material", "integer not null" },
                { "diameter", "integer not null" },
                { "thickness", "integer not null" },
                { "hasCollimator", "bool not null" } },
              {} },
            { elementResult,
              { { "testId", "INTEGER NOT NULL" },
                { "elementName", "VARCHAR NOT NULL" },
                { "concentration", "REAL NOT NULL" },
                { "error", "REAL NOT NULL" } },
              { fk } },
            { compoundResult,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "testId", "INTEGER NOT NULL" },
                { "elementName", "VARCHAR NOT NULL" },
                { "compoundName", "VARCHAR NOT NULL" },
                { "factor", "REAL NOT NULL" } },
              { fk } },
            { calCheckResult,
              { { "testId", "INTEGER PRIMARY KEY NOT NULL" },
                { "rate", "INTEGER NOT NULL" },
                { "resolution", "INTEGER NOT NULL" },
                { "peak1", "INTEGER" },
                { "peak2", "INTEGER" },
                { "offset", "REAL NOT NULL" },
                { "slope", "REAL NOT NULL" },
                { "errorCode", "INTEGER DEFAULT 0" },
                { "restandardizeType", "DEFAULT NULL" } },
              { fk } },
            { averagedResultInfo,
              { { "id", "INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL" },
                { "averagedTestId", "INTEGER NOT NULL" },
                { "testId", "INTEGER NOT NULL" } },
              { fk } },
            { analysisResult,
              { { "testId", "INTEGER PRIMARY KEY NOT NULL" },
                { "testDateTime", "TEXT NOT NULL" },
                { "statusId", "INTEGER NOT NULL" },
                { "final", "INTEGER" },
                { "testType", "TEXT references testtype NOT NULL DEFAULT 'NORMAL'" },
                { "methodId", "TEXT NOT NULL DEFAULT ''" },
                { "methodFamilyName", "INTEGER DEFAULT -1" },
                { "methodDispName", "TEXT NOT NULL DEFAULT ''" },
                { "collimated", "INTEGER DEFAULT -1" },
                { "dailyId", "INTEGER DEFAULT -1" },
                { "userId", "TEXT DEFAULT ''" },
                { "tidName", "TEXT NOT NULL DEFAULT ''" },
                { "testErrorInfo", "TEXT" } },
              {} },
            { rohsActionLevelResult,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "testId", "INTEGER NOT NULL" },
                { "elementName", "VARCHAR NOT NULL" },
                { "actionLevel", "INTEGER DEFAULT 0" } },
              { fk } },
            { gradeMatch,
              { { "testId", "INTEGER NOT NULL" },
                { "gradeName", "TEXT NOT NULL" },
                { "matchNumber", "REAL NOT NULL" },
                { "matchNSigma", "REAL" },
                { "compGrade", "INTEGER" },
                { "nominalFactor", "REAL" },
                { "passFailCutOff", "REAL" },
                { "passFailNSigma", "REAL" },
                { "passFailShowMatchNumber", "INTEGER" },
                { "matchMessage", "TEXT" } },
              { QStringLiteral("PRIMARY KEY(testId, gradeName,passFailCutOff)"), fk } },
            { imageResult,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "testId", "INTEGER NOT NULL" },
                { "fileName", "VARCHAR NOT NULL" },
                { "imageType", "TEXT references imagetype NOT NULL DEFAULT 'INLINE'" },
                { "cropAreaTop", "REAL" },
                { "cropAreaLeft", "REAL" },
                { "cropAreaWidth", "REAL" },
                { "cropAreaHeight", "REAL" },
                { "collimatorSpotX", "REAL" },
                { "collimatorSpotY", "REAL" },
                { "thumbNail", "BLOB" },
                { "latitude", "REAL" },
                { "longitude", "REAL" },
                { "imageHasCircle", "bool not null" } },
              // Spelled with its own spacing since the first file was made.
              { QStringLiteral("FOREIGN KEY (testId) REFERENCES analysisresult(testId )") } },
            { resultNames,
              { { "testId", "INTEGER" }, { "type", "INTEGER" }, { "name", "TEXT" } },
              { fk } },
            { rohsResult,
              { { "testId", "INTEGER" },
                { "rohsClassification", "INTEGER" },
                { "rohsActionLevel", "INTEGER" },
                { "rohsActionLevelName", "TEXT" } },
              { fk } },
            { coatingResult,
              { { "testId", "INTEGER NOT NULL" },
                { "elementName", "VARCHAR NOT NULL" },
                { "layerOrder", "INTEGER NOT NULL" },
                { "factor", "REAL NOT NULL" },
                { "thickness", "REAL NOT NULL" },
                { "error", "REAL NOT NULL" },
                { "density", "REAL NOT NULL" } },
              { fk } },
            { devInfo,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "dbId", "VARCHAR NOT NULL" },
                { "dbVersion", "VARCHAR NOT NULL" },
                { "devSerialNum", "VARCHAR" },
                { "model", "VARCHAR" },
                { "tubeAnode", "VARCHAR" } },
              {} },
            { location,
              { { "id", "INTEGER PRIMARY KEY NOT NULL" },
                { "testId", "INTEGER NOT NULL" },
                { "latitude", "REAL" },
                { "longitude", "REAL" },
                { "elevation", "REAL" } },
              { fk } },
            { pseudoElementResult,
              { { "testId", "INTEGER NOT NULL" },
                { "elementName", "VARCHAR NOT NULL" },
                { "formula", "VARCHAR NOT NULL" },
                { "notApplicable", "bool not null" },
                { "concentration", "REAL NOT NULL" },
                { "error", "REAL NOT NULL" } },
              { fk } },
        };
    }

} // namespace

QString Table::createStatement() const
{
    QStringList parts;
    for (const Column &c : columns)
        parts << QLatin1String(c.name) + QLatin1Char(' ') + QLatin1String(c.definition);
    parts << constraints;
    return QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2)")
            .arg(name, parts.join(QLatin1String(", ")));
}

bool Table::hasColumn(const char *column) const
{
    return indexOf(column) >= 0;
}

int Table::indexOf(const char *column) const
{
    for (int i = 0; i < columns.size(); ++i)
        if (qstrcmp(columns.at(i).name, column) == 0)
            return i;
    return -1;
}

QString Table::columnNames(const QString &separator) const
{
    QStringList names;
    names.reserve(columns.size());
    for (const Column &c : columns)
        names << QLatin1String(c.name);
    return names.join(separator);
}

const QVector<Table> &tables()
{
    static const QVector<Table> all = buildTables();
    return all;
}

const Table &table(const QString &name)
{
    for (const Table &t : tables())
        if (t.name == name)
            return t;
    qFatal("No table %s in the results schema", qPrintable(name));
}

const QVector<Index> &indices()
{
    using namespace XrfTables;
    static const QVector<Index> all {
        { "elementresultindex", elementResult, "testId,elementName" },
        { "gradematchindex", gradeMatch, "testId,gradeName" },
        { "gradematchspecindex", gradeMatchSpec, "testId,elementName" },
        { "spectrumindex", spectrum, "testId" },
        { "testinfoindex", testInfo, "testId" },
        { "repeatinfoindex", repeatInfo, "testId" },
        { "compoundresultindex", compoundResult, "testId,elementName" },
        { "analysisresultindex", analysisResult, "testId" },
        { "rohsactionlevelresultindex", rohsActionLevelResult, "testId" },
        { "imageresultindex", imageResult, "testId" },
        { "resultnamesindex", resultNames, "testId" },
        { "rohsresultindex", rohsResult, "testId" },
        { "userfactorresultindex", userFactorResult, "testId" },
        { "coatingresultindex", coatingResult, "testId" },
        { "locationindex", location, "testId" },
        { "pseudoelementresultindex", pseudoElementResult, "testId" },
        // The exactly-once lookup finds a stored twin by these, in any
        // number of stored results.
        { "analysisresultkeyindex", analysisResult, "testDateTime,tidName" },
    };
    return all;
}

QString creationScript()
{
    QStringList statements;
    for (const Table &t : tables())
        statements << t.createStatement();
    return statements.join(QLatin1Char(';'));
}

QString indexScript()
{
    QStringList statements;
    for (const Index &i : indices())
        statements << QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (%3)")
                              .arg(QLatin1String(i.name), i.table, QLatin1String(i.columns));
    return statements.join(QLatin1Char(';'));
}

QString selectByTestId(const QString &table, const QStringList &columns, const QString &tail)
{
    return QStringLiteral("SELECT ") + columns.join(QLatin1Char(',')) + QStringLiteral(" FROM ")
            + table + QStringLiteral(" WHERE testId = ?") + tail;
}

TestType testType(const QString &text)
{
    static const QHash<QString, TestType> types {
        { QStringLiteral("NORMAL"), Normal },     { QStringLiteral("AVERAGED"), Averaged },
        { QStringLiteral("REPEAT"), Repeat },     { QStringLiteral("REGRESSION"), Regression },
        { QStringLiteral("CALCHECK"), CalCheck },
    };
    return types.value(text, Normal);
}

} // namespace ResultSchema
