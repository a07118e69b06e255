#ifndef RESULTBINDING_H
#define RESULTBINDING_H

// How the parts of a result meet the columns of their tables: a RowTable
// names the columns of a one-row part, a ListTable binds each column of a
// list-shaped part to a getter (what is written) and a setter (how a read
// value is put back), so the insert and select statements of a part are
// made from one description and writing and reading cannot drift apart.
//
// Invariants: every column a description names is checked against the
// schema description (resultschema) when the description is first made; a
// missing one stops the program, since every statement would fail. Measured
// values are bound as single precision, as the model holds them.

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
#include "sqltext.h"
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

namespace ResultBinding {
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

    // "INSERT into t (testId,keys,columns) VALUES (?, …)".
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
        return head + QStringLiteral(" (") + marks.join(QStringLiteral(", ")) + QLatin1Char(')');
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
        return QVariant(SqlText::nonFiniteText(v));
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

// Writes the items under testId: one batch of typed values, or (TextPerRow)
// one row at a time with every value bound as its text, stopping at the
// first failure. Extra leading values (after testId) come from `prefix` for
// tables keyed by a parent, such as the element limits of a matched grade.
template<class Item>
XrfErrorInfo::XrfError insertRows(SqlText::StatementCache &statements, const ListTable<Item> &t,
                                  const QList<Item> &items, int testId,
                                  const QVariantList &prefix = {})
{
    if (items.isEmpty())
        return XrfErrorInfo::NoError;
    const QString statement = t.insertStatement();
    if (t.form == ListTable<Item>::TextPerRow) {
        QSqlQuery *prepared = statements.prepared(statement);
        if (!prepared)
            return XrfErrorInfo::DbQueryFailed;
        QSqlQuery &q = *prepared;
        // A null text would be bound as NULL; the columns hold '' for none.
        const auto text = [](const QVariant &v) {
            const QString s = v.toString();
            return s.isNull() ? QStringLiteral("") : s;
        };
        for (const Item &item : items) {
            int at = 0;
            q.bindValue(at++, QString::number(testId));
            for (const QVariant &p : prefix)
                q.bindValue(at++, text(p));
            for (const Column<Item> &c : t.columns)
                q.bindValue(at++, text(c.get(item)));
            const bool ok = q.exec();
            if (!ok)
                qDebug() << "Failed Query is" << q.lastQuery() << "-" << q.lastError().text();
            q.finish();
            if (!ok)
                return XrfErrorInfo::DbQueryFailed;
        }
        return XrfErrorInfo::NoError;
    }
    QSqlQuery *prepared = statements.prepared(statement);
    if (!prepared)
        return XrfErrorInfo::DbQueryFailed;
    QSqlQuery &q = *prepared;
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
    const bool ok = q.execBatch();
    if (!ok)
        qDebug() << t.failureMessage << q.lastError().text();
    q.finish();
    if (!ok)
        return XrfErrorInfo::DbQueryFailed;
    return XrfErrorInfo::NoError;
}

// Reads the rows of a query executed on t's readColumns() into new items,
// appended to *items in the order of the query.
template<class Query, class Item>
void takeRows(Query &q, const ListTable<Item> &t, QList<Item> *items)
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

// Why the result could never be stored (every try would fail the same way),
// or empty.
QString whyNotStorable(const XrfKorviResult &result);

} // namespace ResultBinding

#endif // RESULTBINDING_H
