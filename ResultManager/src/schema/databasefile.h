#ifndef DATABASEFILE_H
#define DATABASEFILE_H

// The results database file of a data folder ("<data>/db/<serial>.sqlite")
// brought to where the library can use it: made when new, its schema read
// before anything writes, upgraded when older, its indices and pragmas set.
//
// Invariants: a file SQLite refuses, a newer schema, or an older one that
// cannot be written is left byte for byte as it was and reported with the
// reason; a file marked read-only (or in a folder marked so) is opened for
// reading only, and then never upgraded or written. A writable file runs in
// write-ahead-log mode; files made aside (mini databases, copies) do not
// come through here and keep the rollback journal. Tables and device row of
// a new file are made in one transaction. Plain and short-lived: the database
// object builds it for each open, on the worker thread, over the named
// connection that stays open after it.

#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include "xrferrorinfo.h"

class DatabaseFile
{
public:
    struct Opened
    {
        bool readOnly = false;
        // Read-only by the host's choice on a writable card: brought up to
        // date and repaired as by any open, never written after.
        bool readOnlyWanted = false;
        QJsonObject upgrade; // "upgradedFrom", "archivedAs" when the open upgraded
        QString failure; // why the file cannot be used
    };

    // instrumentDataPath ends in "/".
    DatabaseFile(const QString &connectionName, const QString &instrumentDataPath);

    QString folder() const { return m_folder; }
    QString fileName() const { return m_fileName; }
    QString filePath() const { return m_folder + m_fileName; }

    // Adds the connection and opens the file; DbOpenFailed (the connection
    // removed again, *opened saying why) when it cannot be used.
    XrfErrorInfo::XrfError open(Opened *opened);

    // The pragmas every writable connection runs; auto_vacuum only where the
    // file has another mode (setting it writes the header every time), and
    // the synchronous level at which a commit survives a power cut.
    static void applyPragmas(const QSqlDatabase &db);

    // Points `db` at `file` for reading only. A file this process cannot
    // write (or in a folder it cannot) is read as immutable, since SQLite
    // could not make the shared-memory file a write-ahead log needs; then a
    // non-empty log or hot journal beside it holds commits the file lacks,
    // and it is refused (false, *why naming it) rather than read without them.
    static bool prepareReadOnly(QSqlDatabase &db, const QString &file, QString *why);
    // Whether this process reads `file` as immutable (see above).
    static bool readsImmutable(const QString &file);
    // The URI that opens `file` for reading only (or as immutable).
    static QString readOnlyUri(const QString &file, bool immutable);
    // Whether this process opens an existing file for reading only, though
    // it could write it (XrfResultManager::setReadOnly).
    static void setReadOnlyWanted(bool readOnly);

private:
    static bool enterWriteAheadLog(const QSqlDatabase &db);
    bool createTables(bool setPragmas);
    bool upgrade(Opened *opened);

    QString m_connectionName;
    QString m_folder;
    QString m_fileName;
};

#endif // DATABASEFILE_H
