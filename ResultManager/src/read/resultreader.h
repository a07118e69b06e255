#ifndef RESULTREADER_H
#define RESULTREADER_H

// Reads stored results back into the model over one open connection.
//
// Invariants: a result is read inside one read transaction (or inside the
// caller's, when one is open), so it is never seen half-written; statements
// are prepared once and live as long as this object, which must therefore
// not outlive the opening of its connection: whoever closes the connection
// drops the reader first. No signals, no threads: it runs on the thread that
// owns the connection.

#include <QHash>
#include <QSqlDatabase>
#include <QStringList>

#include <functional>

#include "sqlitestatement.h"
#include "work.h"
#include "xrferrorinfo.h"
#include "xrfkorviresult.h"

class ResultReader
{
public:
    using AbortCheck = Work::AbortCheck;

    explicit ResultReader(const QSqlDatabase &db, AbortCheck aborted = AbortCheck());
    ~ResultReader();
    ResultReader(const ResultReader &) = delete;
    ResultReader &operator=(const ResultReader &) = delete;

    QSqlDatabase database() const { return m_db; }

    // The whole result of testId; ResultNotFound when it has no analysis row.
    XrfErrorInfo::XrfError read(int testId, XrfKorviResult *result);
    XrfErrorInfo::XrfError readSpectra(int testId, QList<XrfSpectrum> *spectra);
    // Date-time (local), daily id and name of each of these results.
    XrfErrorInfo::XrfError readAveragedSources(const QStringList &testIds,
                                               QList<XrfAverageInfo> *sources);

private:
    // The statement of this text, prepared on first use on SQLite's own
    // handle (see SqliteStatement); null when it cannot be prepared. Bind
    // values and exec() on the result.
    SqliteStatement *statement(const QString &text);
    SqliteStatement *byTestId(const QString &table, const QStringList &columns, int testId,
                              const QString &tail = QString());
    XrfErrorInfo::XrfError readAnalysis(int testId, XrfKorviResult *result);
    void readFilter(XrfSpectrum *spectrum);
    void readNames(int testId, XrfKorviResult *result);
    void readImages(int testId, XrfKorviResult *result);
    void readCalCheck(int testId, XrfKorviResult *result);
    void readRegression(int testId, XrfKorviResult *result);
    void readLists(int testId, XrfKorviResult *result);

    QSqlDatabase m_db;
    AbortCheck m_aborted;
    QHash<QString, SqliteStatement *> m_statements;
};

#endif // RESULTREADER_H
