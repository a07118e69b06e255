#ifndef INSDELQUERIES_H
#define INSDELQUERIES_H

// Insertion of whole results and the statements it is made of.
//
// ResultWriter writes one result over an open connection, inside the
// caller's transaction; it renames the result's images into the store and
// remembers what it moved, so that the caller can sync those folders before
// committing or move the images back after a rollback. It knows nothing of
// transactions, the day record or signals.
//
// The list-shaped parts of a result are bound to their tables: a ListTable names
// the table and, per column (named as in the schema), how to take the value
// from an item and how to put a read value back. Insert and select
// statements are made from it, so writing and reading cannot drift apart.
//
// Values reach SQL bound: the one-row parts as text, prepared once per
// writer (a spectrum's channels alone would make a statement of tens of
// kilobytes to parse), the lists in batches or, for the few written per
// row, through sqlQuote(); numbers are written by the format helpers below.

#include <QDateTime>
#include <QDebug>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVector>

#include <functional>

#include "resultschema.h"
#include "xrferrorinfo.h"

class XrfActionLevelResult;
class XrfAnalysisResult;
class XrfCalCheckResult;
class XrfChemistryResult;
class XrfCoatingResult;
class XrfCompoundResult;
class XrfFilterProperties;
class XrfGradeMatch;
class XrfGradeMatchSpec;
class XrfImageInfo;
class XrfKorviResult;
class XrfPseudoElementResult;
class XrfSpectrum;
class XrfUserFactorResult;

namespace InsDelQueries {

// A text value as an SQL literal: wrapped in single quotes, each "'" doubled,
// and a NUL character spliced in as char(0), since SQLite ends a statement's
// text at a NUL.
QString sqlQuote(const QString &value);
// The text with each "'" doubled, for statements that add the quotes.
QString escapeQuotes(const QString &value);
// Doubles in the general format with 6 and 17 significant digits; NaN and
// the infinities as "NaN", "Inf" and "-Inf", which read back as themselves
// (SQLite would turn a bound NaN into NULL).
QString g6(double value);
QString g17(double value);
QString nonFiniteText(double value);

// Runs a changing text statement; a failing one is logged with the driver's
// text.
XrfErrorInfo::XrfError execStatement(QSqlDatabase db, const QString &statement);
// The highest stored test id, 0 when none is stored (or the query fails).
int latestTestId(QSqlDatabase db);
// The path of a stored image name under imageFolder, or empty when it would
// leave the store.
QString storedImagePath(const QString &imageFolder, const QString &name);

template<class Item>
struct Column
{
    const char *name; // as in the schema
    QVariant (*get)(const Item &); // the bound value
    void (*set)(Item &, const QVariant &); // null: written, never read back
};

template<class Item>
struct ListTable
{
    enum Form { Batch, TextPerRow };
    const QString &table;
    QStringList keyColumns; // after testId, valued per call (a parent's key)
    Form form;
    const char *failureMessage; // batch failures only
    QVector<Column<Item>> columns;

    // "INSERT into t (testId,keys,columns) VALUES" with placeholders (Batch)
    // or an open "VALUES(" for the quoted values (TextPerRow).
    QString insertStatement() const
    {
        QStringList names = QStringList { QStringLiteral("testId") } + keyColumns;
        QStringList marks;
        for (const Column<Item> &c : columns)
            names << QLatin1String(c.name);
        for (int i = 0; i < names.size(); ++i)
            marks << QStringLiteral("?");
        const QString head = QStringLiteral("INSERT into ") + table + QStringLiteral(" (")
                + names.join(QLatin1Char(',')) + QStringLiteral(") VALUES");
        return form == TextPerRow
                ? head + QLatin1Char('(')
                : head + QStringLiteral(" (") + marks.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    // The columns read back, in the order of `columns`.
    QStringList readColumns() const
    {
        QStringList names;
        for (const Column<Item> &c : columns)
            if (c.set)
                names << QLatin1String(c.name);
        return names;
    }
};

// Stops the program when a list table names a column the schema lacks: the
// statements would fail on every result.
void checkAgainstSchema(const QString &table, const QStringList &columns);

// A part of a result written as one row per call: the leading key columns
// (written, not read back) and the columns written and read, in the order
// both use.
struct RowTable
{
    const QString &table;
    QStringList keyColumns;
    QStringList columns;

    // "INSERT into t (keys,columns) VALUES(...);" with every value quoted.
    QString insertStatement(const QStringList &values) const;
};

// The same over any subset of a table's columns.
QString quotedInsert(const QString &table, const QStringList &columns, const QStringList &values);

const RowTable &analysisRow(); // keyed by its own testId; userId only for new results
const RowTable &summaryRow(); // read only: how another result is named
const RowTable &locationRow();
const RowTable &rohsRow();
const RowTable &spectrumRow(); // data last
const RowTable &filterRow(); // found by all its columns, keyed by its id
const RowTable &regressionRow();
const RowTable &calCheckRow();
const RowTable &repeatRow();
const RowTable &platingRow();
const RowTable &averagedRow(); // keyed by the averaged result
const RowTable &imageRow();
const RowTable &namesRow();

const ListTable<XrfChemistryResult> &chemistryTable();
const ListTable<XrfPseudoElementResult> &pseudoElementTable();
const ListTable<XrfCoatingResult> &coatingTable();
const ListTable<XrfUserFactorResult> &userFactorTable();
const ListTable<XrfCompoundResult> &compoundTable();
const ListTable<XrfActionLevelResult> &actionLevelTable();
const ListTable<XrfGradeMatch> &gradeMatchTable();
const ListTable<XrfGradeMatchSpec> &gradeMatchSpecTable();
const ListTable<QJsonObject> &testInfoTable();

// Measured values are bound as single precision, as the model holds them.
inline QVariant bound(double v)
{
    if (!qIsFinite(v))
        return QVariant(nonFiniteText(v));
    return QVariant(double(float(v)));
}
inline QVariant bound(float v)
{
    return bound(double(v));
}
inline QVariant bound(int v)
{
    return QVariant(v);
}
inline QVariant bound(bool v)
{
    return QVariant(v);
}
inline QVariant bound(const QString &v)
{
    return QVariant(v);
}

using TextExec = std::function<XrfErrorInfo::XrfError(const QString &)>;

// Writes the items under testId: one batch, or one text statement per item
// through `exec` (stopping at the first failure). Extra leading values (after
// testId) come from `prefix` for tables keyed by a parent, such as the
// element limits of a matched grade.
template<class Item>
XrfErrorInfo::XrfError insertRows(QSqlDatabase db, const ListTable<Item> &t,
                                  const QList<Item> &items, int testId, const TextExec &exec,
                                  const QVariantList &prefix = {})
{
    if (items.isEmpty())
        return XrfErrorInfo::NoError;
    const QString statement = t.insertStatement();
    if (t.form == ListTable<Item>::TextPerRow) {
        for (const Item &item : items) {
            QStringList values { sqlQuote(QString::number(testId)) };
            for (const QVariant &p : prefix)
                values << sqlQuote(p.toString());
            for (const Column<Item> &c : t.columns)
                values << sqlQuote(c.get(item).toString());
            const XrfErrorInfo::XrfError rc
                    = exec(statement + values.join(QLatin1Char(',')) + QStringLiteral(");"));
            if (rc != XrfErrorInfo::NoError)
                return rc;
        }
        return XrfErrorInfo::NoError;
    }
    QSqlQuery q(db);
    q.prepare(statement);
    auto repeated = [&items](const QVariant &value) {
        QVariantList values;
        for (int i = 0; i < items.size(); ++i)
            values << value;
        return values;
    };
    q.addBindValue(repeated(testId));
    for (const QVariant &p : prefix)
        q.addBindValue(repeated(p));
    for (const Column<Item> &c : t.columns) {
        QVariantList values;
        values.reserve(items.size());
        for (const Item &item : items)
            values << c.get(item);
        q.addBindValue(values);
    }
    if (!q.execBatch()) {
        qDebug() << t.failureMessage << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    return XrfErrorInfo::NoError;
}

// Reads the rows of a query executed on t's readColumns() into new items,
// appended to *items in the order of the query.
template<class Item>
void takeRows(QSqlQuery &q, const ListTable<Item> &t, QList<Item> *items)
{
    while (q.next()) {
        Item item;
        int position = 0;
        for (const Column<Item> &c : t.columns) {
            if (c.set)
                c.set(item, q.value(position++));
        }
        items->append(item);
    }
    q.finish();
}

// Reads every row of testId (in the order written unless `tail` orders them).
template<class Item>
XrfErrorInfo::XrfError readRows(QSqlDatabase db, const ListTable<Item> &t, int testId,
                                QList<Item> *items,
                                const QString &tail = QStringLiteral(" order by rowid"))
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(ResultSchema::selectByTestId(t.table, t.readColumns(), tail));
    q.addBindValue(testId);
    if (!q.exec())
        return XrfErrorInfo::DbQueryFailed;
    takeRows(q, t, items);
    return XrfErrorInfo::NoError;
}

} // namespace InsDelQueries

class ResultWriter
{
public:
    // imageFolder is the store the images are renamed into; user is written
    // as the user of new results.
    ResultWriter(const QSqlDatabase &db, const QString &imageFolder, const QString &user);
    ResultWriter(const ResultWriter &) = delete;
    ResultWriter &operator=(const ResultWriter &) = delete;

    // Why the result could never be stored (every try would fail the same
    // way), or empty.
    static QString whyNotStorable(const XrfKorviResult &result);

    // Writes every row of the result; on success *testId is its new test id
    // and the image names in the result are the stored ones. A new result
    // (newTestId) carries the current user; an imported one does not.
    XrfErrorInfo::XrfError insert(XrfKorviResult &result, int *testId, bool newTestId = true);
    // What the user should be told about the failed step, or empty.
    QString failureNotice() const { return m_failureNotice; }

    // The stored name of a result's picture: its day, safe name, UTC time to
    // the millisecond and place among the result's pictures (from 1).
    static QString storedImageName(const QString &tidName, const QDateTime &testDateTime,
                                   int number);
    // A picture the result names that is in neither its source nor its
    // stored place fails the insertion (FileAccessFailed), so the result
    // waits for it; an import instead records the rest and counts it.
    void setMissingPictureSkipped(bool skipped) { m_missingPictureSkipped = skipped; }
    int missingPictures() const { return m_missingPictures; }
    // The places (from 1) of the result's pictures among those it was sent
    // with, when some were left out: the stored names keep them.
    void setImageNumbers(const QList<int> &numbers) { m_imageNumbers = numbers; }
    // The rows of the result's pictures under a stored test id (insert()
    // writes them too); pictures that arrive after their result use it.
    XrfErrorInfo::XrfError insertImages(int testId, XrfKorviResult &result);

    // Syncs the pictures this insertion recorded and the folders that images
    // left, entered or were made in; false when one could not be synced.
    bool syncMovedImageFolders();
    // The folders syncMovedImageFolders() would sync, for a caller that
    // syncs those of many results at once.
    QSet<QString> movedImageFolders() const;
    // After a rollback: moves the images back, newest first.
    void restoreMovedImages();
    // After a commit: the moves stay.
    void keepMovedImages();

private:
    XrfErrorInfo::XrfError exec(const QString &statement);
    // One row of text values, bound to a statement prepared once per writer;
    // the values are stored as their quoted literals would be (a null text
    // as '').
    XrfErrorInfo::XrfError insertRow(const QString &table, const QStringList &columns,
                                     const QStringList &values);
    XrfErrorInfo::XrfError insertRow(const InsDelQueries::RowTable &row, const QStringList &values);
    InsDelQueries::TextExec textExec();
    XrfErrorInfo::XrfError insertAnalysisRow(XrfAnalysisResult &analysis, int *testId,
                                             bool withUser);
    XrfErrorInfo::XrfError insertAnalysis(XrfAnalysisResult &analysis, int *testId);
    XrfErrorInfo::XrfError insertImportedAnalysis(XrfAnalysisResult &analysis, int *testId);
    XrfErrorInfo::XrfError insertNamesResult(XrfKorviResult &result, int testId);
    XrfErrorInfo::XrfError insertRohsResult(XrfAnalysisResult &analysis, int testId);
    XrfErrorInfo::XrfError insertSpectrum(const XrfSpectrum &spectrum, int testId);
    XrfErrorInfo::XrfError findOrInsertFilterProps(const XrfFilterProperties &filter, int *id);
    XrfErrorInfo::XrfError insertRegressionInfo(int *testId, int historicalTestId);
    XrfErrorInfo::XrfError insertCalCheck(XrfCalCheckResult *calCheck, int testId);
    XrfErrorInfo::XrfError insertImageInfo(int testId, XrfImageInfo *image, const QString &tidName,
                                           const QDateTime &testDateTime, int number,
                                           bool *recorded);
    bool isNamedByRow(const QString &name);
    XrfErrorInfo::XrfError insertRepeatInfo(int testId, int repeatIndex, int repeatTotal);
    XrfErrorInfo::XrfError insertGradeMatch(int testId, const QList<XrfGradeMatch> &grades);
    XrfErrorInfo::XrfError insertGradeMatchSpec(int testId, const QList<XrfGradeMatch> &grades);
    XrfErrorInfo::XrfError insertPlating(int auPlating, int testId);
    XrfErrorInfo::XrfError insertAverageInfo(int averagedTestId, int sourceTestId);
    XrfErrorInfo::XrfError insertLocation(double latitude, double longitude, double elevation,
                                          int testId);

    QSqlDatabase m_db;
    QHash<QString, QSqlQuery> m_inserts; // by table and columns
    QString m_imageFolder;
    QString m_user;
    int m_lastTestId = 0;
    QString m_failureNotice;
    QList<QPair<QString, QString>> m_movedImages; // source, target of this insertion
    QStringList m_recordedImages; // every picture a row of this insertion names
    QStringList m_createdImageFolders; // made by this insertion; their parents need a sync
    QStringList m_redundantImages; // copies of pictures stored already; go after the commit
    QList<int> m_imageNumbers;
    bool m_missingPictureSkipped = false;
    int m_missingPictures = 0;
};

#endif // INSDELQUERIES_H
