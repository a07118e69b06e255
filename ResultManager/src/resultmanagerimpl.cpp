// The worker object: turns facade calls into "dbm" signals and the database
// object's answers into facade signals.
//
// Connection kinds are part of the contract: requests with out-parameters
// use blocking queued connections (the caller waits for the slot to run on
// the worker thread), every other request is queued and answered later by
// operationDone. The worker thread itself never waits on another thread: its
// answers (queryDone) are queued to this object, so a caller blocked in a
// request can never close a circle through it. A blocking request made from
// the worker thread itself would wait on its own thread, so none is made
// there.

#include "resultmanagerimpl.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLoggingCategory>
#include <QRegularExpression>

#include "requestarguments.h"
#include "resultmanager.h"
#include "xrfexportparam.h"
#include "xrfmetatypes.h"
#include "xrfmethodmanager.h"
#include "xrfresultqueue.h"
#include "xrfresultreader.h"
#include "xrfsettestinfofieldparams.h"
#include "xrfstring.h"

Q_LOGGING_CATEGORY(xrfAlarmCategory, "_alarm_")

namespace {

// The model's own types are registered by the common library; the pointer
// types are arguments of the blocking requests.
void registerMetaTypes()
{
    xrfRegisterMetaTypes();
    qRegisterMetaType<XrfKorviResult *>("XrfKorviResult*");
    qRegisterMetaType<XrfErrorInfo::XrfError *>("XrfErrorInfo::XrfError*");
    qRegisterMetaType<int *>("int*");
    qRegisterMetaType<bool *>("bool*");
    qRegisterMetaType<QString *>("QString*");
}

// A test id list with an entry that is neither a number nor a text is no
// list of test ids: refused whole, never passed on without that entry.
bool readExportParam(const QJsonObject &params, XrfExportParam *param)
{
    XrfFields::ReadLog log;
    param->fromJsonObject(params, &log);
    if (!log.problems().filter(QRegularExpression(QStringLiteral("^/tidList(/|$)"))).isEmpty()) {
        qInfo() << "Not a list of test ids:" << params.value(QStringLiteral("tidList"));
        return false;
    }
    return true;
}

bool isJsonNull(const QJsonObject &params, const char *key)
{
    return params.value(QLatin1String(key)).isNull();
}

} // namespace

ResultManagerImpl::ResultManagerImpl(QObject *parent) : QObject(parent) { }

ResultManagerImpl::~ResultManagerImpl()
{
    if (m_workerThread.isRunning()) {
        m_workerThread.quit();
        m_workerThread.wait();
    }
}

XrfErrorInfo::XrfError ResultManagerImpl::init()
{
    registerMetaTypes();
    DatabaseManager *db = &m_dbManager;
    // Averaging reads queued results from the queue's files alone: the
    // queue object may be stopped or gone meanwhile.
    db->setQueuedResultLookup([](const QString &day, const QString &name, XrfKorviResult *result) {
        return XrfResultQueue::findQueuedResult(
                QDir::currentPath() + QStringLiteral("/resultQueue"), day, name, result);
    });
    XrfResultManager *facade = XrfResultManager::instance();
    // The database object's events reach the facade only here, directly: the
    // facade signals are emitted on the worker thread as they always were,
    // and receivers on other threads get them queued.
    const auto direct = Qt::DirectConnection;
    connect(db, &DatabaseManager::resultInserted, facade, &XrfResultManager::resultInserted,
            direct);
    connect(db, &DatabaseManager::resultCommitted, facade, &XrfResultManager::resultCommitted,
            direct);
    connect(db, &DatabaseManager::averagedResultInserted, facade, &XrfResultManager::resultUpdated,
            direct);
    connect(db, &DatabaseManager::aResultAvailableForPrint, facade,
            &XrfResultManager::aResultAvailableForPrint, direct);
    connect(db, &DatabaseManager::dbInfo, facade, &XrfResultManager::dbInfo, direct);
    connect(db, &DatabaseManager::filterResultsProgress, facade,
            &XrfResultManager::filterResultsProgress, direct);
    connect(db, &DatabaseManager::addedNResultsToDb, facade, &XrfResultManager::addedNResultsToDb,
            direct);
    connect(db, &DatabaseManager::resultsImported, facade, &XrfResultManager::resultsImported,
            direct);
    XrfErrorInfo::XrfError code = m_dbManager.reportDbInfo();
    if (code != XrfErrorInfo::NoError)
        return code;
    qDebug() << "Starting the init() of Results Manager";

    m_dbManager.moveToThread(&m_workerThread);
    m_workerThread.setObjectName(QStringLiteral("Results Manager Thread"));

    const auto blocking = Qt::BlockingQueuedConnection;
    auto tested = [&code](const QMetaObject::Connection &c) {
        if (!c)
            code = XrfErrorInfo::ConnectFailed;
    };
    tested(connect(db, &DatabaseManager::queryDone, this, &ResultManagerImpl::dbmQueryDone,
                   Qt::QueuedConnection));
    tested(connect(&m_workerThread, &QThread::started, db, &DatabaseManager::run));
    tested(connect(db, &DatabaseManager::calendarUpdated, this,
                   &ResultManagerImpl::calendarUpdated));
    tested(connect(db, &DatabaseManager::resultUpdated, this, &ResultManagerImpl::resultUpdated));
    tested(connect(db, &DatabaseManager::averagedResultComputed, this,
                   &ResultManagerImpl::dbmAveragedResultComputed));

    connect(this, &ResultManagerImpl::dbmFetchCalendar, db, &DatabaseManager::fetchCalendar);
    connect(this, &ResultManagerImpl::dbmLatestTestIds, db, &DatabaseManager::latestTestIds);
    connect(this, &ResultManagerImpl::dbmCreateAveragedResult, db,
            &DatabaseManager::createAveragedResult);
    connect(this, &ResultManagerImpl::dbmDeleteAllResultsByDate, db,
            &DatabaseManager::deleteAllResultsByDate);
    connect(this, &ResultManagerImpl::dbmDeleteAllResultsByTestIds, db,
            &DatabaseManager::deleteAllResultsByTestIds);
    connect(this, &ResultManagerImpl::dbmDeleteAllResultsWithOption, db,
            &DatabaseManager::deleteAllResultsWithOption);
    connect(this, &ResultManagerImpl::dbmGetTestIds, db, &DatabaseManager::getTestIds);
    connect(this, &ResultManagerImpl::dbmExportResultsByDate, db,
            &DatabaseManager::exportResultsByDate);
    connect(this, &ResultManagerImpl::dbmCreateAveragedResultByDate, db,
            &DatabaseManager::createAveragedResultByDate);
    connect(this, &ResultManagerImpl::dbmGetTestResult, db, &DatabaseManager::getTestResult);
    connect(this, &ResultManagerImpl::dbmEditTestInfo, db, &DatabaseManager::editTestInfo);
    connect(this, &ResultManagerImpl::dbmGetImage, db, &DatabaseManager::getImage);
    connect(this, &ResultManagerImpl::dbmInsertTestResult, db, &DatabaseManager::insertTestResult);
    connect(this, &ResultManagerImpl::dbmDoDbHouseKeeping, db, &DatabaseManager::vacuumTheDb);
    connect(this, &ResultManagerImpl::dbmDoAutoExport, db, &DatabaseManager::doAutoExport);
    connect(this, &ResultManagerImpl::dbmRunExport, db, &DatabaseManager::runExport);

    connect(this, &ResultManagerImpl::dbmGetAnXrfKorviResultByTestId, db,
            &DatabaseManager::getAnXrfKorviResultByTestId, blocking);
    connect(this, &ResultManagerImpl::dbmInstrumentDataPathAvailable, db,
            &DatabaseManager::setInstrumentDataPath, blocking);
    connect(this, &ResultManagerImpl::dbmGetLatestTestId, db, &DatabaseManager::getLatestTestId,
            blocking);
    connect(this, &ResultManagerImpl::dbmGetLastTestDateTime, db,
            &DatabaseManager::getLastTestDateTime, blocking);
    connect(this, &ResultManagerImpl::dbmImportResultsFromJsFile, db,
            &DatabaseManager::importResultsFromJsFile, blocking);
    connect(this, &ResultManagerImpl::dbmGetAllResultsFromTestDateTime, db,
            &DatabaseManager::getAllResultsFromTestDateTime, blocking);
    connect(this, &ResultManagerImpl::dbmGetResultsInASqlDbFromTestDateTime, db,
            &DatabaseManager::getResultsInSqlDbFromTestDateTime, blocking);
    connect(this, &ResultManagerImpl::dbmImportResultsFromSqlDb, db,
            &DatabaseManager::importResultsFromSqlDb, blocking);
    connect(this, &ResultManagerImpl::dbmGetResultFromTestDateTime, db,
            &DatabaseManager::getResultFromTestDateTime, blocking);
    connect(this, &ResultManagerImpl::dbmSetPaths, db, &DatabaseManager::setPaths, blocking);
    connect(this, &ResultManagerImpl::dbmSetProfilePath, db, &DatabaseManager::setProfilePath,
            blocking);

    m_workerThread.start(QThread::InheritPriority);
    m_initialised = true;

    if (code == XrfErrorInfo::NoError) {
        qInfo() << "Results Manager Init complete.";
    } else {
        XrfErrorInfo info(code);
        emit m_dbManager.errorSignal(info.errorString());
        qInfo() << "Results Manager init failed.";
    }
    return code;
}

void ResultManagerImpl::shutdown()
{
    // The host's thread's reader goes with the library; other threads'
    // readers go when the file closes below, or with their thread.
    m_dbManager.threadReaders().dropThisThread();
    if (m_workerThread.isRunning()) {
        emit dbmInstrumentDataPathAvailable(QString());
        m_workerThread.quit();
        m_workerThread.wait();
    }
    m_dbManager.closeDatabase();
}

XrfErrorInfo::XrfError ResultManagerImpl::checkRequest(bool storage,
                                                       DatabaseManager::DbOperation op)
{
    if (!m_dbManager.isSdCardInserted())
        return XrfErrorInfo::NoSdCard;
    // A database opened read-only can answer and export (an export writes
    // only its own files), never store.
    if (storage && op != DatabaseManager::DbOpExport && m_dbManager.isReadOnly())
        return XrfErrorInfo::DbOpenFailed;
    if (storage && !m_dbManager.isStorageAvailable(op))
        return XrfErrorInfo::NoStorage;
    return XrfErrorInfo::NoError;
}

// --- Blocking requests ----------------------------------------------------------
// Each returns the code of the slot it ran: a blocking connection hands it back.

XrfErrorInfo::XrfError ResultManagerImpl::setPaths(const QString &proPath,
                                                   const QString &instruDataPath)
{
    return emit dbmSetPaths(proPath, instruDataPath);
}

XrfErrorInfo::XrfError ResultManagerImpl::setInstrumentDataPath(const QString &dbPath)
{
    return emit dbmInstrumentDataPathAvailable(dbPath);
}

XrfErrorInfo::XrfError ResultManagerImpl::setProfilePath(const QString &path)
{
    return emit dbmSetProfilePath(path);
}

XrfErrorInfo::XrfError ResultManagerImpl::getLastTestID(int *tid)
{
    return emit dbmGetLatestTestId(tid);
}

XrfErrorInfo::XrfError ResultManagerImpl::getLastTestDateTime(QString *testDateTime)
{
    return emit dbmGetLastTestDateTime(testDateTime);
}

// The blocking reads below run on the calling thread's own reader (ruled so
// that they never wait for a long job on the worker); on the worker thread
// itself they use its connection, which may hold what it has not committed.
XrfResultReader *ResultManagerImpl::threadReader(XrfErrorInfo::XrfError *rc)
{
    QString why;
    XrfResultReader *reader = m_dbManager.threadReaders().reader(&why);
    if (!reader) {
        qWarning() << "Cannot read the results database:" << why;
        *rc = XrfErrorInfo::DbOpenFailed;
    }
    return reader;
}

bool ResultManagerImpl::onWorker() const
{
    return QThread::currentThread() == &m_workerThread;
}

XrfErrorInfo::XrfError ResultManagerImpl::syncGetFullResult(int tid, XrfKorviResult *result)
{
    if (!result)
        return XrfErrorInfo::InvalidArgument;
    if (onWorker() || !m_workerThread.isRunning())
        return emit dbmGetAnXrfKorviResultByTestId(tid, result);
    if (!m_dbManager.isSdCardInserted())
        return XrfErrorInfo::NoSdCard;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    if (XrfResultReader *reader = threadReader(&rc))
        rc = reader->result(tid, result);
    return rc;
}

// Runs `call` on the worker thread and waits for it. Safe: the worker never
// waits on another thread, so it cannot be waiting on this caller.
void ResultManagerImpl::runOnWorker(const std::function<void()> &call)
{
    if (onWorker())
        call();
    else
        QMetaObject::invokeMethod(&m_dbManager, call, Qt::BlockingQueuedConnection);
}

bool ResultManagerImpl::testIdExists(int tid)
{
    if (!m_dbManager.isSdCardInserted())
        return false;
    bool exists = false;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    if (onWorker())
        m_dbManager.testIdExists(tid, &exists);
    else if (XrfResultReader *reader = threadReader(&rc))
        reader->contains(tid, &exists);
    return exists;
}

int ResultManagerImpl::storedTestId(const QString &testDateTime, const QString &tidName)
{
    if (!m_dbManager.isSdCardInserted())
        return -1;
    int id = -1;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    if (onWorker())
        id = m_dbManager.storedTestId(testDateTime, tidName);
    else if (XrfResultReader *reader = threadReader(&rc))
        reader->storedTestId(testDateTime, tidName, &id);
    return id;
}

XrfErrorInfo::XrfError ResultManagerImpl::getDatabaseInfo(QJsonObject *info)
{
    if (!info)
        return XrfErrorInfo::InvalidArgument;
    if (!m_dbManager.isSdCardInserted())
        return XrfErrorInfo::NoSdCard;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    runOnWorker([&] { rc = m_dbManager.describeDatabase(info); });
    return rc;
}

QString ResultManagerImpl::databaseOpenError()
{
    QString text;
    runOnWorker([&] { text = m_dbManager.lastError().extendedErrorInfo(); });
    return text;
}

XrfErrorInfo::XrfError ResultManagerImpl::getTestsBetweenDates(const QString &from,
                                                               const QString &to, QJsonArray *tests)
{
    if (!tests)
        return XrfErrorInfo::InvalidArgument;
    if (!m_dbManager.isSdCardInserted())
        return XrfErrorInfo::NoSdCard;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    if (onWorker())
        return m_dbManager.testsBetweenDates(from, to, tests);
    QDateTime lower;
    QDateTime upper;
    if (!RequestArguments::parseDateTime(from, &lower)
        || !RequestArguments::parseDateTime(to, &upper))
        return XrfErrorInfo::InvalidArgument;
    if (XrfResultReader *reader = threadReader(&rc))
        rc = reader->tests(lower, false, upper, true, tests);
    return rc;
}

void ResultManagerImpl::getResultFromTestDateTime(const QString &from, XrfKorviResult *result,
                                                  XrfErrorInfo::XrfError *rC)
{
    emit dbmGetResultFromTestDateTime(from, result, rC);
}

XrfErrorInfo::XrfError ResultManagerImpl::getAllResultsFromTestDateTime(
        const QString &from, const QString &to, const QString &tidList, const QString &outFileName,
        int *numOfResultsCaptured, int *numOfResults, QString *status, uint limit)
{
    if (!m_dbManager.isStorageAvailable(DatabaseManager::DbOpSync))
        return XrfErrorInfo::NoStorage;
    return emit dbmGetAllResultsFromTestDateTime(from, to, tidList, outFileName,
                                                 numOfResultsCaptured, numOfResults, status, limit);
}

XrfErrorInfo::XrfError ResultManagerImpl::getResultsInASqlDbFromTestDateTime(
        const QString &from, const QString &outFileName, int *numOfResultsCaptured,
        int *numOfResults, QString *status)
{
    if (!m_dbManager.isStorageAvailable(DatabaseManager::DbOpSync))
        return XrfErrorInfo::NoStorage;
    return emit dbmGetResultsInASqlDbFromTestDateTime(from, outFileName, numOfResultsCaptured,
                                                      numOfResults, status);
}

XrfErrorInfo::XrfError ResultManagerImpl::importResultsFromSqlDb(const QString &sqlDbFile)
{
    if (!m_dbManager.isStorageAvailable(DatabaseManager::DbOpImport))
        return XrfErrorInfo::NoStorage;
    return emit dbmImportResultsFromSqlDb(sqlDbFile);
}

XrfErrorInfo::XrfError ResultManagerImpl::importResultsFromJsFile(const QString &jsFile,
                                                                  int numberOfResults,
                                                                  const QString &picturesBeside)
{
    if (!m_dbManager.isStorageAvailable(DatabaseManager::DbOpImport))
        return XrfErrorInfo::NoStorage;
    return emit dbmImportResultsFromJsFile(jsFile, numberOfResults, picturesBeside);
}

// --- Queued requests ------------------------------------------------------------------

XrfErrorInfo::XrfError ResultManagerImpl::addTestResult(const XrfKorviResult &result)
{
    const XrfErrorInfo::XrfError code = checkRequest(true, DatabaseManager::DbOpStore);
    if (code != XrfErrorInfo::NoError) {
        emit XrfResultManager::instance()->resultInserted(code);
        return code;
    }
    emit dbmInsertTestResult(result);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::getImage(const QString &imageFile, int appid)
{
    emit dbmGetImage(imageFile, appid);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::doDbHouseKeeping(bool vacuumStatus)
{
    emit dbmDoDbHouseKeeping(vacuumStatus);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::abortCurrentDbOperation()
{
    m_dbManager.abortCurrentDbOperation();
    return XrfErrorInfo::NoError;
}

// --- JSON command handlers -------------------------------------------------------------

XrfErrorInfo::XrfError ResultManagerImpl::getCalendar(XrfJsonMessage *msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(false, DatabaseManager::DbOpAny);
    if (code != XrfErrorInfo::NoError)
        return code;
    emit dbmFetchCalendar(msg ? msg->id() : -1);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::getTestIds(const XrfJsonMessage &msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(false, DatabaseManager::DbOpAny);
    if (code != XrfErrorInfo::NoError)
        return code;
    const QJsonObject params = msg.params();
    if (isJsonNull(params, "date"))
        return XrfErrorInfo::InvalidArgument;
    emit dbmGetTestIds(msg.id(), params.value(QStringLiteral("date")).toString());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::getLatestTestIds(XrfJsonMessage *msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(false, DatabaseManager::DbOpAny);
    if (code != XrfErrorInfo::NoError)
        return code;
    if (!msg)
        return XrfErrorInfo::InvalidArgument;
    const QJsonObject params = msg->params();
    if (isJsonNull(params, "number"))
        return XrfErrorInfo::InvalidArgument;
    emit dbmLatestTestIds(msg->id(), params.value(QStringLiteral("number")).toInt(0));
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::deleteTestResults(const XrfJsonMessage &msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(false, DatabaseManager::DbOpAny);
    if (code != XrfErrorInfo::NoError)
        return code;
    const QJsonObject params = msg.params();
    const QJsonValue ids = params.value(QStringLiteral("xrfString"));
    if (ids.isNull() || ids.isUndefined())
        return XrfErrorInfo::InvalidArgument;
    XrfString list;
    list.fromJsonObject(params);
    emit dbmDeleteAllResultsByTestIds(list.xrfString(), msg.id());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::deleteTestResultsByDate(const XrfJsonMessage &msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(false, DatabaseManager::DbOpAny);
    if (code != XrfErrorInfo::NoError)
        return code;
    XrfTestsSelected selected;
    selected.fromJsonObject(msg.params());
    emit dbmDeleteAllResultsByDate(selected.dateList(), selected.tidList(), msg.id());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::deleteTestResultsWithOption(const XrfJsonMessage &msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(false, DatabaseManager::DbOpAny);
    if (code != XrfErrorInfo::NoError)
        return code;
    qDebug() << msg.params();
    XrfExportParam param;
    if (!readExportParam(msg.params(), &param))
        return XrfErrorInfo::InvalidArgument;
    // Only "delete" is this request's action; anything else gets no answer
    // later, so it is refused now.
    if (param.actionToDo() != 3)
        return XrfErrorInfo::InvalidArgument;
    emit dbmDeleteAllResultsWithOption(param, msg.id());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::editTestInfo(XrfJsonMessage *msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(true, DatabaseManager::DbOpStore);
    if (code != XrfErrorInfo::NoError)
        return code;
    if (!msg)
        return XrfErrorInfo::InvalidArgument;
    XrfSetTestInfoFieldParams field;
    field.fromJsonObject(msg->params());
    QJsonObject entry;
    entry.insert(QStringLiteral("label"), field.fieldName());
    entry.insert(QStringLiteral("info"), field.fieldValue());
    bool ok = false;
    int testId = field.testId().toInt(&ok, 10);
    if (!ok)
        testId = 0;
    emit dbmEditTestInfo(QJsonArray { entry }, testId, msg->id());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::GetFullResult(XrfJsonMessage *msg)
{
    if (!msg)
        return XrfErrorInfo::InvalidArgument;
    const QJsonObject params = msg->params();
    const QJsonValue ids = params.value(QStringLiteral("xrfString"));
    const bool hasString = !ids.isNull() && !ids.isUndefined();
    if (!hasString && isJsonNull(params, "testIDs"))
        return XrfErrorInfo::InvalidArgument;
    XrfString list;
    list.fromJsonObject(params);
    const QJsonArray array = params.value(QStringLiteral("testIDs")).toArray();
    QString testIds;
    if (!array.isEmpty()) {
        testIds = QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
        testIds.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
    } else {
        testIds = list.xrfString();
    }
    emit dbmGetTestResult(msg->commandId(), msg->id(), testIds);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::AddAveragedResult(const XrfJsonMessage &msg)
{
    if (!m_dbManager.isSdCardInserted())
        return XrfErrorInfo::NoSdCard;
    if (!m_dbManager.isStorageAvailable(DatabaseManager::DbOpStore)) {
        const XrfErrorInfo info(XrfErrorInfo::NoStorage,
                                QStringLiteral("XrfErrorInfo::XrfError "
                                               "ResultManagerImpl::AddAveragedResult(const "
                                               "XrfJsonMessage&)"));
        qCCritical(xrfAlarmCategory) << info.errorString();
        return XrfErrorInfo::NoStorage;
    }
    const QJsonObject params = msg.params();
    if (isJsonNull(params, "xrfString") || isJsonNull(params, "tidName"))
        return XrfErrorInfo::InvalidArgument;
    XrfString list;
    list.fromJsonObject(params);
    emit dbmCreateAveragedResult(msg.id(), list.xrfString(),
                                 params.value(QStringLiteral("tidName")).toString());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::createAverageResultByDate(XrfJsonMessage *msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(true, DatabaseManager::DbOpStore);
    if (code != XrfErrorInfo::NoError)
        return code;
    if (!msg)
        return XrfErrorInfo::InvalidArgument;
    XrfTestsSelected selected;
    selected.fromJsonObject(msg->params());
    emit dbmCreateAveragedResultByDate(selected.dateList(), selected.tidList(), msg->id(),
                                       msg->params().value(QStringLiteral("tidName")).toString());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::exportResultsWithOption(XrfJsonMessage *msg)
{
    const XrfErrorInfo::XrfError code = checkRequest(true, DatabaseManager::DbOpExport);
    if (code != XrfErrorInfo::NoError)
        return code;
    if (!msg)
        return XrfErrorInfo::InvalidArgument;
    m_singleZip = false;
    QJsonObject settings;
    XrfMethodManager::instance()->getExportSettings(settings);
    qDebug() << "Export request" << msg->commandId() << msg->params();
    QString testIds;
    QString dateList;
    int use = XrfTestsSelected::UseExportSettings;
    if (msg->commandId() == XrfCommandIds::ExportWithOptions) {
        XrfExportParam param;
        if (!readExportParam(msg->params(), &param))
            return XrfErrorInfo::InvalidArgument;
        testIds = param.tidList().join(QLatin1Char(','));
        QStringList bounds;
        for (const XrfDateTimeRange &range : param.dateRangeList()) {
            // An end that did not parse makes the selection refuse the request.
            const auto text = [](const QDateTime &end) {
                return end.isValid()
                        ? RequestArguments::withinStoredYears(end).toString(Qt::ISODateWithMs)
                        : QStringLiteral("invalid");
            };
            bounds << text(range.startDateTime()) << text(range.endDateTime());
        }
        dateList = bounds.join(QLatin1Char(','));
        use = param.actionToDo();
        if (!param.exportSetting().isEmpty())
            settings = param.exportSetting();
        m_singleZip = param.outputSingleZip();
    } else {
        XrfTestsSelected selected;
        selected.fromJsonObject(msg->params());
        testIds = selected.tidList();
        dateList = selected.dateList();
        use = selected.useSettings();
    }
    storeExportSettings(settings);
    QJsonObject job = ExportRun::job(msg->commandId(), msg->id(), testIds, dateList, use, settings,
                                     m_singleZip, false);
    // An abort pressed from now on stops it, even before it starts.
    job.insert(QStringLiteral("abortRequests"), double(m_dbManager.abortRequests()));
    emit dbmRunExport(job);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultManagerImpl::doAutoExport(const QString &testId)
{
    if (!m_dbManager.isStorageAvailable(DatabaseManager::DbOpExport))
        return XrfErrorInfo::NoStorage;
    emit dbmDoAutoExport(testId);
    return XrfErrorInfo::NoError;
}

void ResultManagerImpl::storeExportSettings(const QJsonObject &settings)
{
    m_exportSettings = settings;
    // Queued: the database object reads its copy on its own thread, and in
    // the order of the requests that follow.
    QMetaObject::invokeMethod(&m_dbManager, "setExportSettingToUsed", Qt::QueuedConnection,
                              Q_ARG(QJsonObject, settings));
}

// --- Answers ---------------------------------------------------------------------------

void ResultManagerImpl::dbmQueryDone(int commandId, int requestId, QJsonDocument answer,
                                     XrfErrorInfo::XrfError code)
{
    if (commandId == XrfCommandIds::Synchronisation
        && requestId == XrfCommandIds::Synchronisation) {
        const QJsonObject object = answer.object();
        if (!object.isEmpty())
            emit XrfResultManager::instance()->resultsAvailableForSync(object);
        return;
    }
    // Only answers the export slots marked: the completion reads what it
    // needs from the answer, never from this object's members.
    QJsonObject object = answer.object();
    const QJsonObject exportAnswer = object.take(QStringLiteral("exportAnswer")).toObject();
    if (!exportAnswer.isEmpty()) {
        const int lastTestId = exportAnswer.value(QStringLiteral("lastTestId")).toInt(-1);
        // Before the signal: the queue that receives it asks whose it was.
        if (exportAnswer.value(QStringLiteral("automatic")).toBool()) {
            QMutexLocker lock(&m_automaticMutex);
            m_automaticCompletions.insert(lastTestId, code);
        }
        if (exportAnswer.value(QStringLiteral("converted")).toBool())
            emit XrfResultManager::instance()->exportComplete(lastTestId, code);
        qDebug() << "Export complete" << commandId << requestId << object;
        emit operationDone(commandId, requestId, QJsonDocument(object), code);
        if (exportAnswer.value(QStringLiteral("averaged")).toBool())
            emit dbmFetchCalendar(-1);
        return;
    }
    emit operationDone(commandId, requestId, answer, code);
}

bool ResultManagerImpl::takeAutomaticExportCompletion(int testId, XrfErrorInfo::XrfError *code)
{
    QMutexLocker lock(&m_automaticMutex);
    const auto found = m_automaticCompletions.constFind(testId);
    if (found == m_automaticCompletions.constEnd())
        return false;
    if (code)
        *code = found.value();
    m_automaticCompletions.erase(found);
    return true;
}

void ResultManagerImpl::dbmAveragedResultComputed(XrfKorviResult result, int requestId)
{
    QJsonObject answer;
    answer.insert(QStringLiteral("testResult"), DatabaseManager::displayForm(result));
    emit XrfResultManager::instance()->operationDone(XrfCommandIds::AveragedResult, requestId,
                                                     QJsonDocument(answer), XrfErrorInfo::NoError);
    emit XrfResultManager::instance()->aResultAvailable(result);
}
