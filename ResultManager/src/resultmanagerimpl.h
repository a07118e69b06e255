#ifndef RESULTMANAGERIMPL_H
#define RESULTMANAGERIMPL_H

// The worker object behind the facade. It lives on the caller's thread, owns
// the worker thread and the database object, turns each facade call into one
// "dbm" signal that reaches a database slot on the worker thread, and turns
// the database object's answers back into facade signals.
//
// Invariant: the database object is touched from this thread only through
// the connections made in init(), except for the two checks
// isSdCardInserted()/isStorageAvailable(), the abort flag and the thread
// readers, which are safe to use from here (flags and mutexes). Blocking
// reads go to the calling thread's own reader, never to the worker.

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>

#include <functional>

#include "databasemanager.h"
#include "xrfdatetimerange.h"
#include "xrferrorinfo.h"
#include "xrfexportparam.h"
#include "xrfjsonmessage.h"
#include "xrfkorviresult.h"
#include "xrftestsselected.h"

class XrfResultReader;

class ResultManagerImpl : public QObject
{
    Q_OBJECT
public:
    explicit ResultManagerImpl(QObject *parent = nullptr);
    ~ResultManagerImpl() override;

    XrfErrorInfo::XrfError init();
    bool isInitialised() const { return m_initialised; }
    void shutdown();

    DatabaseManager *databaseManager() { return &m_dbManager; }
    QThread *workerThread() { return &m_workerThread; }

    // Facade calls, on the caller's thread.
    XrfErrorInfo::XrfError setPaths(const QString &proPath, const QString &instruDataPath);
    XrfErrorInfo::XrfError setInstrumentDataPath(const QString &dbPath);
    XrfErrorInfo::XrfError setProfilePath(const QString &path);
    void setControllerStatus(int status)
    {
        m_controllerStatus = status;
        m_dbManager.setControllerStatus(status);
    }
    int controllerStatus() const { return m_controllerStatus; }

    XrfErrorInfo::XrfError addTestResult(const XrfKorviResult &result);
    XrfErrorInfo::XrfError getLastTestID(int *tid);
    XrfErrorInfo::XrfError getLastTestDateTime(QString *testDateTime);
    XrfErrorInfo::XrfError syncGetFullResult(int tid, XrfKorviResult *result);
    bool testIdExists(int tid);
    int storedTestId(const QString &testDateTime, const QString &tidName);
    XrfErrorInfo::XrfError getDatabaseInfo(QJsonObject *info);
    QString databaseOpenError();
    XrfErrorInfo::XrfError getTestsBetweenDates(const QString &from, const QString &to,
                                                QJsonArray *tests);
    void getResultFromTestDateTime(const QString &from, XrfKorviResult *result,
                                   XrfErrorInfo::XrfError *rC);
    XrfErrorInfo::XrfError
    getAllResultsFromTestDateTime(const QString &from, const QString &to, const QString &tidList,
                                  const QString &outFileName, int *numOfResultsCaptured,
                                  int *numOfResults, QString *status, uint limit);
    XrfErrorInfo::XrfError getResultsInASqlDbFromTestDateTime(const QString &from,
                                                              const QString &outFileName,
                                                              int *numOfResultsCaptured,
                                                              int *numOfResults, QString *status);
    XrfErrorInfo::XrfError importResultsFromSqlDb(const QString &sqlDbFile);
    XrfErrorInfo::XrfError importResultsFromJsFile(const QString &jsFile, int numberOfResults,
                                                   const QString &picturesBeside);
    XrfErrorInfo::XrfError getImage(const QString &imageFile, int appid);
    XrfErrorInfo::XrfError doDbHouseKeeping(bool vacuumStatus);
    XrfErrorInfo::XrfError abortCurrentDbOperation();

    XrfErrorInfo::XrfError getCalendar(XrfJsonMessage *msg);
    XrfErrorInfo::XrfError getTestIds(const XrfJsonMessage &msg);
    XrfErrorInfo::XrfError getLatestTestIds(XrfJsonMessage *msg);
    XrfErrorInfo::XrfError deleteTestResults(const XrfJsonMessage &msg);
    XrfErrorInfo::XrfError deleteTestResultsByDate(const XrfJsonMessage &msg);
    XrfErrorInfo::XrfError deleteTestResultsWithOption(const XrfJsonMessage &msg);
    XrfErrorInfo::XrfError editTestInfo(XrfJsonMessage *msg);
    XrfErrorInfo::XrfError GetFullResult(XrfJsonMessage *msg);
    XrfErrorInfo::XrfError AddAveragedResult(const XrfJsonMessage &msg);
    XrfErrorInfo::XrfError createAverageResultByDate(XrfJsonMessage *msg);
    XrfErrorInfo::XrfError exportResultsWithOption(XrfJsonMessage *msg);
    XrfErrorInfo::XrfError doAutoExport(const QString &testId);
    bool takeAutomaticExportCompletion(int testId, XrfErrorInfo::XrfError *code);

    void storeExportSettings(const QJsonObject &settings);

signals:
    void operationDone(int, int, QJsonDocument, XrfErrorInfo::XrfError);
    void calendarUpdated(QJsonObject jsObj);
    void resultUpdated(XrfKorviResult);
    XrfErrorInfo::XrfError dbmFetchCalendar(int);
    XrfErrorInfo::XrfError dbmLatestTestIds(int, int);
    XrfErrorInfo::XrfError dbmCreateAveragedResult(int, QString, QString);
    XrfErrorInfo::XrfError dbmDeleteAllResultsByDate(QString, QString, int);
    XrfErrorInfo::XrfError dbmDeleteAllResultsByTestIds(QString, int);
    XrfErrorInfo::XrfError dbmDeleteAllResultsWithOption(XrfExportParam, int);
    XrfErrorInfo::XrfError dbmGetTestIds(int, QString);
    XrfErrorInfo::XrfError dbmExportResultsByDate(QList<XrfDateTimeRange>, QStringList,
                                                  XrfTestsSelected::UseSettings, int commandId,
                                                  int Id);
    XrfErrorInfo::XrfError dbmCreateAveragedResultByDate(QString, QString, int, QString);
    XrfErrorInfo::XrfError dbmGetTestResult(int cmdId, int, QString);
    XrfErrorInfo::XrfError dbmInsertTestResult(XrfKorviResult);
    XrfErrorInfo::XrfError dbmEditTestInfo(QJsonArray, int, int);
    XrfErrorInfo::XrfError dbmGetAnXrfKorviResultByTestId(int, XrfKorviResult *);
    XrfErrorInfo::XrfError dbmInstrumentDataPathAvailable(QString);
    XrfErrorInfo::XrfError dbmGetLatestTestId(int *);
    XrfErrorInfo::XrfError dbmGetLastTestDateTime(QString *);
    XrfErrorInfo::XrfError dbmImportResultsFromJsFile(QString, int, QString);
    XrfErrorInfo::XrfError dbmGetAllResultsFromTestDateTime(QString, QString, QString, QString,
                                                            int *, int *, QString *, uint);
    XrfErrorInfo::XrfError dbmGetImage(QString, int);
    XrfErrorInfo::XrfError dbmGetNextResultByDateTime(QString);
    XrfErrorInfo::XrfError dbmGetResultFromTestDateTime(QString, XrfKorviResult *,
                                                        XrfErrorInfo::XrfError *);
    XrfErrorInfo::XrfError dbmGetResultsInASqlDbFromTestDateTime(QString, QString, int *, int *,
                                                                 QString *);
    XrfErrorInfo::XrfError dbmImportResultsFromSqlDb(QString);
    XrfErrorInfo::XrfError dbmSetPaths(QString, QString);
    XrfErrorInfo::XrfError dbmSetProfilePath(QString);
    void dbmDoDbHouseKeeping(bool);
    void dbmDoAutoExport(QString);
    void dbmRunExport(QJsonObject job);

public slots:
    void dbmQueryDone(int commandId, int requestId, QJsonDocument answer,
                      XrfErrorInfo::XrfError code);
    void dbmAveragedResultComputed(XrfKorviResult result, int requestId);

private:
    void runOnWorker(const std::function<void()> &call);
    bool onWorker() const;
    // The calling thread's reader; null (and *rc DbOpenFailed) when none.
    XrfResultReader *threadReader(XrfErrorInfo::XrfError *rc);
    XrfErrorInfo::XrfError checkRequest(bool storage, DatabaseManager::DbOperation op);

    QThread m_workerThread;
    DatabaseManager m_dbManager;
    int m_controllerStatus = 0;
    QJsonObject m_exportSettings;
    bool m_singleZip = false;
    bool m_initialised = false;
    // Automatic exports converted and not yet taken by the queue: test id
    // and code. Written here, read from the queue thread.
    QMutex m_automaticMutex;
    QHash<int, XrfErrorInfo::XrfError> m_automaticCompletions;
};

#endif // RESULTMANAGERIMPL_H
