#include "sqlitestatement.h"

#include <QSqlDriver>

#include <sqlite3.h>

namespace {

sqlite3 *handleOf(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
        return *static_cast<sqlite3 *const *>(handle.constData());
    return nullptr;
}

} // namespace

SqliteStatement::SqliteStatement(const QSqlDatabase &db, const QString &text)
    : m_text(text), m_db(handleOf(db))
{
    if (!m_db) {
        m_error = QSqlError(QString(), QStringLiteral("the connection is not an open SQLite one"),
                            QSqlError::ConnectionError);
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    if (sqlite3_prepare_v2(m_db, utf8.constData(), utf8.size() + 1, &m_statement, nullptr)
        != SQLITE_OK) {
        fail("prepare");
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_statement);
}

bool SqliteStatement::fail(const char *what)
{
    m_error = QSqlError(QString::fromUtf8(what), QString::fromUtf8(sqlite3_errmsg(m_db)),
                        QSqlError::StatementError, QString::number(sqlite3_errcode(m_db)));
    return false;
}

bool SqliteStatement::exec()
{
    if (!m_statement) {
        m_binds.clear();
        return false;
    }
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    m_error = QSqlError();
    int rc = SQLITE_OK;
    for (int i = 0; i < m_binds.size() && rc == SQLITE_OK; ++i) {
        const QVariant &v = m_binds.at(i);
        const int at = i + 1;
        if (v.isNull()) {
            rc = sqlite3_bind_null(m_statement, at);
            continue;
        }
        switch (int(v.type())) {
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            rc = sqlite3_bind_int64(m_statement, at, v.toLongLong());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(m_statement, at, v.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray b = v.toByteArray();
            rc = sqlite3_bind_blob(m_statement, at, b.constData(), b.size(), SQLITE_TRANSIENT);
            break;
        }
        default: {
            const QByteArray t = v.toString().toUtf8();
            rc = sqlite3_bind_text(m_statement, at, t.constData(), t.size(), SQLITE_TRANSIENT);
            break;
        }
        }
    }
    m_binds.clear();
    if (rc != SQLITE_OK)
        return fail("bind");
    rc = sqlite3_step(m_statement);
    m_done = rc != SQLITE_ROW;
    m_first = rc == SQLITE_ROW;
    m_hasRow = false;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        fail("step");
        sqlite3_reset(m_statement);
        return false;
    }
    return true;
}

bool SqliteStatement::next()
{
    if (m_first) {
        m_first = false;
        m_hasRow = true;
        return true;
    }
    if (m_done || !m_statement) {
        m_hasRow = false;
        return false;
    }
    const int rc = sqlite3_step(m_statement);
    m_hasRow = rc == SQLITE_ROW;
    m_done = !m_hasRow;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        fail("step");
    return m_hasRow;
}

QVariant SqliteStatement::value(int column) const
{
    if (!m_hasRow)
        return QVariant();
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(m_statement, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(m_statement, column));
    case SQLITE_NULL:
        return QVariant(QVariant::String);
    case SQLITE_BLOB:
        return QVariant(
                QByteArray(static_cast<const char *>(sqlite3_column_blob(m_statement, column)),
                           sqlite3_column_bytes(m_statement, column)));
    default:
        return QVariant(QString::fromUtf8(
                reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column)),
                sqlite3_column_bytes(m_statement, column)));
    }
}

const char *SqliteStatement::bytes(int column, int *size) const
{
    *size = 0;
    if (!m_hasRow)
        return nullptr;
    const char *data = sqlite3_column_type(m_statement, column) == SQLITE_BLOB
            ? static_cast<const char *>(sqlite3_column_blob(m_statement, column))
            : reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
    *size = sqlite3_column_bytes(m_statement, column);
    return data;
}

void SqliteStatement::finish()
{
    // Ends the statement's part in the read transaction, so that the
    // connection sees later commits and a checkpoint is not held up.
    if (m_statement)
        sqlite3_reset(m_statement);
    m_hasRow = false;
    m_first = false;
    m_done = true;
}
