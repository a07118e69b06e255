// The database object: the paths of the card and the profile, the open and
// close of the results file (made, checked and upgraded by DatabaseFile), the
// request checks, the abort flag, the vacuum timer, and the slots that answer
// every request by asking a room (rooms under schema/, read/, export/ and
// exchange/, the writer in insdelqueries) and emitting what it gives.
//
// Invariants, cited in the code by number:
// (1) Every slot runs on the worker thread, one at a time; state touched
//     from other threads is only the abort counts (under m_abortMutex), the
//     open flag and the controller status (atomics).
// (2) A result is stored whole or not at all, in one transaction made
//     durable (its synchronous level checked) before resultCommitted says so.
// (3) A result already stored (same date-time text and name) is reported
//     committed under its stored id, never stored twice.
// (4) Every queued request is answered exactly once, with its command id
//     and a code; a failed query is said as such, never as an empty answer.
// (5) Opening and reading leave the file as it was; a file SQLite refuses,
//     or a newer one, is never changed.
// (6) The database object knows nothing of the queue: averaging reads
//     queued results through the lookup the worker object hands it.

#include "databasemanager.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimer>

#include "databasefile.h"
#include "databasevacuum.h"
#include "devicerecord.h"
#include "exchangefiles.h"
#include "exportconversion.h"
#include "fileidentity.h"
#include "insdelqueries.h"
#include "minidatabase.h"
#include "minidatabasebuild.h"
#include "picturesweep.h"
#include "requestarguments.h"
#include "resultaverager.h"
#include "resultdeleter.h"
#include "resultexporter.h"
#include "resultqueries.h"
#include "resultreader.h"
#include "resultschema.h"
#include "resultstreamwriter.h"
#include "schemamigration.h"
#include "sqltext.h"
#include "streamimport.h"
#include "xrfanalysisresult.h"
#include "xrfcommandids.h"
#include "xrfimage.h"
#include "xrfkorviresultpretty.h"
#include "xrfmethoddisplaysettings.h"
#include "xrfmethodmanager.h"
#include "xrfsettingsmanager.h"
#include "xrfstring.h"
#include "xrfutils.h"

const QString DatabaseManager::connectionName = QStringLiteral("XrfDb");

DatabaseManager::DatabaseManager(QObject *parent) : QObject(parent)
{
    // Members that must follow this object onto the worker thread.
    m_hdfFile.setParent(this);
    connect(&m_hdfFile, &HdfFile::errorSignal, this,
            [](const QString &msg) { qWarning() << "Day record:" << msg; });
}

DatabaseManager::~DatabaseManager()
{
    closeDatabase();
    m_hdfFile.setParent(nullptr);
}

// The one connection is opened on first use and kept while work comes
// (until the idle point below); the pragmas are set each time it opens.
QSqlDatabase DatabaseManager::workingHandle()
{
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (db.isValid() && !db.isOpen() && db.open()) {
        if (!m_readOnly)
            DatabaseFile::applyPragmas(db);
        m_statements.reset(db);
        m_fileSeen = FileIdentity::of(databaseFilePath());
    } else if (db.isOpen() && m_statements.database().connectionName() != connectionName) {
        // Opened by the open path itself.
        m_statements.reset(db);
    }
    m_workingHandle = db;
    m_lastUse.start();
    if (m_idleTimer && !m_idleTimer->isActive())
        m_idleTimer->start(idleMsecs);
    return db;
}

// No work for a while: the log is folded into the file, so that a copy of
// the file alone holds every committed result, and the connection closed.
void DatabaseManager::onIdleTimeout()
{
    const qint64 quiet = m_lastUse.isValid() ? m_lastUse.elapsed() : idleMsecs;
    if (quiet < idleMsecs) {
        m_idleTimer->start(int(idleMsecs - quiet));
        return;
    }
    checkpointAndClose();
}

void DatabaseManager::checkpointAndClose()
{
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (!db.isValid() || !db.isOpen())
        return;
    if (!m_readOnly) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")))
            qWarning() << "The write-ahead log cannot be folded into the file:"
                       << q.lastError().text();
    }
    closeConnectionNow();
}

void DatabaseManager::closeConnectionNow()
{
    // Its prepared statements die with the open connection.
    m_reader.reset();
    m_statements.reset();
    QSqlDatabase::database(connectionName, false).close();
    m_workingHandle = QSqlDatabase();
    if (m_idleTimer)
        m_idleTimer->stop();
}

QString DatabaseManager::databaseFilePath() const
{
    if (m_dbFolder.isEmpty() || m_dbFileName.isEmpty())
        return QString();
    return m_dbFolder + m_dbFileName;
}

// --- Paths ------------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::setInstrumentDataPath(QString dbPath)
{
    qDebug() << "Inside "
             << "setInstrumentDataPath"
             << "instrumentdatapath is " << dbPath << " profile path is " << m_profilePath;
    if (dbPath.isEmpty()) {
        closeDatabase();
        return XrfErrorInfo::NoError;
    }
    m_instrumentDataPath = dbPath;
    if (m_profilePath.isEmpty())
        return XrfErrorInfo::NoError;
    return openDB(dbPath);
}

XrfErrorInfo::XrfError DatabaseManager::setProfilePath(QString path)
{
    m_profilePath = path;
    m_hdfFile.setFolder(path);
    const XrfErrorInfo::XrfError rc = m_hdfFile.startCounting();
    if (rc != XrfErrorInfo::NoError) {
        qInfo() << "Error getting the testId from Hdf File. The Hdf file may be corrupt.";
        return rc;
    }
    qInfo() << "Inside "
            << "setProfilePath"
            << " instrumentdatapath is " << m_instrumentDataPath << " profile path is "
            << m_profilePath;
    if (!m_instrumentDataPath.isEmpty())
        openDB(m_instrumentDataPath);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::setPaths(QString proPath, QString instruDataPath)
{
    m_instrumentDataPath = instruDataPath;
    if (!proPath.isEmpty()) {
        setProfilePath(proPath);
    } else {
        closeDatabase();
        m_profilePath = proPath;
    }
    qInfo() << "Inside "
            << "setPaths"
            << " instrumentdatapath is " << m_instrumentDataPath << " profile path is "
            << m_profilePath;
    return XrfErrorInfo::NoError;
}

// --- Open and close ---------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::openDB(QString path)
{
    if (m_dbOpen.loadAcquire())
        return XrfErrorInfo::NoError;
    if (path.isEmpty())
        return XrfErrorInfo::InvalidArgument;
    if (QSqlDatabase::contains(connectionName)) {
        // Left over from a failed open; nothing holds it.
        m_reader.reset();
        m_openHandle = QSqlDatabase();
        m_workingHandle = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    m_instrumentDataPath = path;
    DatabaseFile file(connectionName, path);
    m_dbFolder = file.folder();
    m_dbFileName = file.fileName();
    DatabaseFile::Opened opened;
    if (file.open(&opened) != XrfErrorInfo::NoError) {
        m_lastError.setExtendedErrorInfo(opened.failure);
        m_lastError.setErrorCode(XrfErrorInfo::DbOpenFailed);
        return XrfErrorInfo::DbOpenFailed;
    }
    m_openHandle = QSqlDatabase::database(connectionName, false);
    m_readOnly = opened.readOnly;
    m_upgrade = opened.upgrade;
    // Pictures a deletion or an import cut off after (or before) its commit
    // left named by no row, and the files of an export cut off by a restart;
    // a host reading beside others leaves the export files alone, since
    // another process may be exporting.
    if (!m_readOnly || opened.readOnlyWanted)
        PictureSweep(imageFolder()).settle(workingHandle());
    if (!m_readOnly)
        ExportRun::removeLeftovers(m_instrumentDataPath);
    getLatestTestId(&m_lastTestId);
    if (!m_idleTimer) {
        m_idleTimer = new QTimer(this);
        m_idleTimer->setSingleShot(true);
        connect(m_idleTimer, &QTimer::timeout, this, &DatabaseManager::onIdleTimeout);
    }
    if (!m_vacuumTimer) {
        // Parented so that it dies with this object on its own thread.
        m_vacuumTimer = new QTimer(this);
        m_vacuumTimer->setInterval(m_vacuumInterval);
        connect(m_vacuumTimer, &QTimer::timeout, this, &DatabaseManager::onVacuumTimerTimeout);
    }
    m_lastError = XrfErrorInfo();
    m_dbOpen.storeRelease(1);
    m_threadReaders.publish(databaseFilePath());
    return XrfErrorInfo::NoError;
}

void DatabaseManager::closeDatabase()
{
    if (!m_dbOpen.loadAcquire())
        return;
    qInfo() << "Closing the Sql database.";
    if (m_vacuumTimer && m_vacuumTimer->isActive())
        m_vacuumTimer->stop();
    DatabaseVacuum::resetReport();
    XrfUtils::crashPoint("before-close");
    // A card taken out, an erase or a shutdown leaves the file whole.
    checkpointAndClose();
    m_reader.reset();
    m_statements.reset();
    m_openHandle.close();
    m_workingHandle.close();
    m_openHandle = QSqlDatabase();
    m_workingHandle = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
    m_dbOpen.storeRelease(0);
    m_threadReaders.publish(QString());
}

// --- Device row ---------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::getDeviceDbInfo(QString &dbId, QString &dbVersion,
                                                        QString &serial, QString &model,
                                                        QString &anode)
{
    return DeviceRecord(workingHandle()).read(dbId, dbVersion, serial, model, anode);
}

XrfErrorInfo::XrfError DatabaseManager::reportDbInfo()
{
    QJsonObject info;
    info.insert(QStringLiteral("dbVersion"), ResultSchema::version);
    emit dbInfo(info);
    return XrfErrorInfo::NoError;
}

// --- Request checks -------------------------------------------------------------

bool DatabaseManager::isSdCardInserted() const
{
    const bool open = m_dbOpen.loadAcquire();
    // Asked on every pass of the queue: said once per change.
    if (m_cardReported.fetchAndStoreRelaxed(open ? 1 : 0) != (open ? 1 : 0) && !open)
        qWarning() << "No SD Card present";
    return open;
}

bool DatabaseManager::isStorageAvailable(DbOperation operation) const
{
    qint64 requirement = 0;
    switch (operation) {
    case DbOpExport:
        requirement = m_storageRequirements[0];
        break;
    case DbOpImport:
        requirement = m_storageRequirements[1];
        break;
    case DbOpStore:
        requirement = m_storageRequirements[2];
        break;
    case DbOpAny:
    case DbOpSync:
    case DbOpOther:
        requirement = m_storageRequirements[3];
        break;
    }
    if (!m_dbOpen.loadAcquire())
        return true;
    const qint64 available = XrfUtils::availableSpaceOnSdCard();
    const bool enough = available > requirement;
    if (m_storageReported.fetchAndStoreRelaxed(enough ? 1 : 0) != (enough ? 1 : 0)) {
        if (enough) {
            qInfo() << "Storage available again:" << available << "bytes free";
        } else {
            qInfo() << "Cannot complete the operation. No storage.";
            qInfo() << "Free space: " << available << "Requirement is: " << requirement;
        }
    }
    return enough;
}

// --- Housekeeping ---------------------------------------------------------------

void DatabaseManager::vacuumTheDb(bool vacuumStatus)
{
    if (!vacuumStatus || !m_dbOpen.loadAcquire()) {
        if (m_vacuumTimer && m_vacuumTimer->isActive()) {
            m_vacuumTimer->stop();
            DatabaseVacuum::resetReport();
        }
        return;
    }
    QSqlDatabase db = workingHandle();
    const bool more = DatabaseVacuum(db).step(m_vacuumTimer && m_vacuumTimer->isActive());
    if (m_vacuumTimer && more && !m_vacuumTimer->isActive())
        m_vacuumTimer->start();
    else if (m_vacuumTimer && !more)
        m_vacuumTimer->stop();
}

void DatabaseManager::onVacuumTimerTimeout()
{
    vacuumTheDb(true);
}

void DatabaseManager::run() { }

// --- Abort flag -------------------------------------------------------------------

// The flag is a count of abort requests and the count the running
// operation started from: an abort pressed while a queued request waits
// for the worker stops that request too, instead of being cleared when it
// starts.

void DatabaseManager::setAbortFlag(bool value)
{
    QMutexLocker lock(&m_abortMutex);
    if (value)
        ++m_abortRequests;
    else
        m_abortsSeen = m_abortRequests;
}

void DatabaseManager::abortCurrentDbOperation()
{
    setAbortFlag(true);
}

bool DatabaseManager::isAbortFlagSet()
{
    QMutexLocker lock(&m_abortMutex);
    return m_abortRequests != m_abortsSeen;
}

quint64 DatabaseManager::abortRequests() const
{
    QMutexLocker lock(&m_abortMutex);
    return m_abortRequests;
}

void DatabaseManager::startAsOf(quint64 abortRequests)
{
    QMutexLocker lock(&m_abortMutex);
    m_abortsSeen = abortRequests;
}

// --- Id and date queries ------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::getLatestTestId(int *tid)
{
    return ResultQueries(workingHandle()).latestTestId(tid);
}

void DatabaseManager::testIdExists(int tid, bool *exists)
{
    ResultQueries(workingHandle()).testIdExists(tid, exists);
}

XrfErrorInfo::XrfError DatabaseManager::getLastTestDateTime(QString *testDateTime)
{
    return ResultQueries(workingHandle()).lastTestDateTime(testDateTime);
}

XrfErrorInfo::XrfError DatabaseManager::getTestIdsBetweenDates(const QString &from,
                                                               const QString &to, QString *testIds,
                                                               quint32 limit)
{
    return ResultQueries(workingHandle()).testIdsBetweenDates(from, to, testIds, limit);
}

XrfErrorInfo::XrfError DatabaseManager::getRecordCount(int *count)
{
    return ResultQueries(workingHandle()).recordCount(count);
}

XrfErrorInfo::XrfError DatabaseManager::describeDatabase(QJsonObject *info)
{
    int count = 0;
    const XrfErrorInfo::XrfError rc = getRecordCount(&count);
    // Read as it is: looking must never add a device row.
    DeviceRecord(workingHandle()).describe(info);
    info->insert(QStringLiteral("file"), databaseFilePath());
    info->insert(QStringLiteral("results"), count);
    info->insert(QStringLiteral("readOnly"), m_readOnly);
    for (auto it = m_upgrade.constBegin(); it != m_upgrade.constEnd(); ++it)
        info->insert(it.key(), it.value());
    return rc;
}

// --- Reading ------------------------------------------------------------------------

ResultReader &DatabaseManager::reader()
{
    if (!m_reader)
        m_reader.reset(new ResultReader(workingHandle(), [this] { return isAbortFlagSet(); }));
    return *m_reader;
}

XrfErrorInfo::XrfError DatabaseManager::checkFileBeforeWriting()
{
    // A connection kept open would commit into a file deleted, replaced or
    // written by another since: then the next one opens what is at the
    // path now.
    const QString file = databaseFilePath();
    const FileIdentity now = FileIdentity::of(file);
    if (now != m_fileSeen) {
        closeConnectionNow();
        // Another file at the path: the other threads' readers follow.
        if (now.device != m_fileSeen.device || now.inode != m_fileSeen.inode)
            m_threadReaders.publish(file);
    }
    if (!QFileInfo::exists(m_dbFolder)) {
        // The card went away: nothing is made in its place.
        qWarning() << "The results folder" << m_dbFolder << "is gone; results wait";
        return XrfErrorInfo::DbOpenFailed;
    }
    const QFileInfo info(file);
    if (!info.exists() || info.size() == 0) {
        // A connection makes an empty file where one was deleted.
        qWarning() << "The results database" << file << "was deleted; a new one is made";
        closeDatabase();
        return openDB(m_instrumentDataPath);
    }
    // Root could still write to it; a file marked read-only is left alone.
    if (!XrfUtils::isMarkedWritable(file) || !XrfUtils::isMarkedWritable(m_dbFolder)) {
        qWarning() << "The results database" << file << "is marked read-only; results wait";
        return XrfErrorInfo::DbOpenFailed;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::getAnXrfKorviResultByTestId(int tid, XrfKorviResult *result)
{
    if (!result)
        return XrfErrorInfo::InvalidArgument;
    return reader().read(tid, result);
}

void DatabaseManager::getTestResult(int cmdId, int id, QString testIds)
{
    QList<int> ids;
    if (!RequestArguments::parseTestIds(testIds, &ids) || ids.isEmpty()) {
        emit queryDone(cmdId, id, QJsonDocument(QJsonObject()), XrfErrorInfo::InvalidArgument);
        return;
    }
    XrfKorviResult result;
    XrfErrorInfo::XrfError rc = getAnXrfKorviResultByTestId(ids.first(), &result);
    QJsonObject answer;
    // A read that failed is said as such, never as "no such result".
    if (rc != XrfErrorInfo::NoError || result.analysis().testId() == -1) {
        answer.insert(QStringLiteral("testResult"), QJsonObject());
        if (rc == XrfErrorInfo::NoError)
            rc = XrfErrorInfo::ResultNotFound;
    } else {
        answer.insert(QStringLiteral("testResult"),
                      cmdId == XrfCommandIds::FullResultDisplayForm ? displayForm(result)
                                                                    : result.toJsonObject());
    }
    emit queryDone(cmdId, id, QJsonDocument(answer), rc);
}

QJsonObject DatabaseManager::displayForm(const XrfKorviResult &result)
{
    XrfKorviResultPretty pretty(result);
    const QJsonObject method = XrfMethodManager::instance()->getDisplaySettings();
    if (method.isEmpty()) {
        pretty.prettify(nullptr);
    } else {
        const MethodDisplaySettings settings = MethodDisplaySettings::fromJsonObject(method);
        pretty.prettify(&settings);
    }
    return pretty.toJsonObject();
}

void DatabaseManager::getResultFromTestDateTime(QString fromTestDateTime, XrfKorviResult *result,
                                                XrfErrorInfo::XrfError *rC)
{
    if (fromTestDateTime.isEmpty()) {
        if (rC)
            *rC = XrfErrorInfo::InvalidArgument;
        return;
    }
    QString ids;
    XrfErrorInfo::XrfError rc
            = getTestIdsBetweenDates(fromTestDateTime, RequestArguments::openEnd(), &ids, 1);
    if (rc == XrfErrorInfo::NoError)
        rc = getAnXrfKorviResultByTestId(ids.toInt(), result);
    if (rC)
        *rC = rc;
}

XrfErrorInfo::XrfError DatabaseManager::performAutoPrintIfNecessary(XrfKorviResult result)
{
    QJsonObject print;
    if (XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("print"), &print) != 0)
        qWarning() << "Unable to get print settings in "
                   << "performAutoPrintIfNecessary";
    m_resultsFilter.setAutoPrint(print.value(QStringLiteral("autoPrint")).toBool(false));
    if (!m_resultsFilter.isAutoPrint())
        return XrfErrorInfo::NoError;
    if (m_resultsFilter.readPrintTemplate(m_profilePath) == XrfErrorInfo::TemplateLoadFailed) {
        qWarning() << "XrfErrorInfo::XrfError "
                      "DatabaseManager::performAutoPrintIfNecessary(XrfKorviResult)"
                   << " failed to load Print template!";
        return XrfErrorInfo::TemplateLoadFailed;
    }
    if (m_resultsFilter.isPrinterSelected())
        emit aResultAvailableForPrint(result);
    return XrfErrorInfo::NoError;
}

// --- Storing a result -----------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::execInsDelQuery(const QString &statement)
{
    return SqlText::execStatement(workingHandle(), statement);
}

bool DatabaseManager::lookUpStoredTestId(const QString &testDateTime, const QString &tidName,
                                         int *testId)
{
    if (XrfUtils::faultPointArmed("stored-lookup-fail")) {
        *testId = -1;
        qWarning() << "Cannot look up a stored result: fault point";
        return false;
    }
    workingHandle();
    return ResultQueries(m_statements).storedTestId(testDateTime, tidName, testId)
            == XrfErrorInfo::NoError;
}

int DatabaseManager::storedTestId(const QString &testDateTime, const QString &tidName)
{
    int id = -1;
    lookUpStoredTestId(testDateTime, tidName, &id);
    return id;
}

XrfErrorInfo::XrfError DatabaseManager::insertTestResult(XrfKorviResult result)
{
    QElapsedTimer clock;
    clock.start();
    XrfAnalysisResult &analysis = result.analysis();
    const bool averaged = analysis.testType() == QLatin1String("AVERAGED");
    if (!analysis.testDateTime().isValid()) {
        // Every stored result has a date-time, one of its own.
        QDateTime now = QDateTime::currentDateTimeUtc();
        if (m_lastAssignedTime.isValid() && now <= m_lastAssignedTime)
            now = m_lastAssignedTime.addMSecs(1);
        m_lastAssignedTime = now;
        analysis.setTestDateTime(now);
    }

    const QString unstorable = ResultBinding::whyNotStorable(result);
    if (!unstorable.isEmpty()) {
        qWarning().noquote() << QStringLiteral("Result %1 of %2 cannot be stored: %3")
                                        .arg(analysis.tidName(), analysis.dateTimeString(),
                                             unstorable);
        emit resultInserted(XrfErrorInfo::InvalidArgument);
        return XrfErrorInfo::InvalidArgument;
    }

    const XrfErrorInfo::XrfError usable = checkFileBeforeWriting();
    if (usable != XrfErrorInfo::NoError) {
        emit resultInserted(usable);
        return usable;
    }
    QSqlDatabase db = workingHandle();
    int existing = -1;
    if (!lookUpStoredTestId(analysis.dateTimeString(), analysis.tidName(), &existing)) {
        // Not knowing whether it is stored is no licence to store it again.
        emit resultInserted(XrfErrorInfo::DbQueryFailed);
        return XrfErrorInfo::DbQueryFailed;
    }
    if (existing > 0) {
        qInfo() << "Result" << analysis.tidName() << "of" << analysis.dateTimeString()
                << "is already stored as test id" << existing << "- not stored again";
        emit resultInserted(XrfErrorInfo::NoError);
        emit resultCommitted(analysis.testDateTime(), averaged, existing);
        return XrfErrorInfo::NoError;
    }

    int testId = -1;
    ResultWriter writer(db, imageFolder(), currentUser(), &m_statements);
    // (2)
    const XrfErrorInfo::XrfError rc = writer.store(
            result, &testId, [this](XrfErrorInfo::XrfError c) { emit resultInserted(c); });
    if (!writer.failureNotice().isEmpty())
        emit errorSignal(writer.failureNotice());
    // Its own checkpoints change the file too.
    m_fileSeen = FileIdentity::of(databaseFilePath());
    if (rc != XrfErrorInfo::NoError)
        return rc;
    qInfo() << "**** Completed COMMIT a result to the database in " << clock.elapsed()
            << " msec. Primary key for record is " << testId;
    XrfUtils::crashPoint("after-commit");
    // The day record counts results stored, so only once the commit holds.
    m_hdfFile.count();
    // Only a committed average is news.
    if (averaged)
        emit averagedResultInserted(result);

    performAutoPrintIfNecessary(result);
    emit resultCommitted(analysis.testDateTime(), averaged, testId);
    return XrfErrorInfo::NoError;
}

QString DatabaseManager::currentUser() const
{
    QString user;
    if (XrfSettingsManager::instance()->getCurrentUser(&user) != 0)
        user.clear();
    return user;
}

// --- Images ------------------------------------------------------------------------

QString DatabaseManager::imageFolder() const
{
    return m_instrumentDataPath + QStringLiteral("images/");
}

QString DatabaseManager::imagePath(const QString &name) const
{
    return SqlText::storedImagePath(imageFolder(), name);
}

XrfErrorInfo::XrfError DatabaseManager::getImage(QString imageFile, int appid)
{
    // A name that leads out of the image store opens nothing.
    QFile file(imagePath(imageFile));
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    QJsonDocument answer;
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Image file not found: " << file.fileName();
        rc = XrfErrorInfo::FileOpenFailed;
    } else {
        XrfImage image;
        image.setTestId(-1);
        image.setImageFileName(imageFile);
        image.setImageBuff(QString::fromLatin1(file.readAll().toHex()));
        file.close();
        answer = QJsonDocument(image.toJsonObject());
    }
    emit queryDone(XrfCommandIds::Image, appid, answer, rc);
    return rc;
}

// --- Test info ---------------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::editTestInfo(QJsonArray testInfo, int testId, int id)
{
    QSqlDatabase db = workingHandle();
    bool exists = false;
    ResultQueries(db).testIdExists(testId, &exists);
    // Ids are reused: rows written for an absent test would pass to the next.
    if (!exists) {
        emit queryDone(XrfCommandIds::EditTestInfo, id, QJsonDocument(QJsonObject()),
                       XrfErrorInfo::ResultNotFound);
        return XrfErrorInfo::ResultNotFound;
    }
    QList<QPair<QString, QString>> entries;
    for (const QJsonValue &element : testInfo)
        if (element.isObject())
            entries.append({ element.toObject().value(QStringLiteral("label")).toString(),
                             element.toObject().value(QStringLiteral("info")).toString() });
    const XrfErrorInfo::XrfError rc
            = ResultWriter(db, imageFolder(), QString()).editTestInfo(testId, entries);
    XrfString answer;
    answer.setXrfString(rc == XrfErrorInfo::NoError ? QStringLiteral("Success") : QString());
    emit queryDone(XrfCommandIds::EditTestInfo, id, QJsonDocument(answer.toJsonObject()), rc);
    return rc;
}

// --- Browsing -------------------------------------------------------------------------

bool DatabaseManager::calendarNotesEnabled() const
{
    bool notes = false;
    if (XrfSettingsManager::instance()->getEnableCalendarNote(notes) != 0)
        notes = false;
    return notes;
}

void DatabaseManager::fetchCalendar(int id)
{
    QJsonObject calendar;
    const XrfErrorInfo::XrfError rc = ResultQueries(workingHandle()).calendar(&calendar);
    if (id == -1) {
        if (rc == XrfErrorInfo::NoError)
            emit calendarUpdated(calendar);
    } else {
        emit queryDone(XrfCommandIds::Calendar, id, QJsonDocument(calendar), rc);
    }
}

XrfErrorInfo::XrfError DatabaseManager::getTestIds(int id, QString dateString)
{
    QDateTime start;
    QDateTime end;
    QJsonArray tests;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    if (!RequestArguments::parseLocalDay(dateString, &start, &end)) {
        qInfo() << "Tests of a day: not a date:" << dateString;
        rc = XrfErrorInfo::InvalidArgument;
    } else {
        rc = ResultQueries(workingHandle())
                     .tests(start, true, end, false, calendarNotesEnabled(), &tests);
    }
    emit queryDone(XrfCommandIds::TestIdsOfDay, id,
                   QJsonDocument(QJsonObject { { QStringLiteral("testIds"), tests } }), rc);
    return rc;
}

XrfErrorInfo::XrfError DatabaseManager::latestTestIds(int cmdId, int number)
{
    QJsonArray tests;
    const XrfErrorInfo::XrfError rc
            = ResultQueries(workingHandle()).latestTests(number, calendarNotesEnabled(), &tests);
    // Answered also when the query failed: a host waits for every answer (4).
    if (cmdId != -1)
        emit queryDone(XrfCommandIds::LatestTestIds, cmdId,
                       QJsonDocument(QJsonObject { { QStringLiteral("tidInfo"), tests } }), rc);
    return rc;
}

XrfErrorInfo::XrfError DatabaseManager::testsBetweenDates(QString from, QString to,
                                                          QJsonArray *tests)
{
    QDateTime lower;
    QDateTime upper;
    if (!tests || !RequestArguments::parseDateTime(from, &lower)
        || !RequestArguments::parseDateTime(to, &upper))
        return XrfErrorInfo::InvalidArgument;
    return ResultQueries(workingHandle())
            .tests(lower, false, upper, true, calendarNotesEnabled(), tests);
}

// --- Deletion ---------------------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::deleteSelection(const QList<int> &ids, int commandId,
                                                        int id, bool mayErase)
{
    const int answerId
            = commandId == XrfCommandIds::DeleteByDate ? XrfCommandIds::DeleteByTestIds : commandId;
    if (m_readOnly) {
        emit queryDone(answerId, id, QJsonDocument(QJsonObject()), XrfErrorInfo::DbOpenFailed);
        return XrfErrorInfo::DbOpenFailed;
    }
    QSqlDatabase db = workingHandle();
    ResultDeleter deleter(db, imageFolder());
    bool everything = false;
    XrfErrorInfo::XrfError rc
            = mayErase ? deleter.selectsEverything(ids, &everything) : XrfErrorInfo::NoError;
    if (rc == XrfErrorInfo::NoError && everything) {
        rc = eraseAllResults();
        emit queryDone(commandId, id, QJsonDocument(), rc);
        fetchCalendar(-1);
        return rc;
    }
    if (rc == XrfErrorInfo::NoError)
        rc = deleter.deleteTests(ids);
    XrfString answer;
    answer.setXrfString(RequestArguments::joinTestIds(ids));
    emit queryDone(answerId, id, QJsonDocument(answer.toJsonObject()), rc);
    fetchCalendar(-1);
    return rc;
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsByTestIds(QString testIds, int id)
{
    QList<int> ids;
    if (!RequestArguments::parseTestIds(testIds, &ids)) {
        qInfo() << "Not a list of test ids:" << testIds;
        emit queryDone(XrfCommandIds::DeleteByTestIds, id, QJsonDocument(QJsonObject()),
                       XrfErrorInfo::InvalidArgument);
        return XrfErrorInfo::InvalidArgument;
    }
    return deleteSelection(ids, XrfCommandIds::DeleteByTestIds, id, false);
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsByDate(QString dateList, QString tidList,
                                                               int id)
{
    QList<int> ids;
    if (!ResultQueries(workingHandle()).selectTests(dateList, tidList, &ids)) {
        emit queryDone(XrfCommandIds::DeleteByDate, id, QJsonDocument(QJsonObject()),
                       XrfErrorInfo::InvalidArgument);
        return XrfErrorInfo::InvalidArgument;
    }
    return deleteSelection(ids, XrfCommandIds::DeleteByDate, id, true);
}

XrfErrorInfo::XrfError DatabaseManager::deleteAllResultsWithOption(XrfExportParam param, int id)
{
    QList<int> ids;
    QList<RequestArguments::DateRange> ranges;
    bool valid = RequestArguments::parseTestIds(param.tidList(), &ids);
    for (const XrfDateTimeRange &range : param.dateRangeList()) {
        qDebug() << "DatabaseManager::deleteAllResultsWithOption" << range.startDateTime()
                 << range.endDateTime();
        valid = valid && range.startDateTime().isValid() && range.endDateTime().isValid();
        ranges.append({ RequestArguments::withinStoredYears(range.startDateTime()),
                        RequestArguments::withinStoredYears(range.endDateTime()) });
    }
    if (!valid || !ResultQueries(workingHandle()).addTestIdsOfRanges(ranges, &ids)) {
        emit queryDone(id, id, QJsonDocument(QJsonObject()), XrfErrorInfo::InvalidArgument);
        return XrfErrorInfo::InvalidArgument;
    }
    return deleteSelection(ids, id, id, true);
}

XrfErrorInfo::XrfError DatabaseManager::eraseAllResults()
{
    const QString dataPath = m_instrumentDataPath;
    return ResultDeleter(workingHandle(), imageFolder())
            .eraseFile(
                    databaseFilePath(), [this] { closeDatabase(); },
                    [this, dataPath](bool asNew) {
                        return asNew && XrfUtils::faultPointArmed("erase-open-fail")
                                ? XrfErrorInfo::DbOpenFailed
                                : openDB(dataPath);
                    });
}

// --- Averaged results -------------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::createAveragedResult(int id, QString testNames,
                                                             QString newTidName)
{
    ResultAverager averager(reader(), m_queuedResultLookup); // (6)
    QList<int> ids;
    XrfErrorInfo::XrfError rc = averager.resolve(testNames, &ids);
    XrfKorviResult averaged;
    if (rc == XrfErrorInfo::NoError) {
        QString currentMethod;
        XrfMethodManager::instance()->getCurrentMethod(&currentMethod);
        rc = averager.average(ids, newTidName, currentMethod,
                              XrfMethodManager::instance()->getMethodOverrideObject(), &averaged);
    }
    if (rc != XrfErrorInfo::NoError) {
        emit queryDone(XrfCommandIds::AveragedResult, id, QJsonDocument(QJsonObject()), rc);
        return rc;
    }
    emit averagedResultComputed(averaged, id);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::createAveragedResultByDate(QString dateList,
                                                                   QString tidList, int id,
                                                                   QString newTidName)
{
    QList<int> ids;
    if (!ResultQueries(workingHandle()).selectTests(dateList, tidList, &ids)) {
        emit queryDone(XrfCommandIds::AveragedResult, id, QJsonDocument(QJsonObject()),
                       XrfErrorInfo::InvalidArgument);
        return XrfErrorInfo::InvalidArgument;
    }
    return createAveragedResult(id, RequestArguments::joinTestIds(ids), newTidName);
}

// --- Exchange with a PC: the JSON object stream ---------------------------------------

XrfErrorInfo::XrfError DatabaseManager::getAllResultsFromTestDateTime(
        QString fromTestDateTime, QString toTestDateTime, QString tidList, QString outFileName,
        int *numOfResultsCaptured, int *numOfResults, QString *status, uint limit)
{
    setAbortFlag(false);
    if (numOfResultsCaptured)
        *numOfResultsCaptured = 0;
    if (limit == 1 && toTestDateTime.isEmpty())
        toTestDateTime
                = QDateTime::currentDateTimeUtc().toString(XrfAnalysisResult::dateTimeFormat);
    if (ExchangeFiles::isRefusedOutput(outFileName, m_instrumentDataPath, databaseFilePath())) {
        qWarning() << "A stream of results is never written to" << outFileName;
        return XrfErrorInfo::FileCreateFailed;
    }
    ResultStreamWriter::Outcome outcome;
    ResultStreamWriter writer(reader(), imageFolder(), [this] { return isAbortFlagSet(); });
    const XrfErrorInfo::XrfError rc = writer.run(
            { fromTestDateTime, toTestDateTime, tidList, outFileName, limit }, &outcome);
    if (status && !outcome.status.isEmpty())
        *status = outcome.status;
    if (rc == XrfErrorInfo::NoError) {
        if (numOfResultsCaptured)
            *numOfResultsCaptured = outcome.captured;
        if (numOfResults)
            *numOfResults = outcome.found;
    }
    return rc;
}

XrfErrorInfo::XrfError DatabaseManager::openJsFile(QString jsFile)
{
    m_jsFile.reset(new QFile(jsFile));
    if (jsFile.isEmpty() || !m_jsFile->open(QIODevice::ReadOnly)) {
        qWarning() << "Unable to open file: " << jsFile;
        return XrfErrorInfo::FileOpenFailed;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::importResultsFromJsFile(QString jsFile, int numberOfResults,
                                                                QString picturesBeside)
{
    setAbortFlag(false);
    StreamImport::Summary summary;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    if (!m_dbOpen.loadAcquire() || m_readOnly) {
        qWarning() << "No writable results database to import" << jsFile << "into";
        rc = XrfErrorInfo::DbOpenFailed;
    } else {
        rc = openJsFile(jsFile);
    }
    if (rc == XrfErrorInfo::NoError) {
        QSqlDatabase db = workingHandle();
        StreamImport::Context context;
        context.imageFolder = imageFolder();
        context.carrierFile = picturesBeside;
        context.aborted = [this] { return isAbortFlagSet(); };
        context.progress = [this](int done, int total) { emit addedNResultsToDb(done, total); };
        context.storedTestId = [this](const QString &when, const QString &name, int *id) {
            return lookUpStoredTestId(when, name, id);
        };
        rc = StreamImport(db, context)
                     .importFile(m_jsFile.get(), jsFile, numberOfResults, &summary);
        m_jsFile.reset();
    }
    emit resultsImported(summary.stored, summary.skipped, summary.failed, summary.picturesMissing);
    return rc;
}

// --- Exchange with a PC: the mini database --------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::getResultsInSqlDbFromTestDateTime(QString fromTestDateTime,
                                                                          QString outFileName,
                                                                          int *numOfResultsCaptured,
                                                                          int *numOfResults,
                                                                          QString *status)
{
    setAbortFlag(false);
    MiniDatabase::Capture capture;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::DbOpenFailed;
    if (m_dbOpen.loadAcquire()) {
        QSqlDatabase db = workingHandle();
        const auto aborted = [this] { return isAbortFlagSet(); };
        rc = MiniDatabaseBuild(db, m_instrumentDataPath, databaseFilePath(), aborted)
                     .build(fromTestDateTime, outFileName, &capture);
    }
    if (numOfResultsCaptured)
        *numOfResultsCaptured = capture.captured;
    if (numOfResults)
        *numOfResults = capture.found;
    if (status)
        *status = capture.status;
    return rc;
}

XrfErrorInfo::XrfError DatabaseManager::importResultsFromSqlDb(QString sqlDbFile)
{
    setAbortFlag(false);
    MiniDatabase::Counts counts;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::DbOpenFailed;
    if (m_dbOpen.loadAcquire() && !m_readOnly) {
        QSqlDatabase db = workingHandle();
        const auto aborted = [this] { return isAbortFlagSet(); };
        rc = MiniDatabase(db, m_instrumentDataPath, databaseFilePath(), aborted)
                     .merge(sqlDbFile, &counts);
    }
    emit resultsImported(counts.stored, counts.skipped, counts.failed, counts.picturesMissing);
    return rc;
}

// --- Exports --------------------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::exportResults(QStringList testIds,
                                                      XrfTestsSelected::UseSettings use,
                                                      QString *outFile)
{
    QList<int> ids;
    if (!RequestArguments::parseTestIds(testIds, &ids))
        return XrfErrorInfo::InvalidArgument;
    QJsonObject summary;
    const XrfErrorInfo::XrfError rc
            = ExportRun(reader(), m_resultsFilter, exportContext())
                      .writeIntermediate(ids, use, m_exportSettingsInUse, &summary);
    if (outFile)
        *outFile = summary.value(QStringLiteral("intermediateJsFile")).toString();
    return rc;
}

ExportRun::Context DatabaseManager::exportContext(const QJsonObject &job)
{
    ExportRun::Context context;
    context.profilePath = m_profilePath;
    context.instrumentDataPath = m_instrumentDataPath;
    QString dbId;
    QString version;
    getDeviceDbInfo(dbId, version, context.serial, context.model, context.tubeAnode);
    context.nameSerial = DeviceRecord::configuredSerial();
    context.fromPC = m_controllerStatus.loadRelaxed() == 1;
    context.aborted = [this] { return isAbortFlagSet(); };
    context.progress = [this](int done, int total) { emit filterResultsProgress(done, total); };
    // Each export starts without the stop of an earlier one, but with one
    // pressed since it was asked for.
    if (job.contains(QStringLiteral("abortRequests")))
        startAsOf(quint64(job.value(QStringLiteral("abortRequests")).toDouble()));
    else
        setAbortFlag(false);
    return context;
}

void DatabaseManager::runExport(QJsonObject job)
{
    QJsonObject answer;
    const XrfErrorInfo::XrfError rc
            = ExportRun(reader(), m_resultsFilter, exportContext(job)).run(job, &answer);
    emit queryDone(job.value(QStringLiteral("commandId")).toInt(),
                   job.value(QStringLiteral("requestId")).toInt(), QJsonDocument(answer), rc);
}

XrfErrorInfo::XrfError DatabaseManager::exportResultsByDate(QList<XrfDateTimeRange> ranges,
                                                            QStringList testIds,
                                                            XrfTestsSelected::UseSettings use,
                                                            int commandId, int id)
{
    QStringList bounds;
    for (const XrfDateTimeRange &range : ranges)
        bounds << RequestArguments::withinStoredYears(range.startDateTime())
                          .toString(Qt::ISODateWithMs)
               << RequestArguments::withinStoredYears(range.endDateTime())
                          .toString(Qt::ISODateWithMs);
    runExport(ExportRun::job(commandId, id, testIds.join(QLatin1Char(',')),
                             bounds.join(QLatin1Char(',')), use, m_exportSettingsInUse, false,
                             false));
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::performAutoExportIfNecessary(QString testId)
{
    QJsonObject settings;
    XrfMethodManager::instance()->getExportSettings(settings);
    m_resultsFilter.setAutoExport(settings.value(QStringLiteral("export"))
                                          .toObject()
                                          .value(QStringLiteral("autoExport"))
                                          .toBool(false));
    if (!m_resultsFilter.isAutoExport())
        return XrfErrorInfo::NoError;
    runExport(ExportRun::job(XrfCommandIds::AutomaticExport, 5, testId, QString(),
                             XrfTestsSelected::UseExportSettings, settings, false, true));
    return XrfErrorInfo::NoError;
}

void DatabaseManager::doAutoExport(QString testId)
{
    performAutoExportIfNecessary(testId);
}

void DatabaseManager::setExportSettingToUsed(QJsonObject arg)
{
    m_exportSettingsInUse = arg;
}
