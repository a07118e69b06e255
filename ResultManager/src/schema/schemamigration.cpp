// The steps of the upgrade, in chain order: 3.2 archive and a new file, 4.0
// the missing tables, 4.1 gradematch.matchNSigma, 5.0 the external program,
// 6.1 a new pseudoelementresult, 6.2 userfactorresult.userEntered, 6.3
// imageresult.imageHasCircle, then the version. Versions compare as numbers;
// once a step has run every later one runs too.
//
// Test hooks: fault points "migration-backup", "migration-archive",
// "migration-step-<version>" and "migration-mark" make that part fail; the
// crash point "migration-after-alter" lies between an ALTER and its UPDATE.

#include "schemamigration.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include <cstdio>

#include "databasefile.h"
#include "requestarguments.h"
#include "resultschema.h"
#include "sqltext.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

namespace {

// The columns that steps add to tables that already hold rows, and what the
// rows get.
struct AddedColumn
{
    const QString &table;
    const char *column;
    const char *fill;
    const char *version;
};

const AddedColumn addedColumns[] = {
    { XrfTables::gradeMatch, "matchNSigma", "-1", "4.1" },
    { XrfTables::userFactorResult, "userEntered", "true", "6.2" },
    { XrfTables::imageResult, "imageHasCircle", "false", "6.3" },
};
enum { MatchNSigma, UserEntered, ImageHasCircle };

// The declared type of a schema column: its definition up to the first
// blank. ADD COLUMN cannot take NOT NULL without a default.
QString declaredType(const QString &table, const char *column)
{
    for (const ResultSchema::Column &c : ResultSchema::table(table).columns)
        if (qstrcmp(c.name, column) == 0)
            return QString::fromLatin1(c.definition).section(QLatin1Char(' '), 0, 0);
    qFatal("No column %s in table %s", column, qPrintable(table));
}

const int defaultWaitMsecs = 30000;

} // namespace

SchemaMigration::Program SchemaMigration::Program::fromSettings()
{
    Program program;
    QJsonObject group;
    if (XrfSettingsManager::instance()->getUniversalSetting(QStringLiteral("database.migration"),
                                                            &group)
        != XrfErrorInfo::NoError)
        return program;
    program.path = group.value(QStringLiteral("program")).toString();
    // A setting may shorten the waits, never lengthen them.
    const auto wait = [&group](const char *key) {
        const int msecs = group.value(QLatin1String(key)).toInt(defaultWaitMsecs);
        return qBound(1, msecs, defaultWaitMsecs);
    };
    program.startMsecs = wait("startWaitMsecs");
    program.finishMsecs = wait("finishWaitMsecs");
    return program;
}

SchemaMigration::SchemaMigration(const QSqlDatabase &db, const QString &dbFile,
                                 const QString &serial, const Program &program,
                                 std::function<bool(bool)> createTables)
    : m_db(db), m_dbFile(dbFile), m_serial(serial), m_program(program),
      m_createTables(std::move(createTables))
{
}

QString SchemaMigration::backupPath(const QString &dbFile)
{
    return dbFile + QStringLiteral(".before-upgrade");
}

double SchemaMigration::versionNumber(const QString &text)
{
    return text.trimmed().toDouble();
}

QString SchemaMigration::pseudoElementsBefore61()
{
    return XrfTables::pseudoElementResultBefore61;
}

SchemaMigration::Outcome SchemaMigration::run(bool force)
{
    m_storedVersion.clear();
    {
        QSqlQuery q(m_db);
        if (q.exec(QStringLiteral("SELECT dbVersion FROM ") + XrfTables::devInfo) && q.next())
            m_storedVersion = q.value(0).toString();
    }
    const double stored = versionNumber(m_storedVersion);
    const double current = versionNumber(ResultSchema::version);

    if (stored > current) {
        m_failure = QStringLiteral("its schema version is %1, newer than %2: this software "
                                   "cannot write it")
                            .arg(m_storedVersion, ResultSchema::version);
        qWarning() << "The results database" << m_dbFile << "is left as it is:" << m_failure;
        return Newer;
    }

    if (stored == current) {
        qInfo() << "Version of schema of db is " << m_storedVersion
                << " No Sql Database migration required.";
        // A file marked current may still lack a column that a step adds
        // (made by a version that marked without adding it): add it now.
        bool changed = false;
        for (int i = MatchNSigma; i <= ImageHasCircle; ++i) {
            const AddedColumn &added = addedColumns[i];
            if (!hasTable(added.table) || hasColumn(added.table, QLatin1String(added.column)))
                continue;
            qInfo() << "Adding the missing column" << added.column << "to" << added.table;
            if (!makeBackup() || !addColumnStep(i)) {
                restoreBackup();
                return Failed;
            }
            changed = true;
        }
        bool dated = false;
        if (!dateUndatedResults(&dated)) {
            restoreBackup();
            return Failed;
        }
        return changed || dated ? Upgraded : UpToDate;
    }

    qInfo() << "Version of schema of db is " << m_storedVersion << " supported schema version is "
            << ResultSchema::version << " Migrating database.";
    if (!makeBackup()) {
        restoreBackup();
        return Failed;
    }
    const auto step = [](bool ok, const char *version) {
        if (ok)
            qInfo() << "Upgraded database to version" << version;
        return ok;
    };
    bool setPragmas = force;
    bool ok = true;
    if (stored < 3.2) {
        ok = step(archive(), "3.2");
        setPragmas = true; // a new, empty file
    }
    ok = ok && (stored >= 4.0 || step(createTables(setPragmas), "4.0"));
    ok = ok && (stored >= 4.1 || step(addColumnStep(MatchNSigma), "4.1"));
    ok = ok && (stored >= 5.0 || step(runProgram(), "5.0"));
    ok = ok && (stored >= 6.1 || step(replacePseudoElementTable(), "6.1"));
    ok = ok && (stored >= 6.2 || step(addColumnStep(UserEntered), "6.2"));
    ok = ok && (stored >= 6.3 || step(addColumnStep(ImageHasCircle), "6.3"));
    bool dated = false;
    ok = ok && dateUndatedResults(&dated);
    ok = ok && markVersion();
    if (!ok) {
        restoreBackup();
        return Failed;
    }
    return Upgraded;
}

bool SchemaMigration::checkpoint()
{
    QSqlQuery mode(m_db);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode")) || !mode.next())
        return false;
    if (mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return true;
    QSqlQuery q(m_db);
    // Busy (1) when another connection keeps part of the log from the file.
    return q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")) && q.next()
            && q.value(0).toInt() == 0;
}

bool SchemaMigration::makeBackup()
{
    if (m_backupMade)
        return true;
    const QString backup = backupPath(m_dbFile);
    const QString temporary = backup + QStringLiteral(".tmp");
    if (QFileInfo::exists(backup)) {
        if (backupIsOfThisFile(backup)) {
            qInfo() << "Keeping" << backup << "of an upgrade that was cut off";
            m_backupMade = true;
            return true;
        }
        qInfo() << "Replacing" << backup << ", which holds another file";
        QFile::remove(backup);
    }
    QFile::remove(temporary);
    // No transaction is open here; once the log is folded in, the file on
    // disk is whole.
    if (!checkpoint())
        return fail(QStringLiteral("cannot fold its write-ahead log into it before copying it"));
    if (XrfUtils::faultPointArmed("migration-backup") || !QFile::copy(m_dbFile, temporary)
        || !XrfUtils::syncFile(temporary) || !QFile::rename(temporary, backup)) {
        QFile::remove(temporary);
        return fail(QStringLiteral("cannot copy it to ") + backup);
    }
    XrfUtils::syncFolder(QFileInfo(m_dbFile).absolutePath());
    m_backupMade = true;
    return true;
}

// A run that was cut off left the device row as it was (the version is
// marked last), so its copy holds the same row; a copy with another row is
// left from another file and must not be put back over this one.
bool SchemaMigration::backupIsOfThisFile(const QString &backup)
{
    const QString select
            = QStringLiteral("SELECT dbId || '/' || dbVersion FROM ") + XrfTables::devInfo;
    QString ours;
    {
        QSqlQuery q(m_db);
        if (q.exec(select) && q.next())
            ours = q.value(0).toString();
    }
    QString theirs;
    const QString connection = QStringLiteral("XrfDbUpgradeCopy");
    {
        QSqlDatabase copy = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        // Immutable: a read-only reader of a write-ahead-log file would
        // leave its log and shared memory beside the copy.
        copy.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
        copy.setDatabaseName(DatabaseFile::readOnlyUri(backup, true));
        if (copy.open()) {
            QSqlQuery q(copy);
            if (q.exec(select) && q.next())
                theirs = q.value(0).toString();
        }
        copy.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return !ours.isEmpty() && ours == theirs;
}

void SchemaMigration::restoreBackup()
{
    if (!m_backupMade)
        return;
    m_db.close();
    const QString backup = backupPath(m_dbFile);
    // A journal or log beside the changed file would be played into the copy.
    for (const char *side : { "-journal", "-wal", "-shm" })
        QFile::remove(m_dbFile + QLatin1String(side));
    if (std::rename(QFile::encodeName(backup).constData(), QFile::encodeName(m_dbFile).constData())
        != 0) {
        qWarning() << "Cannot put" << backup << "back as" << m_dbFile
                   << "- the file as it was is kept there";
        return;
    }
    // The archived file holds the same bytes as the one just put back.
    if (!m_archivedAs.isEmpty())
        QFile::remove(m_archivedAs);
    XrfUtils::syncFolder(QFileInfo(m_dbFile).absolutePath());
    m_backupMade = false;
}

bool SchemaMigration::archive()
{
    qDebug() << "Schema of database on SD Card is very very old. Schema not supported anymore. "
                "Archiving and re-creating.*****";
    const QFileInfo file(m_dbFile);
    const QString archived = file.absolutePath() + QLatin1Char('/') + m_serial + QLatin1Char('-')
            + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"))
            + QStringLiteral(".sqlite");
    m_db.close();
    if (XrfUtils::faultPointArmed("migration-archive") || !QFile::rename(m_dbFile, archived)) {
        m_db.open();
        return fail(QStringLiteral("cannot rename it to ") + archived);
    }
    m_archivedAs = archived;
    XrfUtils::syncFolder(file.absolutePath());
    if (!m_db.open())
        return fail(QStringLiteral("cannot make a new file: ") + m_db.lastError().text());
    return true;
}

bool SchemaMigration::createTables(bool setPragmas)
{
    if (!m_db.isOpen() && !m_db.open())
        return fail(m_db.lastError().text());
    if (XrfUtils::faultPointArmed("migration-step-4.0"))
        return fail(QStringLiteral("step 4.0 failed (fault point)"));
    if (!m_createTables(setPragmas))
        return fail(QStringLiteral("the missing tables cannot be created"));
    return true;
}

bool SchemaMigration::addColumnStep(int column)
{
    const AddedColumn &added = addedColumns[column];
    const QString name = QLatin1String(added.column);
    if (!m_db.isOpen() && !m_db.open())
        return fail(m_db.lastError().text());
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QString error;
    if (!exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3 ")
                      .arg(added.table, name, declaredType(added.table, added.column)),
              &error)) {
        m_db.rollback();
        // The ALTER and its UPDATE commit together, so a column that is
        // already there was filled by a run of this step that committed, or
        // holds values that newer code wrote: filling it again could only
        // overwrite real values.
        if (error.contains(QLatin1String("duplicate column name"))) {
            qInfo() << "Column" << name << "of" << added.table << "is already there";
            return true;
        }
        return fail(error);
    }
    XrfUtils::crashPoint("migration-after-alter");
    const bool ok = exec(QStringLiteral("UPDATE %1 SET %2 = %3")
                                 .arg(added.table, name, QLatin1String(added.fill)),
                         &error)
            && !XrfUtils::faultPointArmed(
                            QByteArray("migration-step-").append(added.version).constData());
    if (!ok || !m_db.commit()) {
        if (error.isEmpty())
            error = ok ? m_db.lastError().text()
                       : QStringLiteral("step %1 failed (fault point)").arg(added.version);
        m_db.rollback();
        return fail(error);
    }
    return true;
}

bool SchemaMigration::replacePseudoElementTable()
{
    const ResultSchema::Table &table = ResultSchema::table(XrfTables::pseudoElementResult);
    if (!m_db.isOpen() && !m_db.open())
        return fail(m_db.lastError().text());
    // Done already when the rows were set aside by a run that committed, or
    // when the table has the current shape (made by the 4.0 step).
    if (hasTable(pseudoElementsBefore61()))
        return true;
    if (hasTable(table.name)) {
        QStringList have, want;
        QSqlQuery info(m_db);
        info.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table.name));
        while (info.next())
            have << info.value(1).toString();
        for (const ResultSchema::Column &c : table.columns)
            want << QLatin1String(c.name);
        if (have == want)
            return true;
    }
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QStringList statements;
    if (hasTable(table.name)) {
        // The index goes with a renamed table; the new table gets it when
        // the indices are made after the upgrade.
        for (const ResultSchema::Index &index : ResultSchema::indices())
            if (index.table == table.name)
                statements << QStringLiteral("DROP INDEX IF EXISTS ") + QLatin1String(index.name);
        statements << QStringLiteral("ALTER TABLE %1 RENAME TO %2")
                              .arg(table.name, pseudoElementsBefore61());
    }
    statements << table.createStatement();
    QString error;
    for (const QString &statement : qAsConst(statements)) {
        if (!exec(statement, &error))
            break;
    }
    if (error.isEmpty() && XrfUtils::faultPointArmed("migration-step-6.1"))
        error = QStringLiteral("step 6.1 failed (fault point)");
    return commitOrFail(error);
}

bool SchemaMigration::runProgram()
{
    if (m_program.path.isEmpty()) {
        qWarning() << "No database migration program is configured (universal setting "
                      "database.migration, key program): step 5.0 is skipped";
        return true;
    }
    const QFileInfo program(m_program.path);
    if (!program.isAbsolute() || !program.isFile())
        return fail(QStringLiteral("the migration program %1 is missing").arg(m_program.path));

    // The program works on the file itself.
    m_db.close();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(m_program.path, { m_serial }, QIODevice::ReadWrite);
    const auto logOutput = [&process] {
        const QList<QByteArray> lines = process.readAll().split('\n');
        for (const QByteArray &line : lines)
            if (!line.trimmed().isEmpty())
                qInfo() << "Migration program:" << QString::fromLocal8Bit(line);
    };
    QString error;
    if (!process.waitForStarted(m_program.startMsecs)) {
        error = QStringLiteral("the migration program %1 did not start: %2")
                        .arg(m_program.path, process.errorString());
    } else if (!process.waitForFinished(m_program.finishMsecs)) {
        logOutput();
        error = QStringLiteral("the migration program %1 did not finish within %2 ms")
                        .arg(m_program.path)
                        .arg(m_program.finishMsecs);
    } else {
        logOutput();
        if (process.exitStatus() != QProcess::NormalExit)
            error = QStringLiteral("the migration program %1 crashed").arg(m_program.path);
        else if (process.exitCode() != 0)
            error = QStringLiteral("the migration program %1 exited with %2")
                            .arg(m_program.path)
                            .arg(process.exitCode());
        else if (XrfUtils::faultPointArmed("migration-step-5.0"))
            error = QStringLiteral("step 5.0 failed (fault point)");
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    if (!error.isEmpty())
        return fail(error);
    if (!m_db.open())
        return fail(m_db.lastError().text());
    return true;
}

// Rows that older software stored without a usable date-time (averaged
// results, and anything written before every result was dated) are invisible
// to every search by date and cannot be told apart by the exactly-once key.
// Each gets one that the file alone decides, so that the same card always
// gives the same: an averaged result the latest of its sources plus a
// millisecond, any other the test before it (by test id) plus a millisecond,
// or the one after it less one; never a key another result holds.
bool SchemaMigration::dateUndatedResults(bool *changed)
{
    *changed = false;
    if (!hasTable(XrfTables::analysisResult))
        return true;
    QList<QPair<int, QString>> undated;
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT testId, tidName FROM ") + XrfTables::analysisResult
                    + QStringLiteral(" WHERE julianday(testDateTime) IS NULL ORDER BY testId")))
            return fail(q.lastError().text());
        while (q.next())
            undated.append({ q.value(0).toInt(), q.value(1).toString() });
    }
    if (undated.isEmpty())
        return true;
    if (!makeBackup())
        return false;
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    const auto dayNumber = [this](const QString &statement, int testId, QVariant *jd) {
        QSqlQuery q(m_db);
        q.prepare(statement);
        q.addBindValue(testId);
        if (!q.exec())
            return false;
        *jd = q.next() ? q.value(0) : QVariant();
        return true;
    };
    const QString results = XrfTables::analysisResult;
    QString error;
    for (const auto &result : qAsConst(undated)) {
        QVariant jd;
        qint64 offsetMsecs = 1;
        bool ok = dayNumber(QStringLiteral("SELECT max(julianday(a.testDateTime)) FROM %1 s JOIN "
                                           "%2 a ON a.testId = s.testId WHERE s.averagedTestId = ?")
                                    .arg(XrfTables::averagedResultInfo, results),
                            result.first, &jd);
        if (ok && jd.isNull())
            ok = dayNumber(QStringLiteral("SELECT julianday(testDateTime) FROM %1 WHERE testId < ? "
                                          "AND julianday(testDateTime) IS NOT NULL ORDER BY testId "
                                          "DESC LIMIT 1")
                                   .arg(results),
                           result.first, &jd);
        if (ok && jd.isNull()) {
            offsetMsecs = -1;
            ok = dayNumber(QStringLiteral("SELECT julianday(testDateTime) FROM %1 WHERE testId > ? "
                                          "AND julianday(testDateTime) IS NOT NULL ORDER BY testId "
                                          "LIMIT 1")
                                   .arg(results),
                           result.first, &jd);
        }
        if (!ok) {
            error = m_db.lastError().text();
            break;
        }
        // Julian days keep whole milliseconds in SQLite.
        QDateTime when = jd.isNull()
                ? QDateTime::fromMSecsSinceEpoch(result.first, Qt::UTC)
                : QDateTime::fromMSecsSinceEpoch(
                        qRound64((jd.toDouble() - 2440587.5) * 86400000.0) + offsetMsecs, Qt::UTC);
        for (;;) {
            QSqlQuery taken(m_db);
            taken.prepare(QStringLiteral("SELECT 1 FROM ") + results
                          + QStringLiteral(" WHERE testDateTime = ? AND tidName = ?"));
            taken.addBindValue(RequestArguments::storedText(when));
            taken.addBindValue(result.second);
            if (!taken.exec() || !taken.next())
                break;
            when = when.addMSecs(offsetMsecs);
        }
        QSqlQuery update(m_db);
        update.prepare(QStringLiteral("UPDATE ") + results
                       + QStringLiteral(" SET testDateTime = ? WHERE testId = ?"));
        update.addBindValue(RequestArguments::storedText(when));
        update.addBindValue(result.first);
        if (!update.exec()) {
            error = update.lastError().text();
            break;
        }
        qWarning() << "Test" << result.first << result.second
                   << "had no usable date-time; it is dated" << RequestArguments::storedText(when);
    }
    if (!commitOrFail(error))
        return false;
    *changed = true;
    return true;
}

bool SchemaMigration::markVersion()
{
    if (!m_db.isOpen() && !m_db.open())
        return fail(m_db.lastError().text());
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QSqlQuery q(m_db);
    QString error;
    if (!q.exec(QStringLiteral("UPDATE ") + XrfTables::devInfo + QStringLiteral(" SET dbVersion=")
                + SqlText::sqlQuote(ResultSchema::version)))
        error = q.lastError().text();
    else if (q.numRowsAffected() < 1)
        error = QStringLiteral("no device row to mark");
    else if (XrfUtils::faultPointArmed("migration-mark"))
        error = QStringLiteral("marking failed (fault point)");
    q.finish();
    if (!commitOrFail(error))
        return false;
    qInfo() << "Marked database version to " << ResultSchema::version;
    return true;
}

bool SchemaMigration::hasTable(const QString &table)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?"));
    q.addBindValue(table);
    return q.exec() && q.next();
}

bool SchemaMigration::hasColumn(const QString &table, const QString &column)
{
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table));
    while (q.next())
        if (q.value(1).toString() == column)
            return true;
    return false;
}

bool SchemaMigration::exec(const QString &statement, QString *error)
{
    QSqlQuery q(m_db);
    if (q.exec(statement))
        return true;
    qInfo() << "Failed Query is " << statement;
    qInfo() << "SQL error is " << q.lastError().text();
    if (error)
        *error = q.lastError().text();
    return false;
}

// Ends a step's transaction: committed when no error was met (and the
// commit holds), rolled back and failed otherwise.
bool SchemaMigration::commitOrFail(QString error)
{
    if (error.isEmpty() && m_db.commit())
        return true;
    if (error.isEmpty())
        error = m_db.lastError().text();
    m_db.rollback();
    return fail(error);
}

bool SchemaMigration::fail(const QString &why)
{
    m_failure = why;
    qWarning() << "Upgrading the results database" << m_dbFile << "failed:" << why
               << "- it is left as it was";
    return false;
}
