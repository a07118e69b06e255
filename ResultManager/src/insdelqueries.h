#ifndef INSDELQUERIES_H
#define INSDELQUERIES_H

// The statements that write and read the list-shaped parts of a result, driven
// by one table description each, so that writing and reading a table cannot
// drift apart: a ListTable names the table, the insert tail, the select list
// and, per column in the order of both lists, how to take the value from an
// item and how to put a read value back.
//
// Values reach SQL bound (batches) or through sqlQuote() (text statements);
// numbers are written by the format helpers below.

#include <QDebug>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVector>

#include <functional>

#include "xrferrorinfo.h"

class XrfActionLevelResult;
class XrfChemistryResult;
class XrfCoatingResult;
class XrfCompoundResult;
class XrfGradeMatch;
class XrfGradeMatchSpec;
class XrfPseudoElementResult;
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

template<class Item>
struct Column
{
    QVariant (*get)(const Item &); // the bound value
    void (*set)(Item &, const QVariant &); // null: written, never read back
};

template<class Item>
struct ListTable
{
    enum Form { Batch, TextPerRow };
    const QString &table;
    QString insertTail; // columns and VALUES, testId first
    QString selectColumns; // the read columns, in the order of `columns`
    bool quotedIdInWhere;
    Form form;
    const char *failureMessage; // batch failures only
    QVector<Column<Item>> columns;
};

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
    const QString statement = QStringLiteral("INSERT into ") + t.table + t.insertTail;
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

// Reads every row of testId (and the extra clause) into new items, appended
// to *items in the order they were written unless the clause orders them.
template<class Item>
XrfErrorInfo::XrfError readRows(QSqlDatabase db, const ListTable<Item> &t, int testId,
                                QList<Item> *items, const QString &extraWhere = QString())
{
    const QString id
            = t.quotedIdInWhere ? sqlQuote(QString::number(testId)) : QString::number(testId);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("select ") + t.selectColumns + QStringLiteral(" from ") + t.table
                + QStringLiteral(" where testId = ") + id
                + (extraWhere.isEmpty() ? QStringLiteral(" order by rowid") : extraWhere)))
        return XrfErrorInfo::DbQueryFailed;
    while (q.next()) {
        Item item;
        int position = 0;
        for (const Column<Item> &c : t.columns) {
            if (c.set)
                c.set(item, q.value(position++));
        }
        items->append(item);
    }
    return XrfErrorInfo::NoError;
}

} // namespace InsDelQueries

#endif // INSDELQUERIES_H
