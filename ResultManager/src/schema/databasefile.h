#ifndef DATABASEFILE_H
#define DATABASEFILE_H

// The results database file of a data folder ("<data>/db/<serial>.sqlite")
// brought to where the library can use it: made when new, its schema read
// before anything writes, upgraded when older, its indices and pragmas set.
//
// Invariants: a file SQLite refuses, a newer schema, or an older one that
// cannot be written is left byte for byte as it was and reported with the
// reason; a file marked read-only (or in a folder marked so) is opened for
// reading only, and then never upgraded or written. Tables and device row of
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
    // file has another mode (setting it writes the header every time).
    static void applyPragmas(const QSqlDatabase &db);

private:
    bool createTables(bool setPragmas);
    bool upgrade(Opened *opened);

    QString m_connectionName;
    QString m_folder;
    QString m_fileName;
};

#endif // DATABASEFILE_H
