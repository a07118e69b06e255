#ifndef RESULTSCHEMA_H
#define RESULTSCHEMA_H

// The results database described once: its tables in creation order, each
// column with its definition text exactly as created, the table constraints,
// the indices, the schema version and the numbers the rows carry (names-row
// types, test types).
//
// Invariants: the creation and index scripts are generated from this and are
// the file format, so a definition text never changes by one character; a
// statement names a table through XrfTables and its columns through the
// description, never by a second hand-written list.

#include <QString>
#include <QStringList>
#include <QVector>

namespace XrfTables {
extern const QString userFactorResult;
extern const QString testInfo;
extern const QString spectrum;
extern const QString repeatInfo;
extern const QString regressionInfo;
extern const QString plating;
extern const QString gradeMatchSpec;
extern const QString filterProps;
extern const QString elementResult;
extern const QString compoundResult;
extern const QString calCheckResult;
extern const QString averagedResultInfo;
extern const QString analysisResult;
extern const QString rohsActionLevelResult;
extern const QString gradeMatch;
extern const QString imageResult;
extern const QString resultNames;
extern const QString rohsResult;
extern const QString coatingResult;
extern const QString devInfo;
extern const QString location;
extern const QString pseudoElementResult;
// Where the upgrade to 6.1 keeps the old pseudo-element rows; never written.
extern const QString pseudoElementResultBefore61;
} // namespace XrfTables

namespace ResultSchema {

// The version a file of this schema carries in its device row.
extern const QString version;

struct Column
{
    const char *name;
    const char *definition; // the text after the name in CREATE TABLE
};

struct Table
{
    const QString &name;
    QVector<Column> columns;
    QStringList constraints; // after the columns, in order

    QString createStatement() const;
    bool hasColumn(const char *column) const;
    // The place of a column among `columns`, -1 when it has none of that name.
    int indexOf(const char *column) const;
    // Every column's name, in order: the column list of its statements.
    QString columnNames(const QString &separator = QStringLiteral(",")) const;
};

struct Index
{
    const char *name;
    const QString &table;
    const char *columns;
};

// The 22 tables in creation order.
const QVector<Table> &tables();
// The table of that name; a name not in the schema is a programming error.
const Table &table(const QString &name);
// The 17 indices; made when a file is created, and added when any file is
// opened for writing (an index changes no version).
const QVector<Index> &indices();

// ";"-joined CREATE TABLE / CREATE INDEX statements, IF NOT EXISTS.
QString creationScript();
QString indexScript();

// "SELECT c1,c2 FROM t WHERE testId = ?" and its tail.
QString selectByTestId(const QString &table, const QStringList &columns,
                       const QString &tail = QString());

// The "type" of a resultnames row: which field of the result its text holds.
enum NameType {
    UserFactorName = 1,
    CompoundTemplateName = 2,
    TiTemplateName = 3,
    CoatingConfigName = 4,
    CompoundSuppress100Warning = 5,
    GradeCompareEnable = 6,
    UserFactorNormalizeFactor = 7,
    PseudoElementConfigName = 8,
    LeadPaintActionLevel = 9,
    CoatingDisplayUnit = 10,
    DriftCorrection = 11, // JSON of one spectrum's correction, with its index
    PythonPluginResult = 12,
    DigitalIOStateBefore = 13,
    DigitalIOStateAfter = 14,
    TavirexResult = 15,
    PseudoElementGradeMatchEnable = 16,
    ExpectedSlope = 17,
    ExpectedOffset = 18,
    ExpectedRate = 19,
    ExpectedResolution = 20
};

// analysisresult.testType; text the schema does not know reads as Normal.
enum TestType { Normal = 0, Averaged = 1, Repeat = 2, Regression = 3, CalCheck = 4 };
TestType testType(const QString &text);

} // namespace ResultSchema

#endif // RESULTSCHEMA_H
