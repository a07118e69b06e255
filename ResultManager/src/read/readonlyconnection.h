#ifndef READONLYCONNECTION_H
#define READONLYCONNECTION_H

// A connection of its own to a results database file, opened read-only, for
// one thread: the readers a host's threads hold. Qt ties a connection to the
// thread that made it, so each gets a name of its own and is removed again
// with this object (on that thread).
//
// Invariants: the file is never created or written through it (SQLite's
// read-only flag); a file that is missing, or that SQLite refuses, leaves
// it closed with the reason in error(). While the library writes, a reader
// reads the last commit through the write-ahead log and blocks nobody.

#include <QSqlDatabase>
#include <QString>

class ReadOnlyConnection
{
public:
    explicit ReadOnlyConnection(const QString &databaseFile);
    ~ReadOnlyConnection();
    ReadOnlyConnection(const ReadOnlyConnection &) = delete;
    ReadOnlyConnection &operator=(const ReadOnlyConnection &) = delete;

    bool isOpen() const { return m_open; }
    QString error() const { return m_error; }
    QSqlDatabase database() const { return m_db; }

private:
    QString m_name;
    QSqlDatabase m_db;
    QString m_error;
    bool m_open = false;
};

#endif // READONLYCONNECTION_H
