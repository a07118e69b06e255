#include "resultbinding.h"

#include <QJsonObject>
#include <QSet>

#include "xrfkorviresult.h"

namespace ResultBinding {

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
        quoted << SqlText::sqlQuote(v);
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

QString whyNotStorable(const XrfKorviResult &result)
{
    // Grade matches are keyed by name and cut-off: a second one with the same
    // key would fail the insertion on every try.
    QSet<QString> keys;
    for (const XrfGradeMatch &grade : result.gradeMatch()) {
        const QString key = grade.gradeName() + QChar(0) + bound(grade.passFailCutOff()).toString();
        if (keys.contains(key))
            return QStringLiteral("two grade matches \"%1\" with the same cut-off")
                    .arg(grade.gradeName());
        keys.insert(key);
    }
    return QString();
}

} // namespace ResultBinding
