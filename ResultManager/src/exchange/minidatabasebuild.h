#ifndef MINIDATABASEBUILD_H
#define MINIDATABASEBUILD_H

// The outgoing side of the mini database (minidatabase.h merges one in).
// Plain and short-lived: built per request on the worker thread; no signals.

#include <QSqlDatabase>
#include <QString>

#include "minidatabase.h"
#include "work.h"
#include "xrferrorinfo.h"

class MiniDatabaseBuild
{
public:
    using AbortCheck = Work::AbortCheck;
    using Capture = MiniDatabase::Capture;

    // instrumentDataPath ends in "/"; databaseFile is the open file.
    MiniDatabaseBuild(const QSqlDatabase &db, const QString &instrumentDataPath,
                      const QString &databaseFile, AbortCheck aborted);

    // The results after `from` (UTC; empty: all) into "<outFileName>.sqlite",
    // the first captureLimit by date, with copies of their pictures beside
    // it. The folder must be there: it is never made.
    XrfErrorInfo::XrfError build(const QString &from, const QString &outFileName, Capture *capture);

private:
    bool aborted() const;
    XrfErrorInfo::XrfError copyOut(const QString &part, const QString &idList);
    XrfErrorInfo::XrfError copyOut(QSqlDatabase &out, const QString &idList);

    QSqlDatabase m_db;
    QString m_instrumentDataPath;
    QString m_databaseFile;
    AbortCheck m_aborted;
};

#endif // MINIDATABASEBUILD_H
