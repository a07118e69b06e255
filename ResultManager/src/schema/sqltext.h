#ifndef SQLTEXT_H
#define SQLTEXT_H

// SQL as text: literals quoted, numbers written the one way the files hold
// them, changing statements and scripts run with their failures logged, and
// the few one-line questions every room asks.
//
// Invariants: every text value that reaches a statement as text goes
// through sqlQuote() (a NUL spliced in as char(0), since SQLite ends a
// statement at a NUL); a stored image name becomes a path only through
// storedImagePath(), which never leaves the image store.

#include <QDateTime>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include "xrferrorinfo.h"

namespace SqlText {

// A text value as an SQL literal: wrapped in single quotes, each "'" doubled,
// and a NUL character spliced in as char(0), since SQLite ends a statement's
// text at a NUL.
QString sqlQuote(const QString &value);
// The text with each "'" doubled, for statements that add the quotes.
QString escapeQuotes(const QString &value);
// Doubles in the general format with 6 and 17 significant digits; NaN and
// the infinities as "NaN", "Inf" and "-Inf", which read back as themselves
// (SQLite would turn a bound NaN into NULL).
QString sixDigits(double value);
QString seventeenDigits(double value);
QString nonFiniteText(double value);

// Runs a changing text statement; a failing one is logged with the driver's
// text.
XrfErrorInfo::XrfError execStatement(QSqlDatabase db, const QString &statement);
// The highest stored test id, 0 when none is stored (or the query fails).
int latestTestId(QSqlDatabase db);
// The path of a stored image name under imageFolder, or empty when it would
// leave the store.
QString storedImagePath(const QString &imageFolder, const QString &name);
// The stored name of a result's picture: its day, safe name, UTC time to
// the millisecond and place among the result's pictures (from 1); unique to
// the result, safe on any card, and found again by a re-insertion.
QString storedImageName(const QString &tidName, const QDateTime &testDateTime, int number);
// Sets the main database's synchronous level (2 FULL, 3 EXTRA) and reads it
// back: the durability of a commit rests on it, so a level that did not
// take (a statement refused, a build that caps it) is a failure, not a
// silent weaker commit.
bool setSynchronous(QSqlDatabase db, int level);
// Begins a transaction that will write, taking the write lock at once: one
// begun as a read could not write after another program's commit (the file
// changed under it), while this one waits for that program within the
// connection's busy timeout. Ended with QSqlDatabase::commit()/rollback().
bool beginWrite(QSqlDatabase db);
// Runs each ";"-separated statement of a script; false when one failed
// (each failure logged with `failure` and the statement).
bool runScript(QSqlDatabase db, const QString &script, const char *failure);

// The synchronous level at which a commit is durable against a power cut:
// FULL (2) in write-ahead-log mode, EXTRA (3) in the rollback journal's,
// where FULL leaves the journal's deletion unsynced.
int durableLevel(QSqlDatabase db);

// Statements prepared once per connection and kept while it stays open, so
// that an insertion, a lookup or a read is not parsed again each time. Whoever
// closes the connection resets the cache first (a prepared statement must
// not outlive its connection).
class StatementCache
{
public:
    explicit StatementCache(const QSqlDatabase &db = QSqlDatabase()) : m_db(db) { }
    void reset(const QSqlDatabase &db = QSqlDatabase())
    {
        m_queries.clear();
        m_db = db;
    }
    QSqlDatabase database() const { return m_db; }
    // The statement of this text, prepared on first use; null when it cannot
    // be prepared. Bind and exec() it, then finish() it.
    QSqlQuery *prepared(const QString &text);

private:
    QSqlDatabase m_db;
    QHash<QString, QSqlQuery> m_queries;
};

} // namespace SqlText

#endif // SQLTEXT_H
