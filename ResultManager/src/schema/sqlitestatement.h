#ifndef SQLITESTATEMENT_H
#define SQLITESTATEMENT_H

// A prepared statement on the connection's own SQLite handle, for the reads
// done for every row of every result: Qt's driver builds a record of fields
// and a cache of values on each execution and hands text over as UTF-16,
// which together cost more than SQLite's own work for such small queries.
// Used like a forward-only QSqlQuery: addBindValue(), exec(), next(),
// value(), finish(); the values are what Qt's driver gives (integers as
// qlonglong, reals as double, text as QString, blobs as QByteArray, NULL as
// a null QString).
//
// Invariant: the statement is finalized before its connection closes; its
// owner is destroyed (or reset) before the connection is, as for QSqlQuery.

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVariant>
#include <QVector>

struct sqlite3;
struct sqlite3_stmt;

class SqliteStatement
{
public:
    SqliteStatement(const QSqlDatabase &db, const QString &text);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    bool isValid() const { return m_statement != nullptr; }
    QString lastQuery() const { return m_text; }
    QSqlError lastError() const { return m_error; }

    void addBindValue(const QVariant &value) { m_binds.append(value); }
    // Binds what was added (then forgets it) and runs to the first row.
    bool exec();
    bool next();
    QVariant value(int column) const;
    // The bytes of a text or blob column of the current row, without a copy
    // into a QString; valid until the next call.
    const char *bytes(int column, int *size) const;
    void finish();

private:
    bool fail(const char *what);

    QString m_text;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_statement = nullptr;
    QVector<QVariant> m_binds;
    QSqlError m_error;
    bool m_hasRow = false;
    bool m_first = false;
    bool m_done = true;
};

#endif // SQLITESTATEMENT_H
