#include "databasefile.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include "devicerecord.h"
#include "resultschema.h"
#include "schemamigration.h"
#include "sqltext.h"
#include "xrfutils.h"

namespace {
// The cache holds the upper levels of the indices the insertion and the
// exactly-once lookup walk; at the default 2 MiB a card of 50,000 results
// reads them from the file again for every result.
const QStringList pragmas { QStringLiteral("PRAGMA page_size=4096"),
                            QStringLiteral("PRAGMA temp_store=MEMORY"),
                            QStringLiteral("PRAGMA cache_size=-16384"),
                            QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL") };
} // namespace

DatabaseFile::DatabaseFile(const QString &connectionName, const QString &instrumentDataPath)
    : m_connectionName(connectionName), m_folder(instrumentDataPath + QStringLiteral("db/")),
      m_fileName(DeviceRecord::configuredSerial() + QStringLiteral(".sqlite"))
{
}

void DatabaseFile::applyPragmas(const QSqlDatabase &db)
{
    QSqlQuery mode(db);
    const bool incremental = mode.exec(QStringLiteral("PRAGMA auto_vacuum")) && mode.next()
            && mode.value(0).toInt() == 2;
    mode.finish();
    for (const QString &pragma : pragmas)
        if (!(incremental && pragma.contains(QLatin1String("auto_vacuum"))))
            QSqlQuery(db).exec(pragma);
    SqlText::setSynchronous(db, SqlText::durableLevel(db));
}

namespace {
QAtomicInt s_readOnlyWanted;
} // namespace

void DatabaseFile::setReadOnlyWanted(bool readOnly)
{
    s_readOnlyWanted.storeRelease(readOnly ? 1 : 0);
}

bool DatabaseFile::readsImmutable(const QString &file)
{
    const QFileInfo info(file);
    return !XrfUtils::isMarkedWritable(info.absoluteFilePath())
            || !XrfUtils::isMarkedWritable(info.absolutePath());
}

QString DatabaseFile::readOnlyUri(const QString &file, bool immutable)
{
    return QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()).toString(QUrl::FullyEncoded)
            + (immutable ? QStringLiteral("?immutable=1") : QStringLiteral("?mode=ro"));
}

bool DatabaseFile::prepareReadOnly(QSqlDatabase &db, const QString &file, QString *why)
{
    const bool immutable = readsImmutable(file);
    if (immutable) {
        for (const char *suffix : { "-wal", "-journal" }) {
            const QFileInfo side(QFileInfo(file).absoluteFilePath() + QLatin1String(suffix));
            if (side.exists() && side.size() > 0) {
                *why = QStringLiteral("%1 (%2 bytes) lies beside it with changes not yet in "
                                      "the file, and the file is read-only, so they cannot be "
                                      "taken in; both are left as they are")
                               .arg(side.fileName())
                               .arg(side.size());
                return false;
            }
        }
    }
    db.setConnectOptions(
            QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000;QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    db.setDatabaseName(readOnlyUri(file, immutable));
    return true;
}

bool DatabaseFile::enterWriteAheadLog(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("PRAGMA main.journal_mode=WAL")) && q.next()
        && q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0)
        return true;
    // Still durable in the rollback journal (durableLevel follows the mode).
    qWarning() << "The results database stays in its rollback journal:" << q.lastError().text();
    return false;
}

bool DatabaseFile::createTables(bool setPragmas)
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, true);
    if (setPragmas)
        applyPragmas(db);
    // Tables and device row are one transaction: a creation cut off halfway
    // leaves no table, and the next open creates them all.
    db.transaction();
    const bool ok = SqlText::runScript(db, ResultSchema::creationScript(),
                                       "Failed to create a new table with query ");
    DeviceRecord(db).ensure();
    db.commit();
    return ok;
}

// Runs before the indices and pragmas. On failure the file is as it was.
bool DatabaseFile::upgrade(Opened *opened)
{
    SchemaMigration migration(QSqlDatabase::database(m_connectionName, true), filePath(),
                              DeviceRecord::configuredSerial(),
                              SchemaMigration::Program::fromSettings(),
                              [this](bool setPragmas) { return createTables(setPragmas); });
    switch (migration.run(false)) {
    case SchemaMigration::UpToDate:
        // The copy of the last upgrade is kept until a later open finds the
        // file sound.
        if (QFile::remove(SchemaMigration::backupPath(filePath())))
            XrfUtils::syncFolder(m_folder);
        return true;
    case SchemaMigration::Upgraded:
        opened->upgrade.insert(QStringLiteral("upgradedFrom"), migration.storedVersion());
        if (!migration.archivedAs().isEmpty())
            opened->upgrade.insert(QStringLiteral("archivedAs"), migration.archivedAs());
        return true;
    case SchemaMigration::Newer:
    case SchemaMigration::Failed:
        break;
    }
    opened->failure = migration.failure();
    return false;
}

XrfErrorInfo::XrfError DatabaseFile::open(Opened *opened)
{
    *opened = Opened();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    bool folderCreated = false;
    if (!QDir(m_folder).exists()) {
        QDir().mkpath(m_folder);
        folderCreated = true;
    }
    const QString file = filePath();
    const bool fileExisted = QFileInfo::exists(file);
    // A card, folder or file marked read-only is opened for reading only, so
    // that results can still be looked at; storing then fails visibly.
    const bool cardReadOnly = fileExisted
            && (!XrfUtils::isMarkedWritable(file) || !XrfUtils::isMarkedWritable(m_folder));
    // A host that only reads beside a writer uses it as read-only too, on an
    // ordinary connection: SQLite then folds and removes the log when the
    // last connection closes, and only then, so nothing is left beside the
    // file and no writer is held up.
    const bool wanted = fileExisted && !cardReadOnly && s_readOnlyWanted.loadAcquire();
    opened->readOnly = cardReadOnly || wanted;
    if (cardReadOnly) {
        if (!prepareReadOnly(db, file, &opened->failure)) {
            qWarning() << "The results database" << file << "cannot be used:" << opened->failure;
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
            return XrfErrorInfo::DbOpenFailed;
        }
    } else {
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
        db.setDatabaseName(file);
    }

    // SQLite opens lazily: a file that is not a database only shows it at
    // the first read, so read the schema before anything writes to it.
    bool usable = db.open();
    int tableCount = 0;
    if (usable) {
        QSqlQuery probe(db);
        if (probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='table'"))
            && probe.next()) {
            tableCount = probe.value(0).toInt();
        } else {
            usable = false;
            opened->failure = probe.lastError().text();
        }
    } else {
        opened->failure = db.lastError().text();
    }
    if (usable && tableCount > 0 && cardReadOnly) {
        // Upgrading needs to write; an older file is not read as if it were
        // of this schema.
        const QString version = DeviceRecord(db).storedVersion();
        if (version != ResultSchema::version) {
            usable = false;
            opened->failure = QStringLiteral("its schema version is '%1', this software reads "
                                             "%2, and it is read-only, so it cannot be upgraded")
                                      .arg(version, ResultSchema::version);
        }
    } else if (usable && tableCount > 0 && !folderCreated && fileExisted) {
        usable = upgrade(opened);
    }

    if (!usable) {
        qInfo() << "Failed to open SQL Database at location " << file;
        qInfo() << "Sql error when opening the database is " << opened->failure;
        qWarning() << "The results database" << file << "cannot be used:" << opened->failure
                   << "- it is left as it is";
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        return XrfErrorInfo::DbOpenFailed;
    }

    if (wanted) {
        opened->readOnlyWanted = true;
        qInfo() << "The results database" << file << "is opened for reading only";
        return XrfErrorInfo::NoError;
    }
    if (opened->readOnly) {
        qWarning() << "The results database" << file
                   << "is read-only: results can be read, not stored";
        return XrfErrorInfo::NoError;
    }
    if (folderCreated || !fileExisted || tableCount == 0) {
        // A file that exists but never got its tables (cut off right after
        // it was made) is created like a new one.
        createTables(true);
        if (folderCreated)
            XrfUtils::syncFolder(m_folder + QStringLiteral("..")); // the new folder's entry
    }
    db = QSqlDatabase::database(m_connectionName, true);
    // One transaction: each index made alone would cost the rollback
    // journal's syncs again (a new card's first result waited for ~100).
    db.transaction();
    SqlText::runScript(db, ResultSchema::indexScript(), "Create an index query failed.");
    db.commit();
    qInfo() << "Index tables created in Sql database.";
    enterWriteAheadLog(db);
    applyPragmas(db);
    return XrfErrorInfo::NoError;
}
