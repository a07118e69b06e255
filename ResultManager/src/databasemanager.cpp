// Lifecycle of the results database: paths, open/create, device row, request
// checks, housekeeping, the abort flag, and the id and date queries that the
// rest of the object stands on.
//
// The schema text below is the file format: changing a character changes
// what sqlite_master holds. Statements that carry values from settings,
// results or messages quote them with sqlQuote() (each "'" doubled) or bind
// them; nothing is spliced raw.

#include "databasemanager.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimer>
#include <QUuid>

#include <sqlite3.h>

#include "insdelqueries.h"
#include "resultmanager.h"
#include "xrfanalysisresult.h"
#include "xrfimage.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

namespace XrfTables {
const QString userFactorResult = QStringLiteral("userfactorresult");
const QString testInfo = QStringLiteral("testinfo");
const QString spectrum = QStringLiteral("spectrum");
const QString repeatInfo = QStringLiteral("repeatinfo");
const QString regressionInfo = QStringLiteral("regressioninfo");
const QString plating = QStringLiteral("plating");
const QString gradeMatchSpec = QStringLiteral("gradematchspec");
const QString filterProps = QStringLiteral("filterprops");
const QString elementResult = QStringLiteral("elementresult");
const QString compoundResult = QStringLiteral("compoundresult");
const QString calCheckResult = QStringLiteral("calcheckresult");
const QString averagedResultInfo = QStringLiteral("averagedresultinfo");
const QString analysisResult = QStringLiteral("analysisresult");
const QString rohsActionLevelResult = QStringLiteral("rohsactionlevelresult");
const QString gradeMatch = QStringLiteral("gradematch");
const QString imageResult = QStringLiteral("imageresult");
const QString resultNames = QStringLiteral("resultnames");
const QString rohsResult = QStringLiteral("rohsresult");
const QString coatingResult = QStringLiteral("coatingresult");
const QString devInfo = QStringLiteral("devinfo");
const QString location = QStringLiteral("location");
const QString pseudoElementResult = QStringLiteral("pseudoelementresult");
} // namespace XrfTables

namespace {

const char fkAnalysis[] = "FOREIGN KEY(testId) REFERENCES analysisresult(testId)";

struct TableDefinition
{
    const QString &name;
    QString definitions;
};

// The 22 tables in creation order, each with its column definitions and
// table constraints exactly as created.
QString buildCreationScript()
{
    using namespace XrfTables;
    const QString fk = QLatin1String(fkAnalysis);
    const TableDefinition tables[] = {
        { userFactorResult,
          "id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, "
          "factor REAL NOT NULL, offset REAL NOT NULL, userEntered bool NOT NULL, "
                  + fk },
        { testInfo,
          "id INTEGER PRIMARY KEY NOT NULL, testId INTEGER, label TEXT NOT NULL, "
          "info TEXT NOT NULL, "
                  + fk },
        { spectrum,
          "id INTEGER PRIMARY KEY  NOT NULL, testId INTEGER NOT NULL, exposureNumber INTEGER NOT "
          "NULL, totalExposureNumber Integer NOT NULL, energySlope REAL NOT NULL, energyOffset "
          "REAL NOT NULL, liveTime REAL NOT NULL, probeSerialNumber INTEGER NOT NULL, firstRate "
          "REAL NOT NULL, lastRate REAL NOT NULL, realTime REAL NOT NULL, vacuumPressure INTEGER "
          "NOT NULL, ambientPressure INTEGER NOT NULL, probeTemperature REAL NOT NULL, "
          "tubeCurrentSet REAL NOT NULL, tubeCurrentMonitor REAL NOT NULL, tubeVoltageSet REAL NOT "
          "NULL, tubeVoltageMonitor REAL NOT NULL, ltMultiplier INTEGER NOT NULL, colMultiplier "
          "INTEGER NOT NULL, filterPosition INTEGER NOT NULL, stepIndex INTEGER NOT NULL, "
          "stepTotal INTEGER NOT NULL, liveTimeFromHardware REAL NOT NULL, resetTime REAL NOT "
          "NULL, pileups INTEGER NOT NULL, clipBottom INTEGER NOT NULL, clipTop INTEGER NOT NULL, "
          "topResets INTEGER NOT NULL, fastCounts INTEGER NOT NULL, data BLOB NOT NULL, "
                  + fk },
        { repeatInfo,
          "testId INTEGER, repeatId INTEGER, repeatCount INTEGER, PRIMARY KEY(testId, repeatId), "
                  + fk },
        { regressionInfo,
          "testId INTEGER, historicalTestId INTEGER, PRIMARY KEY(testId, historicalTestId), "
                  + fk },
        { plating, "testId INTEGER, auPlating INTEGER, " + fk },
        { gradeMatchSpec,
          QStringLiteral("id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, gradeName "
                         "TEXT NOT NULL, elementName TEXT NOT NULL, minVal REAL NOT NULL, maxVal "
                         "NOT NULL, matchResult TEXT NOT NULL, FOREIGN KEY(testId,gradeName) "
                         "REFERENCES gradematch(testId,gradeName)") },
        { filterProps,
          QStringLiteral("id integer primary key not null, material integer not null, diameter "
                         "integer not null, thickness integer not null, hasCollimator bool not "
                         "null") },
        { elementResult,
          "testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, concentration REAL NOT NULL, "
          "error REAL NOT NULL, "
                  + fk },
        { compoundResult,
          "id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, "
          "compoundName VARCHAR NOT NULL, factor REAL NOT NULL, "
                  + fk },
        { calCheckResult,
          "testId INTEGER PRIMARY KEY NOT NULL, rate INTEGER NOT NULL, resolution INTEGER NOT "
          "NULL, peak1 INTEGER, peak2 INTEGER, offset REAL NOT NULL, slope REAL NOT NULL, "
          "errorCode INTEGER DEFAULT 0, restandardizeType DEFAULT NULL, "
                  + fk },
        { averagedResultInfo,
          "id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, averagedTestId INTEGER NOT NULL, testId "
          "INTEGER NOT NULL, "
                  + fk },
        { analysisResult,
          QStringLiteral("testId INTEGER PRIMARY KEY NOT NULL, testDateTime TEXT NOT NULL, "
                         "statusId INTEGER NOT NULL, final INTEGER, testType TEXT references "
                         "testtype NOT NULL DEFAULT 'NORMAL', methodId TEXT NOT NULL DEFAULT '', "
                         "methodFamilyName INTEGER DEFAULT -1, methodDispName TEXT NOT NULL "
                         "DEFAULT '', collimated INTEGER DEFAULT -1, dailyId INTEGER DEFAULT -1, "
                         "userId TEXT DEFAULT '', tidName TEXT NOT NULL DEFAULT '', testErrorInfo "
                         "TEXT") },
        { rohsActionLevelResult,
          "id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, "
          "actionLevel INTEGER DEFAULT 0, "
                  + fk },
        { gradeMatch,
          "testId INTEGER NOT NULL, gradeName TEXT NOT NULL, matchNumber REAL NOT NULL, "
          "matchNSigma REAL, compGrade INTEGER, nominalFactor REAL, passFailCutOff REAL, "
          "passFailNSigma REAL, passFailShowMatchNumber INTEGER, matchMessage TEXT, PRIMARY "
          "KEY(testId, gradeName,passFailCutOff), "
                  + fk },
        { imageResult,
          QStringLiteral("id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, fileName "
                         "VARCHAR NOT NULL, imageType TEXT references imagetype NOT NULL DEFAULT "
                         "'INLINE', cropAreaTop REAL, cropAreaLeft REAL, cropAreaWidth REAL, "
                         "cropAreaHeight REAL, collimatorSpotX REAL, collimatorSpotY REAL, "
                         "thumbNail BLOB, latitude REAL, longitude REAL, imageHasCircle bool not "
                         "null, FOREIGN KEY (testId) REFERENCES analysisresult(testId )") },
        { resultNames, "testId INTEGER, type INTEGER, name TEXT, " + fk },
        { rohsResult,
          "testId INTEGER, rohsClassification INTEGER, rohsActionLevel INTEGER, "
          "rohsActionLevelName TEXT, "
                  + fk },
        { coatingResult,
          "testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, layerOrder INTEGER NOT NULL, "
          "factor REAL NOT NULL, thickness REAL NOT NULL, error REAL NOT NULL, density REAL NOT "
          "NULL, " + fk },
        { devInfo,
          QStringLiteral("id INTEGER PRIMARY KEY NOT NULL, dbId VARCHAR NOT NULL, dbVersion "
                         "VARCHAR NOT NULL, devSerialNum VARCHAR, model VARCHAR, tubeAnode "
                         "VARCHAR") },
        { location,
          "id INTEGER PRIMARY KEY NOT NULL, testId INTEGER NOT NULL, latitude REAL, longitude "
          "REAL, elevation REAL, "
                  + fk },
        { pseudoElementResult,
          "testId INTEGER NOT NULL, elementName VARCHAR NOT NULL, formula VARCHAR NOT NULL, "
          "notApplicable bool not null, concentration REAL NOT NULL, error REAL NOT NULL, "
                  + fk },
    };
    QStringList statements;
    for (const TableDefinition &table : tables)
        statements << QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2)")
                              .arg(table.name, table.definitions);
    return statements.join(QLatin1Char(';'));
}

QString buildIndexScript()
{
    using namespace XrfTables;
    const struct
    {
        const char *index;
        const QString &table;
        const char *columns;
    } indices[] = {
        { "elementresultindex", elementResult, "testId,elementName" },
        { "gradematchindex", gradeMatch, "testId,gradeName" },
        { "gradematchspecindex", gradeMatchSpec, "testId,elementName" },
        { "spectrumindex", spectrum, "testId" },
        { "testinfoindex", testInfo, "testId" },
        { "repeatinfoindex", repeatInfo, "testId" },
        { "compoundresultindex", compoundResult, "testId,elementName" },
        { "analysisresultindex", analysisResult, "testId" },
        { "rohsactionlevelresultindex", rohsActionLevelResult, "testId" },
        { "imageresultindex", imageResult, "testId" },
        { "resultnamesindex", resultNames, "testId" },
        { "rohsresultindex", rohsResult, "testId" },
        { "userfactorresultindex", userFactorResult, "testId" },
        { "coatingresultindex", coatingResult, "testId" },
        { "locationindex", location, "testId" },
        { "pseudoelementresultindex", pseudoElementResult, "testId" },
    };
    QStringList statements;
    for (const auto &i : indices)
        statements << QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (%3)")
                              .arg(QLatin1String(i.index), i.table, QLatin1String(i.columns));
    return statements.join(QLatin1Char(';'));
}

// QSqlQuery steps a statement without result columns only once, and
// incremental_vacuum frees one page per step; the driver's own handle runs
// it to the end.
void runToCompletion(QSqlDatabase &db, const QString &statement)
{
    const QVariant handle = db.driver()->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        sqlite3 *raw = *static_cast<sqlite3 *const *>(handle.constData());
        if (raw) {
            sqlite3_exec(raw, statement.toUtf8().constData(), nullptr, nullptr, nullptr);
            return;
        }
    }
    QSqlQuery(db).exec(statement);
}

// Runs each ";"-separated statement of a script; a failing one is logged
// and skipped, the others still run.
bool runScript(QSqlDatabase &db, const QString &script, const char *failure)
{
    bool ok = true;
    const QStringList statements = script.split(QLatin1Char(';'));
    for (const QString &piece : statements) {
        const QString statement = piece.trimmed();
        if (statement.isEmpty())
            continue;
        QSqlQuery q(db);
        if (!q.exec(statement)) {
            qInfo() << failure << statement;
            ok = false;
        }
        q.finish();
    }
    return ok;
}

// The slice report of the incremental vacuum belongs to the process.
qint64 s_vacuumReportStep = 0;
qint64 s_vacuumLastReported = 0;

} // namespace

const QString DatabaseManager::connectionName = QStringLiteral("XrfDb");
const QString DatabaseManager::schemaVersion = QStringLiteral("6.3");
const QString DatabaseManager::creationScript = buildCreationScript();
const QString DatabaseManager::indexScript = buildIndexScript();
const QStringList DatabaseManager::pragmas
        = { QStringLiteral("PRAGMA page_size=4096"), QStringLiteral("PRAGMA synchronous=NORMAL"),
            QStringLiteral("PRAGMA temp_store=MEMORY"),
            QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL") };

DatabaseManager::DatabaseManager(QObject *parent) : QObject(parent)
{
    // Members that must follow this object onto the worker thread.
    m_hdfFile.setParent(this);
    m_resultsFilter.setParent(this);
    connect(&m_hdfFile, &HdfFile::errorSignal, this,
            [](const QString &msg) { qWarning() << "Day record:" << msg; });
}

DatabaseManager::~DatabaseManager()
{
    closeDatabase();
    m_hdfFile.setParent(nullptr);
    m_resultsFilter.setParent(nullptr);
}

QSqlDatabase DatabaseManager::workingHandle()
{
    m_workingHandle = QSqlDatabase::database(connectionName, true);
    return m_workingHandle;
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
    QDate day;
    qint64 counter = 0;
    const XrfErrorInfo::XrfError rc = m_hdfFile.read(day, counter);
    if (rc != XrfErrorInfo::NoError) {
        qInfo() << "Error getting the testId from Hdf File. The Hdf file may be corrupt.";
        return rc;
    }
    m_day = day;
    m_dayCounter = counter;
    if (!m_day.isValid() || m_day != QDate::currentDate()) {
        m_day = QDate::currentDate();
        m_dayCounter = 1;
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

QString DatabaseManager::serialNumber() const
{
    QJsonObject config;
    if (XrfSettingsManager::instance()->getUniversalSetting(QStringLiteral("hardware.config"),
                                                            &config)
        == 0) {
        const QJsonValue serial = config.value(QStringLiteral("insSerialNumber"));
        if (serial.isString())
            return serial.toString();
    }
    return QStringLiteral("123456");
}

XrfErrorInfo::XrfError DatabaseManager::openDB(QString path)
{
    if (m_dbOpen.loadAcquire())
        return XrfErrorInfo::NoError;
    if (path.isEmpty())
        return XrfErrorInfo::InvalidArgument;

    if (QSqlDatabase::contains(connectionName)) {
        // Left over from a failed open; nothing holds it.
        m_openHandle = QSqlDatabase();
        m_workingHandle = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }
    m_openHandle = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);

    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    m_instrumentDataPath = path;
    m_dbFolder = path + QStringLiteral("db/");

    bool folderCreated = false;
    QDir dbDir(m_dbFolder);
    if (!dbDir.exists()) {
        dbDir.mkpath(QStringLiteral("."));
        folderCreated = true;
    }

    m_dbFileName = serialNumber() + QStringLiteral(".sqlite");
    const QString filePath = m_dbFolder + m_dbFileName;
    const bool fileExisted = QFileInfo::exists(filePath);
    // A card, folder or file marked read-only is opened for reading only, so
    // that results can still be looked at; storing then fails visibly.
    m_readOnly = fileExisted
            && (!XrfUtils::isMarkedWritable(filePath) || !XrfUtils::isMarkedWritable(m_dbFolder));
    m_openHandle.setConnectOptions(
            QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1%2")
                    .arg(30000)
                    .arg(m_readOnly ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
    m_openHandle.setDatabaseName(filePath);

    // SQLite opens lazily: a file that is not a database only shows it at
    // the first read, so read the schema before anything writes to it.
    bool opened = m_openHandle.open();
    int tableCount = 0;
    QString driverText;
    if (opened) {
        QSqlQuery probe(m_openHandle);
        if (probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='table'"))
            && probe.next()) {
            tableCount = probe.value(0).toInt();
        } else {
            opened = false;
            driverText = probe.lastError().text();
        }
    } else {
        driverText = m_openHandle.lastError().text();
    }
    if (opened && tableCount > 0) {
        const QString version = storedSchemaVersion();
        if (version != schemaVersion) {
            opened = false;
            driverText = version.isEmpty()
                    ? QStringLiteral("it holds tables but no device row")
                    : QStringLiteral("its schema version is %1, this software reads %2")
                              .arg(version, schemaVersion);
        }
    }

    if (!opened) {
        qInfo() << "Failed to open SQL Database at location " << filePath;
        m_lastError.setExtendedErrorInfo(driverText);
        m_lastError.setErrorCode(XrfErrorInfo::DbOpenFailed);
        qInfo() << "Sql error when opening the database is " << driverText;
        qWarning() << "The results database" << filePath << "cannot be used:" << driverText
                   << "- it is left as it is";
        m_openHandle.close();
        m_openHandle = QSqlDatabase();
        m_workingHandle = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
        return XrfErrorInfo::DbOpenFailed;
    }

    if (m_readOnly) {
        qWarning() << "The results database" << filePath
                   << "is read-only: results can be read, not stored";
    } else if (folderCreated || !fileExisted || tableCount == 0) {
        // A file that exists but never got its tables (cut off right after
        // it was made) is created like a new one.
        createTablesInDatabase(true);
        if (folderCreated)
            XrfUtils::syncFolder(path); // the new folder's entry
    } else {
        upgradeDb(serialNumber(), false, filePath);
    }
    if (!m_readOnly)
        createDbIndices();
    QSqlDatabase db = workingHandle();
    for (const QString &pragma : pragmas)
        if (!m_readOnly)
            QSqlQuery(db).exec(pragma);

    if (m_testTypes.isEmpty()) {
        m_testTypes.insert(QStringLiteral("NORMAL"), 0);
        m_testTypes.insert(QStringLiteral("AVERAGED"), 1);
        m_testTypes.insert(QStringLiteral("REPEAT"), 2);
        m_testTypes.insert(QStringLiteral("REGRESSION"), 3);
        m_testTypes.insert(QStringLiteral("CALCHECK"), 4);
    }
    getLatestTestId(&m_lastTestId);

    if (!m_vacuumTimer) {
        // Parented so that it dies with this object on its own thread.
        m_vacuumTimer = new QTimer(this);
        m_vacuumTimer->setInterval(m_vacuumInterval);
        connect(m_vacuumTimer, &QTimer::timeout, this, &DatabaseManager::onVacuumTimerTimeout);
    }
    m_lastError = XrfErrorInfo();
    m_dbOpen.storeRelease(1);
    return XrfErrorInfo::NoError;
}

void DatabaseManager::closeDatabase()
{
    if (!m_dbOpen.loadAcquire())
        return;
    qInfo() << "Closing the Sql database.";
    if (m_vacuumTimer && m_vacuumTimer->isActive())
        m_vacuumTimer->stop();
    s_vacuumLastReported = 0;
    m_openHandle.close();
    m_workingHandle.close();
    m_openHandle = QSqlDatabase();
    m_workingHandle = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
    m_dbOpen.storeRelease(0);
}

bool DatabaseManager::createTablesInDatabase(bool setPragmas)
{
    QSqlDatabase db = workingHandle();
    if (setPragmas) {
        for (const QString &pragma : pragmas)
            QSqlQuery(db).exec(pragma);
    }
    // Tables and device row are one transaction: a creation cut off halfway
    // leaves no table, and the next open creates them all.
    db.transaction();
    const bool ok = runScript(db, creationScript, "Failed to create a new table with query ");
    QString dbId, dbVersion, serial, model, anode;
    getDeviceDbInfo(dbId, dbVersion, serial, model, anode);
    if (dbId.isEmpty()) {
        // No row could be made above; try once more with what the settings
        // know now.
        if (serial.isEmpty())
            readDeviceConfiguration(serial, model, anode);
        if (!serial.isEmpty())
            insertDeviceRow(serial, model, anode);
    }
    db.commit();
    db.close();
    return ok;
}

bool DatabaseManager::createDbIndices()
{
    QSqlDatabase db = workingHandle();
    const bool ok = runScript(db, indexScript, "Create an index query failed.");
    qInfo() << "Index tables created in Sql database.";
    return ok;
}

// The version in the device row, or empty when there is no device row. A
// file of another version is never opened: until older files can be
// upgraded, writing to one would fail on every result, and stamping it
// would hide its real version from a later upgrade.
QString DatabaseManager::storedSchemaVersion()
{
    QSqlQuery q(m_openHandle);
    if (q.exec(QStringLiteral("SELECT dbVersion FROM ") + XrfTables::devInfo) && q.next())
        return q.value(0).toString();
    return QString();
}

XrfErrorInfo::XrfError DatabaseManager::upgradeDb(QString serialNumber, bool force, QString dbFile)
{
    // Files of this schema need nothing (openDB() refuses every other
    // version); older schemas are brought up by migration steps once they
    // exist.
    Q_UNUSED(serialNumber);
    Q_UNUSED(force);
    Q_UNUSED(dbFile);
    return XrfErrorInfo::NoError;
}

// --- Device row ---------------------------------------------------------------

void DatabaseManager::readDeviceConfiguration(QString &serial, QString &model, QString &anode) const
{
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    QJsonObject config;
    if (settings->getUniversalSetting(QStringLiteral("hardware.config"), &config) == 0) {
        if (config.value(QStringLiteral("insSerialNumber")).isString())
            serial = config.value(QStringLiteral("insSerialNumber")).toString();
        if (config.value(QStringLiteral("tubeAnode")).isString())
            anode = config.value(QStringLiteral("tubeAnode")).toString();
    }
    QJsonObject modelGroup;
    if (settings->getUniversalSetting(QStringLiteral("hardware.instrumentModel"), &modelGroup) == 0
        && !modelGroup.isEmpty()) {
        model = modelGroup.value(QStringLiteral("model")).toString();
    }
}

XrfErrorInfo::XrfError DatabaseManager::getDeviceDbInfo(QString &dbId, QString &dbVersion,
                                                        QString &serial, QString &model,
                                                        QString &anode)
{
    using InsDelQueries::sqlQuote;
    readDeviceConfiguration(serial, model, anode);
    QSqlDatabase db = workingHandle();
    QSqlQuery q(db);
    q.exec(QStringLiteral("select dbId,dbVersion,devSerialNum,model,tubeAnode from ")
           + XrfTables::devInfo + QStringLiteral(";"));
    if (q.next()) {
        dbId = q.value(0).toString();
        dbVersion = q.value(1).toString();
        const QString rowSerial = q.value(2).toString();
        if (serial.isEmpty()) {
            serial = rowSerial;
            model = q.value(3).toString();
            anode = q.value(4).toString();
        } else if (serial != rowSerial) {
            q.finish();
            QSqlQuery update(db);
            update.exec(QStringLiteral("UPDATE ") + XrfTables::devInfo
                        + QStringLiteral(" SET devSerialNum=") + sqlQuote(serial)
                        + QStringLiteral(",model=") + sqlQuote(model)
                        + QStringLiteral(",tubeAnode=") + sqlQuote(anode)
                        + QStringLiteral(" WHERE devSerialNum=") + sqlQuote(rowSerial)
                        + QStringLiteral(";"));
        }
        return XrfErrorInfo::NoError;
    }
    q.finish();

    if (serial.isEmpty()) {
        serial = QStringLiteral(" ");
        model = QStringLiteral(" ");
        anode = QStringLiteral(" ");
    }
    const QString newId = insertDeviceRow(serial, model, anode);
    if (newId.isEmpty())
        return XrfErrorInfo::DbQueryFailed;
    dbId = newId;
    dbVersion = schemaVersion;
    return XrfErrorInfo::NoError;
}

QString DatabaseManager::insertDeviceRow(const QString &serial, const QString &model,
                                         const QString &anode)
{
    using InsDelQueries::sqlQuote;
    const QString newId = QUuid::createUuid().toString();
    QSqlQuery insert(workingHandle());
    if (!insert.exec(QStringLiteral("INSERT into ") + XrfTables::devInfo
                     + QStringLiteral(" (dbId,dbVersion,devSerialNum,model,tubeAnode) VALUES (")
                     + sqlQuote(newId) + ',' + sqlQuote(schemaVersion) + ',' + sqlQuote(serial)
                     + ',' + sqlQuote(model) + ',' + sqlQuote(anode) + QStringLiteral(");"))) {
        qDebug() << "SQL Query failed: " << insert.lastError().text();
        return QString();
    }
    return newId;
}

XrfErrorInfo::XrfError DatabaseManager::reportDbInfo()
{
    QJsonObject info;
    info.insert(QStringLiteral("dbVersion"), schemaVersion);
    emit XrfResultManager::instance()->dbInfo(info);
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
            s_vacuumLastReported = 0;
        }
        return;
    }
    QSqlDatabase db = workingHandle();
    {
        QSqlQuery mode(db);
        if (!mode.exec(QStringLiteral("PRAGMA auto_vacuum;")) || !mode.next()
            || mode.value(0).toInt() != 2)
            return;
    }
    qint64 freeList = 0;
    {
        QSqlQuery count(db);
        if (count.exec(QStringLiteral("PRAGMA freelist_count;")) && count.next())
            freeList = count.value(0).toLongLong();
    }
    if (freeList <= 0) {
        if (m_vacuumTimer)
            m_vacuumTimer->stop();
        s_vacuumLastReported = 0;
        return;
    }

    QElapsedTimer clock;
    clock.start();
    db.transaction();
    runToCompletion(db, QStringLiteral("PRAGMA incremental_vacuum(10000);"));
    db.commit();
    db.close();
    const qint64 elapsed = clock.elapsed();

    if (m_vacuumTimer && !m_vacuumTimer->isActive()) {
        m_vacuumTimer->start();
        s_vacuumReportStep = qint64(freeList * 0.1);
        s_vacuumLastReported = freeList + s_vacuumReportStep;
    }
    if (s_vacuumLastReported - freeList >= s_vacuumReportStep) {
        qInfo() << "Incrementally vacumming the database in " << elapsed
                << " msecs. freelist size is " << freeList;
        s_vacuumLastReported = freeList;
    }
}

void DatabaseManager::onVacuumTimerTimeout()
{
    vacuumTheDb(true);
}

void DatabaseManager::run() { }

// --- Abort flag -------------------------------------------------------------------

void DatabaseManager::setAbortFlag(bool value)
{
    QMutexLocker lock(&m_abortMutex);
    m_abortFlag = value;
}

void DatabaseManager::abortCurrentDbOperation()
{
    setAbortFlag(true);
}

bool DatabaseManager::isAbortFlagSet()
{
    QMutexLocker lock(&m_abortMutex);
    return m_abortFlag;
}

// --- Id and date queries ------------------------------------------------------------

XrfErrorInfo::XrfError DatabaseManager::getLatestTestId(int *tid)
{
    if (!tid)
        return XrfErrorInfo::InvalidArgument;
    QSqlQuery q(workingHandle());
    *tid = 0;
    if (q.exec(QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
               + QStringLiteral(" ORDER BY testId DESC LIMIT 1;"))
        && q.next())
        *tid = q.value(0).toInt();
    return XrfErrorInfo::NoError;
}

void DatabaseManager::testIdExists(int tid, bool *exists)
{
    if (!exists)
        return;
    *exists = false;
    QSqlQuery q(workingHandle());
    if (!q.exec(QStringLiteral("select testId from %1 where testId = '%2';")
                        .arg(XrfTables::analysisResult)
                        .arg(tid)))
        return;
    while (q.next()) {
        if (q.value(0).toInt() == tid)
            *exists = true;
    }
}

XrfErrorInfo::XrfError DatabaseManager::getLastTestDateTime(QString *testDateTime)
{
    if (!testDateTime)
        return XrfErrorInfo::InvalidArgument;
    testDateTime->clear();
    QSqlQuery q(workingHandle());
    if (q.exec(QStringLiteral("SELECT testDateTime FROM ") + XrfTables::analysisResult
               + QStringLiteral(" ORDER BY testDateTime DESC LIMIT 1;"))
        && q.next())
        *testDateTime = q.value(0).toString();
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::getTestIdsBetweenDates(const QString &from,
                                                               const QString &to, QString *testIds,
                                                               quint32 limit)
{
    using InsDelQueries::sqlQuote;
    QString statement = QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
            + QStringLiteral(" WHERE datetime(testDateTime) > datetime(") + sqlQuote(from)
            + QStringLiteral(") AND datetime(testDateTime) <= ") + sqlQuote(to)
            + QStringLiteral(" ORDER BY datetime(testDateTime)");
    if (limit > 0)
        statement += QStringLiteral(" LIMIT %1").arg(limit);
    statement += QLatin1Char(';');

    QSqlQuery q(workingHandle());
    if (!q.exec(statement)) {
        qDebug() << "SQL Query failed with error: " << q.lastError().text();
        qDebug() << "Failed SQL query is " << statement;
        return XrfErrorInfo::DbQueryFailed;
    }
    QStringList ids;
    while (q.next())
        ids << QString::number(q.value(0).toInt());
    if (testIds && !ids.isEmpty()) {
        if (!testIds->isEmpty())
            testIds->append(QLatin1Char(','));
        testIds->append(ids.join(QLatin1Char(',')));
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::getRecordCount(int *count)
{
    QSqlQuery q(workingHandle());
    if (!q.exec(QStringLiteral("select count(testId) from ") + XrfTables::analysisResult
                + QStringLiteral(";"))
        || !q.next())
        return XrfErrorInfo::DbQueryFailed;
    if (count)
        *count = q.value(0).toInt();
    return XrfErrorInfo::NoError;
}

// --- Full result reader -------------------------------------------------------------
//
// Rebuilds a result from its rows in a fixed order: the names rows address
// spectra by index (so they come after the spectra) and set the pseudo
// element configuration name that gates the pseudo element rows.

XrfErrorInfo::XrfError DatabaseManager::readAnalysis(int testId, XrfKorviResult *result)
{
    QSqlDatabase db = workingHandle();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("select ")
                + QStringLiteral("testId,testDateTime,statusId,final,testType,methodId,"
                                 "methodFamilyName,methodDispName,collimated,dailyId,tidName,"
                                 "testErrorInfo,userId")
                + QStringLiteral(" from ") + XrfTables::analysisResult
                + QStringLiteral(" where testId = '") + QString::number(testId)
                + QStringLiteral("'"))
        || !q.next()) {
        qDebug() << "Failed to get analysis result for tid " << testId;
        return XrfErrorInfo::ResultNotFound;
    }
    XrfAnalysisResult &a = result->analysis();
    a.setTestId(q.value(0).toInt());
    QDateTime when = QDateTime::fromString(q.value(1).toString(),
                                           QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    when.setTimeSpec(Qt::UTC);
    a.setTestDateTime(when);
    a.setStatusId(q.value(2).toInt());
    a.setFinal(q.value(3).toInt() != 0);
    a.setTestType(q.value(4).toString());
    a.setMethodId(q.value(5).toString());
    a.setMethodFamilyName(q.value(6).toInt());
    a.setMethodDispName(q.value(7).toString());
    a.setCollimatedStatusInt(q.value(8).toInt());
    a.setCollimated(q.value(8).toInt() == 1);
    a.setDailyId(q.value(9).toInt());
    a.setTidName(q.value(10).toString());
    a.setTestErrorInfo(q.value(11).toString());
    a.setUserId(q.value(12).toString());

    QSqlQuery loc(db);
    if (loc.exec(QStringLiteral("select latitude,longitude,elevation from %1 where testId = %2")
                         .arg(XrfTables::location)
                         .arg(testId))
        && loc.next()) {
        a.setLatitude(loc.value(0).toDouble());
        a.setLongitude(loc.value(1).toDouble());
        a.setElevation(loc.value(2).toDouble());
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::getFilterProps(XrfSpectrum *spectrum)
{
    QSqlQuery q(workingHandle());
    const QString statement
            = QStringLiteral("select %1 from filterprops where id = %2;")
                      .arg(QStringLiteral("material,diameter,thickness,hasCollimator"))
                      .arg(spectrum->filterPosition());
    if (!q.exec(statement)) {
        qDebug() << "SQL Query failed: " << statement << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    if (q.next()) {
        XrfFilterProperties &f = spectrum->filter();
        f.setMaterialAtomicNumber(quint16(q.value(0).toUInt()));
        f.setDiameterInMicrons(quint16(q.value(1).toUInt()));
        f.setThicknessInMicrons(quint16(q.value(2).toUInt()));
        f.setHasCollimator(q.value(3).toInt() != 0);
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::getSpectra(int testId, QList<XrfSpectrum> *spectra)
{
    QSqlQuery q(workingHandle());
    q.setForwardOnly(true);
    const QString statement
            = QStringLiteral("SELECT exposureNumber,totalExposureNumber,energySlope,energyOffset,"
                             "liveTime,liveTimeFromHardware,resetTime,fastCounts,probeSerialNumber,"
                             "firstRate,lastRate,realTime,")
            + QStringLiteral("vacuumPressure,ambientPressure,probeTemperature,tubeCurrentSet,"
                             "tubeCurrentMonitor,tubeVoltageSet,tubeVoltageMonitor,ltMultiplier,"
                             "colMultiplier,filterPosition,")
            + QStringLiteral("pileups,clipBottom,clipTop,topResets,stepIndex,stepTotal,data from ")
            + XrfTables::spectrum + QStringLiteral(" where testId = '") + QString::number(testId)
            + QStringLiteral("'");
    if (!q.exec(statement)) {
        qDebug() << "SQL Query failed: " << statement << q.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    while (q.next()) {
        XrfSpectrum sp;
        int c = 0;
        sp.setExposureNumber(q.value(c++).toInt());
        sp.setTotalExposureNumber(q.value(c++).toInt());
        sp.setEnergySlope(q.value(c++).toDouble());
        sp.setEnergyOffset(q.value(c++).toDouble());
        sp.setLiveTime(q.value(c++).toDouble());
        sp.setLiveTimeFromHardware(q.value(c++).toDouble());
        sp.setResetTime(q.value(c++).toDouble());
        sp.setFastCounts(q.value(c++).toULongLong());
        sp.setProbeSerialNumber(q.value(c++).toInt());
        sp.setFirstRate(q.value(c++).toDouble());
        sp.setLastRate(q.value(c++).toDouble());
        sp.setRealTime(q.value(c++).toDouble());
        sp.setVacuumPressure(q.value(c++).toInt());
        sp.setAmbientPressureMillibars(q.value(c++).toInt());
        sp.setProbeTemperature(q.value(c++).toDouble());
        sp.setTubeCurrentSet(q.value(c++).toDouble());
        sp.setTubeCurrentMonitor(q.value(c++).toDouble());
        sp.setTubeVoltageSet(q.value(c++).toDouble());
        sp.setTubeVoltageMonitor(q.value(c++).toDouble());
        sp.setLtMultiplier(q.value(c++).toInt());
        sp.setColMultiplier(q.value(c++).toInt());
        sp.setFilterPosition(q.value(c++).toInt());
        sp.setPileups(q.value(c++).toInt());
        sp.setClipBottom(q.value(c++).toInt());
        sp.setClipTop(q.value(c++).toInt());
        sp.setTopResets(q.value(c++).toInt());
        sp.setStepIndex(q.value(c++).toInt());
        sp.setStepTotal(q.value(c++).toInt());
        QString hex = q.value(c++).toString();
        if (hex.startsWith(QLatin1String("0x")))
            hex.remove(0, 2);
        sp.fromByteArrayToInt(QByteArray::fromHex(hex.toLatin1()), true);
        getFilterProps(&sp);
        spectra->append(sp);
    }
    return XrfErrorInfo::NoError;
}

void DatabaseManager::readNames(int testId, XrfKorviResult *result)
{
    QSqlQuery q(workingHandle());
    if (!q.exec(QStringLiteral("select type,name from ") + XrfTables::resultNames
                + QStringLiteral(" where testId = ") + QString::number(testId)
                + QStringLiteral(";")))
        return;
    XrfAnalysisResult &a = result->analysis();
    XrfCalCheckResult *cal = result->calCheck();
    while (q.next()) {
        const QString text = q.value(1).toString();
        switch (q.value(0).toInt()) {
        case 1:
            a.setUserFactorName(text);
            break;
        case 2:
            a.setCompoundTemplateName(text);
            break;
        case 3:
            a.setTiTemplateName(text);
            break;
        case 4:
            a.setCoatingConfigName(text);
            break;
        case 5:
            a.setCompoundSuppress100Warning(text == QLatin1String("1"));
            break;
        case 6:
            a.setGradeCompareEnable(text.toInt());
            break;
        case 7:
            a.setUserFactorNormalizeFactor(text.toFloat());
            break;
        case 8:
            a.setPseudoElementConfigName(text);
            break;
        case 9:
            a.setLeadPaintActionLevel(text.toFloat());
            break;
        case 10:
            a.setCoatingDisplayUnitEnum(text.toInt());
            break;
        case 11: {
            const QJsonObject drift = QJsonDocument::fromJson(text.toUtf8()).object();
            const int index = drift.value(QStringLiteral("index")).toInt(-1);
            XrfDriftCorrection correction;
            correction.fromJsonObject(drift);
            if (index >= 0 && index < result->spectra().size()
                && !correction.timeStampUtc().isEmpty())
                result->spectra()[index].setDriftCorrection(correction);
            break;
        }
        case 12:
            a.setPythonPluginResult(text);
            break;
        case 13:
            a.setDigitalIOStateBefore(text.toInt());
            break;
        case 14:
            a.setDigitalIOStateAfter(text.toInt());
            break;
        case 15:
            a.setTavirexResult(text);
            break;
        case 16:
            a.setPseudoElementGradeMatchEnable(text.toInt());
            break;
        case 17:
            cal->setExpectedSlope(text.toDouble());
            break;
        case 18:
            cal->setExpectedOffset(text.toDouble());
            break;
        case 19:
            cal->setExpectedRate(text.toDouble());
            break;
        case 20:
            cal->setExpectedResolution(text.toDouble());
            break;
        default:
            break;
        }
    }
}

XrfErrorInfo::XrfError DatabaseManager::getAveragedResultInfoByIDs(const QStringList &testIds,
                                                                   QList<XrfAverageInfo> *sources)
{
    QStringList ids;
    for (const QString &id : testIds)
        ids << QString::number(id.toInt());
    QSqlQuery q(workingHandle());
    if (!q.exec(QStringLiteral("select testId,testDateTime,dailyId,tidName from analysisresult "
                               "where testId in (")
                + ids.join(QLatin1Char(',')) + QStringLiteral(");"))) {
        qDebug() << "Query failed " << q.lastError().text();
        return XrfErrorInfo::NoError;
    }
    while (q.next()) {
        XrfAverageInfo info;
        info.setTestId(q.value(0).toInt());
        QDateTime when
                = QDateTime::fromString(q.value(1).toString(), XrfAnalysisResult::dateTimeFormat);
        when.setTimeSpec(Qt::UTC);
        info.setTestDateTime(when.toLocalTime().toString(XrfAnalysisResult::dateTimeFormat));
        info.setDailyId(q.value(2).toInt());
        info.setTidName(q.value(3).toString());
        sources->append(info);
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError DatabaseManager::getAnXrfKorviResultByTestId(int tid, XrfKorviResult *result)
{
    using namespace InsDelQueries;
    if (!result)
        return XrfErrorInfo::InvalidArgument;
    const XrfErrorInfo::XrfError rc = readAnalysis(tid, result);
    if (rc != XrfErrorInfo::NoError)
        return rc;
    QSqlDatabase db = workingHandle();
    XrfAnalysisResult &a = result->analysis();

    QSqlQuery plating(db);
    if (plating.exec(QStringLiteral("select auPlating from ") + XrfTables::plating
                     + QStringLiteral(" where testId = ") + QString::number(tid)
                     + QStringLiteral(";"))
        && plating.next())
        a.setAuPlatingEnum(plating.value(0).toInt());

    const int type = m_testTypes.value(a.testType(), 0);
    if (type == 1) {
        QSqlQuery sources(db);
        QStringList ids;
        if (sources.exec(QStringLiteral("select testId from ") + XrfTables::averagedResultInfo
                         + QStringLiteral(" where averagedTestId = ") + QString::number(tid)
                         + QStringLiteral(";")))
            while (sources.next())
                ids << sources.value(0).toString();
        if (!ids.isEmpty())
            getAveragedResultInfoByIDs(ids, &result->avgOfTestsInfo());
    } else if (getSpectra(tid, &result->spectra()) != XrfErrorInfo::NoError) {
        qDebug() << "no spectra for tid " << tid;
    }

    if (type == 4) {
        result->setHasCalCheck(true);
        QSqlQuery cal(db);
        if (cal.exec(QStringLiteral("select ")
                     + QStringLiteral("rate,resolution,peak1,peak2,offset,slope,errorCode,"
                                      "restandardizeType")
                     + QStringLiteral(" from ") + XrfTables::calCheckResult
                     + QStringLiteral(" where testId = ") + QString::number(tid))
            && cal.next()) {
            XrfCalCheckResult *c = result->calCheck();
            c->setRate(cal.value(0).toInt());
            c->setResolution(cal.value(1).toInt());
            c->setPeak1(cal.value(2).toInt());
            c->setPeak2(cal.value(3).toInt());
            c->setOffset(cal.value(4).toDouble());
            c->setSlope(cal.value(5).toDouble());
            c->setErrorCode(cal.value(6).toInt());
            c->setRestandardizeType(cal.value(7).toInt());
            QJsonObject fpga;
            if (XrfSettingsManager::instance()->getUniversalSetting(QStringLiteral("hardware.fpga"),
                                                                    &fpga)
                == 0) {
                c->setExpectedSlope(fpga.value(QStringLiteral("slope")).toDouble());
                c->setExpectedOffset(fpga.value(QStringLiteral("offset")).toDouble());
            }
        }
        readNames(tid, result);
        return XrfErrorInfo::NoError;
    }

    readNames(tid, result);
    QList<XrfChemistryResult> chemistry;
    if (readRows(db, chemistryTable(), tid, &chemistry) != XrfErrorInfo::NoError)
        qDebug() << "No chemistry result";
    for (const XrfChemistryResult &c : chemistry) {
        if (!c.elementName().isEmpty())
            result->chemistry().append(c);
    }
    if (!a.pseudoElementConfigName().isEmpty()
        && readRows(db, pseudoElementTable(), tid, &result->pseudoElement())
                != XrfErrorInfo::NoError)
        qDebug() << "No pseudo element result";
    if (readRows(db, userFactorTable(), tid, &result->userFactor()) != XrfErrorInfo::NoError)
        qDebug() << "No UserFactor result";
    if (readRows(db, coatingTable(), tid, &result->coating()) != XrfErrorInfo::NoError)
        qDebug() << "No Coating result";
    for (const XrfCoatingResult &layer : result->coating()) {
        if (layer.layerOrder() != 0) {
            XrfChemistryResult c;
            c.setElementName(layer.element());
            c.setConcentration(layer.thickness());
            c.setError(layer.error());
            result->chemistry().append(c);
        }
    }
    if (!result->coating().isEmpty() && a.coatingDisplayUnitEnum() == -1)
        a.setCoatingDisplayUnitEnum(3);
    if (readRows(db, compoundTable(), tid, &result->compound()) != XrfErrorInfo::NoError)
        qDebug() << "No Compound result";
    if (readRows(db, actionLevelTable(), tid, &result->actionLevel()) != XrfErrorInfo::NoError)
        qDebug() << "No Action level result";
    readRows(db, gradeMatchTable(), tid, &result->gradeMatch());
    for (XrfGradeMatch &grade : result->gradeMatch())
        readRows(db, gradeMatchSpecTable(), tid, &grade.gradeSpec(),
                 QStringLiteral(" AND gradeName=") + sqlQuote(grade.gradeName())
                         + QStringLiteral(" order by rowid;"));
    readImages(tid, result);
    if (readRows(db, testInfoTable(), tid, &result->testInfo(), QStringLiteral(" order by id asc"))
        != XrfErrorInfo::NoError)
        qDebug() << "No tif for tid " << tid;

    QSqlQuery rohs(db);
    if (rohs.exec(QStringLiteral("select rohsClassification,rohsActionLevel,rohsActionLevelName "
                                 "from ")
                  + XrfTables::rohsResult + QStringLiteral(" where testId = ")
                  + QString::number(tid) + QStringLiteral(";"))
        && rohs.next()) {
        a.setRohsClassificationEnum(rohs.value(0).toInt());
        a.setRohsActionLevelEnum(rohs.value(1).toInt());
        a.setRohsActionLevelName(rohs.value(2).toString());
    }

    if (type == 3) {
        QSqlQuery reg(db);
        if (reg.exec(QStringLiteral("select historicalTestId from ") + XrfTables::regressionInfo
                     + QStringLiteral(" where testId = ") + QString::number(tid)
                     + QStringLiteral(";"))
            && reg.next()) {
            XrfRegressionInfo &info = result->regressionInfo();
            info.setHistoricalTestId(reg.value(0).toInt());
            QSqlQuery hist(db);
            if (hist.exec(QStringLiteral("select testDateTime,dailyId,tidName from ")
                          + XrfTables::analysisResult + QStringLiteral(" where testId = ")
                          + QString::number(info.historicalTestId()) + QStringLiteral(";"))
                && hist.next()) {
                info.setHistoricalDateTime(hist.value(0).toString());
                info.setHistoricalDailyId(hist.value(1).toInt());
                info.setHistoricalTidName(hist.value(2).toString());
            }
        }
    } else if (type == 2) {
        QSqlQuery rep(db);
        if (rep.exec(QStringLiteral("select repeatId,repeatCount from ") + XrfTables::repeatInfo
                     + QStringLiteral(" where testId = ") + QString::number(tid)
                     + QStringLiteral(";"))
            && rep.next()) {
            a.setRepeatTestIndex(rep.value(0).toInt());
            a.setRepeatTestTotal(rep.value(1).toInt());
        }
    }
    return XrfErrorInfo::NoError;
}

void DatabaseManager::readImages(int testId, XrfKorviResult *result)
{
    QSqlQuery q(workingHandle());
    if (!q.exec(QStringLiteral("select fileName,imageType,cropAreaTop,cropAreaLeft,cropAreaWidth,"
                               "cropAreaHeight,collimatorSpotX,collimatorSpotY,imageHasCircle "
                               "from ")
                + XrfTables::imageResult + QStringLiteral(" where testId = ")
                + QString::number(testId) + QStringLiteral(";"))) {
        qDebug() << "No images for tid " << testId;
        return;
    }
    while (q.next()) {
        XrfImageInfo image;
        image.setName(q.value(0).toString());
        image.setType(q.value(1).toString() == QLatin1String("INLINE") ? 0 : 1);
        image.setCropAreaTop(q.value(2).toFloat());
        image.setCropAreaLeft(q.value(3).toFloat());
        image.setCropAreaWidth(q.value(4).toFloat());
        image.setCropAreaHeight(q.value(5).toFloat());
        image.setCollimatorSpotX(q.value(6).toFloat());
        image.setCollimatorSpotY(q.value(7).toFloat());
        image.setImageHasCircle(q.value(8).toInt() != 0);
        result->images().append(image);
    }
}

void DatabaseManager::getTestResult(int cmdId, int id, QString testIds)
{
    const int tid = testIds.split(QLatin1Char(',')).value(0).toInt();
    XrfKorviResult result;
    if (tid != 0)
        getAnXrfKorviResultByTestId(tid, &result);
    QJsonObject answer;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    if (result.analysis().testId() == -1) {
        answer.insert(QStringLiteral("testResult"), QJsonObject());
        rc = XrfErrorInfo::ResultNotFound;
    } else {
        // The display form for command 118 comes with the result filter.
        answer.insert(QStringLiteral("testResult"), result.toJsonObject());
    }
    emit queryDone(cmdId, id, QJsonDocument(answer), rc);
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
    getTestIdsBetweenDates(
            fromTestDateTime,
            QDateTime::currentDateTimeUtc().toString(XrfAnalysisResult::dateTimeFormat), &ids, 1);
    const XrfErrorInfo::XrfError rc = getAnXrfKorviResultByTestId(ids.toInt(), result);
    if (rC)
        *rC = rc;
}

XrfErrorInfo::XrfError DatabaseManager::performAutoPrintIfNecessary(XrfKorviResult result)
{
    QJsonObject print;
    if (XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("print"), &print) != 0)
        qWarning() << "Unable to get print settings in "
                   << "performAutoPrintIfNecessary";
    if (!print.value(QStringLiteral("autoPrint")).toBool(false))
        return XrfErrorInfo::NoError;
    const QString printer = print.value(QStringLiteral("selectedPrinter")).toString();
    if (!printer.isEmpty() && printer != QLatin1String("None"))
        emit XrfResultManager::instance()->aResultAvailableForPrint(result);
    return XrfErrorInfo::NoError;
}

// --- Operations that later work fills in -------------------------------------------

void DatabaseManager::answerNotImplemented(int commandId, int requestId)
{
    emit queryDone(commandId, requestId, QJsonDocument(), XrfErrorInfo::NotImplemented);
}

void DatabaseManager::fetchCalendar(int id)
{
    answerNotImplemented(104, id);
}

XrfErrorInfo::XrfError DatabaseManager::getTestIds(int id, QString dateString)
{
    Q_UNUSED(dateString);
    answerNotImplemented(114, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::latestTestIds(int cmdId, int number)
{
    Q_UNUSED(number);
    if (cmdId != -1)
        answerNotImplemented(110, cmdId);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::createAveragedResult(int id, QString testNames,
                                                             QString newTidName)
{
    Q_UNUSED(testNames);
    Q_UNUSED(newTidName);
    answerNotImplemented(105, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::createAveragedResultByDate(QString dateList,
                                                                   QString tidList, int id,
                                                                   QString newTidName)
{
    Q_UNUSED(dateList);
    Q_UNUSED(tidList);
    Q_UNUSED(newTidName);
    answerNotImplemented(105, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::exportResults(QStringList testIds,
                                                      XrfTestsSelected::UseSettings use,
                                                      QString *outFile)
{
    Q_UNUSED(testIds);
    Q_UNUSED(use);
    Q_UNUSED(outFile);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::exportResultsByDate(QList<XrfDateTimeRange> ranges,
                                                            QStringList testIds,
                                                            XrfTestsSelected::UseSettings use,
                                                            int commandId, int id)
{
    Q_UNUSED(ranges);
    Q_UNUSED(testIds);
    Q_UNUSED(use);
    answerNotImplemented(commandId, id);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::importResultsFromJsFile(QString jsFile, int numberOfResults)
{
    Q_UNUSED(jsFile);
    Q_UNUSED(numberOfResults);
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::getAllResultsFromTestDateTime(
        QString fromTestDateTime, QString toTestDateTime, QString tidList, QString outFileName,
        int *numOfResultsCaptured, int *numOfResults, QString *status, uint limit)
{
    Q_UNUSED(fromTestDateTime);
    Q_UNUSED(toTestDateTime);
    Q_UNUSED(tidList);
    Q_UNUSED(outFileName);
    Q_UNUSED(numOfResultsCaptured);
    Q_UNUSED(numOfResults);
    Q_UNUSED(limit);
    if (status)
        *status = XrfErrorInfo(XrfErrorInfo::NotImplemented).errorString();
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::getResultsInSqlDbFromTestDateTime(QString fromTestDateTime,
                                                                          QString outFileName,
                                                                          int *numOfResultsCaptured,
                                                                          int *numOfResults,
                                                                          QString *status)
{
    Q_UNUSED(fromTestDateTime);
    Q_UNUSED(outFileName);
    Q_UNUSED(numOfResultsCaptured);
    Q_UNUSED(numOfResults);
    if (status)
        *status = XrfErrorInfo(XrfErrorInfo::NotImplemented).errorString();
    return XrfErrorInfo::NotImplemented;
}

XrfErrorInfo::XrfError DatabaseManager::importResultsFromSqlDb(QString sqlDbFile)
{
    Q_UNUSED(sqlDbFile);
    return XrfErrorInfo::NotImplemented;
}

void DatabaseManager::doAutoExport(QString testId)
{
    // Until results are exported for real, the answer names the test so that
    // the queue can take its export as done instead of waiting for ever.
    QJsonObject answer;
    answer.insert(QStringLiteral("testId"), testId.toInt());
    emit queryDone(108, 5, QJsonDocument(answer), XrfErrorInfo::NotImplemented);
}

void DatabaseManager::setExportSettingToUsed(QJsonObject arg)
{
    m_exportSettingsInUse = arg;
}
