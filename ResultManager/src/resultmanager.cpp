// The facade forwards every call to the worker object; it owns nothing. The
// two statics are the process's one facade and one worker object, made by the
// first instance() on the calling thread and destroyed by Deinit().

#include "resultmanager.h"

#include "databasefile.h"

#include <QDebug>

#include "facadeguard.h"
#include "resultmanagerimpl.h"

XrfResultManager *XrfResultManager::m_pInstance = nullptr;
ResultManagerImpl *XrfResultManager::m_pImpl = nullptr;

XrfResultManager::XrfResultManager(QObject *parent) : QObject(parent) { }

XrfResultManager::XrfResultManager(const XrfResultManager &, QObject *parent) : QObject(parent) { }

XrfResultManager::~XrfResultManager() = default;

XrfResultManager *XrfResultManager::instance()
{
    if (!m_pInstance)
        m_pInstance = new XrfResultManager();
    if (!m_pImpl)
        m_pImpl = new ResultManagerImpl();
    return m_pInstance;
}

XrfErrorInfo::XrfError XrfResultManager::init()
{
    if (!m_pImpl)
        return XrfErrorInfo::InvalidArgument;
    if (m_pImpl->isInitialised())
        return XrfErrorInfo::NoError; // a second init() must not connect twice
    const XrfErrorInfo::XrfError code = m_pImpl->init();
    if (code != XrfErrorInfo::NoError) {
        qDebug() << "failed to init the implementation.";
        return code;
    }
    const bool ok = connect(m_pImpl, &ResultManagerImpl::operationDone, this,
                            &XrfResultManager::operationDone)
            && connect(m_pImpl, &ResultManagerImpl::calendarUpdated, this,
                       &XrfResultManager::calendarUpdated)
            && connect(m_pImpl, &ResultManagerImpl::resultUpdated, this,
                       &XrfResultManager::resultUpdated);
    return ok ? XrfErrorInfo::NoError : XrfErrorInfo::InvalidArgument;
}

XrfErrorInfo::XrfError XrfResultManager::Deinit()
{
    // Calls guarded on other threads finish first; later ones see no facade.
    QWriteLocker lifetime(&FacadeGuard::lifetimeLock());
    if (m_pImpl) {
        m_pImpl->shutdown();
        delete m_pImpl;
        m_pImpl = nullptr;
    }
    if (m_pInstance) {
        XrfResultManager *facade = m_pInstance;
        m_pInstance = nullptr;
        delete facade;
    }
    return XrfErrorInfo::NoError;
}

// Forwarding calls; a call before instance() or after Deinit() reports
// InvalidArgument instead of touching a null worker.
#define XRF_REQUIRE_IMPL(ret)                                                                      \
    if (!m_pImpl)                                                                                  \
    return ret

XrfErrorInfo::XrfError XrfResultManager::setPaths(const QString &proPath,
                                                  const QString &instruDataPath)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->setPaths(proPath, instruDataPath);
}

XrfErrorInfo::XrfError XrfResultManager::setInstrumentDataPath(const QString &dbPath,
                                                               const QString &)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->setInstrumentDataPath(dbPath);
}

void XrfResultManager::onInstrumentDataPathAvailable(QString type, bool insertedStatus,
                                                     QString mountPath)
{
    qDebug() << "RM received instrumentDataPath as" << mountPath << "type is" << type;
    if (type != QLatin1String("SdCard")) {
        qDebug() << "Ignoring instrument data path of type" << type;
        return;
    }
    XRF_REQUIRE_IMPL();
    m_pImpl->setInstrumentDataPath(insertedStatus ? mountPath + QStringLiteral("instrumentdata/")
                                                  : QString());
}

void XrfResultManager::onProfilePathAvailable(QString pPath)
{
    qDebug() << "RM received profile path as" << pPath;
    XRF_REQUIRE_IMPL();
    m_pImpl->setProfilePath(pPath);
}

void XrfResultManager::onControllerStatusChanged(int controllerStatus)
{
    XRF_REQUIRE_IMPL();
    m_pImpl->setControllerStatus(controllerStatus);
}

int XrfResultManager::controllerStatus() const
{
    return m_pImpl ? m_pImpl->controllerStatus() : 0;
}

void XrfResultManager::setReadOnly(bool readOnly)
{
    DatabaseFile::setReadOnlyWanted(readOnly);
}

bool XrfResultManager::databaseAvailable() const
{
    return m_pImpl && m_pImpl->databaseManager()->isSdCardInserted();
}

XrfErrorInfo::XrfError XrfResultManager::addTestResult(const XrfKorviResult &param)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->addTestResult(param);
}

XrfErrorInfo::XrfError XrfResultManager::getLastTestID(int *tid)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getLastTestID(tid);
}

XrfErrorInfo::XrfError XrfResultManager::getLastTestDateTime(QString *testDateTime)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getLastTestDateTime(testDateTime);
}

XrfErrorInfo::XrfError XrfResultManager::syncGetFullResult(int tid, XrfKorviResult *result)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->syncGetFullResult(tid, result);
}

bool XrfResultManager::testIdExists(int tid)
{
    XRF_REQUIRE_IMPL(false);
    return m_pImpl->testIdExists(tid);
}

int XrfResultManager::storedTestId(const QString &testDateTime, const QString &tidName)
{
    XRF_REQUIRE_IMPL(-1);
    return m_pImpl->storedTestId(testDateTime, tidName);
}

XrfErrorInfo::XrfError XrfResultManager::getDatabaseInfo(QJsonObject *info)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getDatabaseInfo(info);
}

QString XrfResultManager::databaseOpenError()
{
    XRF_REQUIRE_IMPL(QString());
    return m_pImpl->databaseOpenError();
}

XrfErrorInfo::XrfError XrfResultManager::getTestsBetweenDates(const QString &from,
                                                              const QString &to, QJsonArray *tests)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getTestsBetweenDates(from, to, tests);
}

void XrfResultManager::getResultFromTestDateTime(QString fromTestDateTime, XrfKorviResult *result,
                                                 XrfErrorInfo::XrfError *rC)
{
    XRF_REQUIRE_IMPL();
    m_pImpl->getResultFromTestDateTime(fromTestDateTime, result, rC);
}

XrfErrorInfo::XrfError XrfResultManager::getAllResultsFromTestDateTime(
        QString fromTestDateTime, QString toTestDateTime, QString tidList, QString outFileName,
        int *numOfResultsCaptured, int *numOfResults, QString *status, unsigned int limit)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getAllResultsFromTestDateTime(fromTestDateTime, toTestDateTime, tidList,
                                                  outFileName, numOfResultsCaptured, numOfResults,
                                                  status, limit);
}

XrfErrorInfo::XrfError
XrfResultManager::getResultsInASqlDbFromTestDateTime(QString fromTestDateTime, QString outFileName,
                                                     int *numOfResultsCaptured, int *numOfResults,
                                                     QString *status)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getResultsInASqlDbFromTestDateTime(fromTestDateTime, outFileName,
                                                       numOfResultsCaptured, numOfResults, status);
}

XrfErrorInfo::XrfError XrfResultManager::importResultsFromSqlDb(QString sqlDbFile)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->importResultsFromSqlDb(sqlDbFile);
}

XrfErrorInfo::XrfError XrfResultManager::importResultsFromJsFile(QString jsFile,
                                                                 int numberOfResults,
                                                                 QString picturesBeside)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->importResultsFromJsFile(jsFile, numberOfResults, picturesBeside);
}

XrfErrorInfo::XrfError XrfResultManager::getImage(QString imageFile, int appid)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getImage(imageFile, appid);
}

XrfErrorInfo::XrfError XrfResultManager::doDbHouseKeeping(bool vacuumStatus)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->doDbHouseKeeping(vacuumStatus);
}

XrfErrorInfo::XrfError XrfResultManager::abortCurrentDbOperation()
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->abortCurrentDbOperation();
}

XrfErrorInfo::XrfError XrfResultManager::getCalendar(XrfJsonMessage *msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getCalendar(msg);
}

XrfErrorInfo::XrfError XrfResultManager::getTestIds(const XrfJsonMessage &msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getTestIds(msg);
}

XrfErrorInfo::XrfError XrfResultManager::getLatestTestIds(XrfJsonMessage *msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->getLatestTestIds(msg);
}

XrfErrorInfo::XrfError XrfResultManager::deleteTestResults(const XrfJsonMessage &msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->deleteTestResults(msg);
}

XrfErrorInfo::XrfError XrfResultManager::deleteTestResultsByDate(const XrfJsonMessage &msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->deleteTestResultsByDate(msg);
}

XrfErrorInfo::XrfError XrfResultManager::deleteTestResultsWithOption(const XrfJsonMessage &msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->deleteTestResultsWithOption(msg);
}

XrfErrorInfo::XrfError XrfResultManager::editTestInfo(XrfJsonMessage *msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->editTestInfo(msg);
}

XrfErrorInfo::XrfError XrfResultManager::GetFullResult(XrfJsonMessage *msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->GetFullResult(msg);
}

XrfErrorInfo::XrfError XrfResultManager::AddAveragedResult(const XrfJsonMessage &msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->AddAveragedResult(msg);
}

XrfErrorInfo::XrfError XrfResultManager::createAverageResultByDate(XrfJsonMessage *msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->createAverageResultByDate(msg);
}

XrfErrorInfo::XrfError XrfResultManager::exportResultsWithOption(XrfJsonMessage *msg)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->exportResultsWithOption(msg);
}

XrfErrorInfo::XrfError XrfResultManager::doAutoExport(QString testId)
{
    XRF_REQUIRE_IMPL(XrfErrorInfo::InvalidArgument);
    return m_pImpl->doAutoExport(testId);
}

bool XrfResultManager::takeAutomaticExportCompletion(int testId, XrfErrorInfo::XrfError *code)
{
    return m_pImpl && m_pImpl->takeAutomaticExportCompletion(testId, code);
}

XrfErrorInfo::XrfError XrfResultManager::getLastTestResult(QString *)
{
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfResultManager::getLastCalCheckResult(XrfKorviResult *)
{
    return XrfErrorInfo::NotImplemented;
}
