#include "readonlyconnection.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include "databasefile.h"

ReadOnlyConnection::ReadOnlyConnection(const QString &databaseFile)
{
    static QAtomicInt connections;
    m_name = QStringLiteral("XrfReadOnly%1").arg(connections.fetchAndAddRelaxed(1));
    if (!QFileInfo(databaseFile).isFile()) {
        m_error = QStringLiteral("no results database %1").arg(databaseFile);
        return;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    QString why;
    if (!DatabaseFile::prepareReadOnly(m_db, databaseFile, &why)) {
        m_error = QStringLiteral("cannot read %1: %2").arg(databaseFile, why);
        return;
    }
    if (!m_db.open()) {
        m_error = QStringLiteral("cannot read %1: %2").arg(databaseFile, m_db.lastError().text());
        return;
    }
    // SQLite opens lazily: a file that is no database shows at the first read.
    QSqlQuery probe(m_db);
    if (!probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !probe.next()) {
        m_error = QStringLiteral("cannot read %1: %2").arg(databaseFile, probe.lastError().text());
        return;
    }
    // A reader lives as long as its thread and reads the same pages again
    // and again (a viewer, a queue's lookups); the default cache of 2 MiB
    // holds a few dozen results' spectra. Filled only as pages are read.
    QSqlQuery(m_db).exec(QStringLiteral("PRAGMA cache_size=-16384"));
    m_open = true;
}

ReadOnlyConnection::~ReadOnlyConnection()
{
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::removeDatabase(m_name);
}
