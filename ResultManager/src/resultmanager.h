#ifndef RESULTMANAGER_H
#define RESULTMANAGER_H

// The exported face of the result manager. It holds no state: every call is
// forwarded to the worker object, which passes it to the database object on
// the worker thread. Answers and events leave only through the signals below.
//
// Three call modes: blocking requests wait until the database object has run
// (out-parameters carry the outcome, the call returns 0), queued requests
// check their preconditions and return at once (the answer arrives as
// operationDone), and direct calls run on the caller's thread.

#include "resultmanager_global.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>

#include "xrfcommandids.h"
#include "xrferrorinfo.h"
#include "xrfjsonmessage.h"
#include "xrfkorviresult.h"

class ResultManagerImpl;

class RESULTMANAGER_EXPORT XrfResultManager : public QObject
{
    Q_OBJECT
public:
    explicit XrfResultManager(QObject *parent = nullptr);
    XrfResultManager(const XrfResultManager &, QObject *parent = nullptr);
    ~XrfResultManager() override;

    static XrfResultManager *instance();
    static XrfResultManager *m_pInstance;
    static ResultManagerImpl *m_pImpl;

    XrfErrorInfo::XrfError init();
    XrfErrorInfo::XrfError Deinit();

    // A host that only reads beside another process that stores (a viewer, a
    // listing) opens an existing database for reading only: never upgraded,
    // written or folded, so it never holds up that process's commits. Call
    // before setPaths. Direct.
    void setReadOnly(bool readOnly);
    XrfErrorInfo::XrfError setPaths(const QString &proPath, const QString &instruDataPath);
    XrfErrorInfo::XrfError setInstrumentDataPath(const QString &dbPath,
                                                 const QString &unused = QString());
    int controllerStatus() const;
    // Whether a results database is open (the storage card is present and its
    // database usable). Direct.
    bool databaseAvailable() const;

    XrfErrorInfo::XrfError getLastTestID(int *tid);
    XrfErrorInfo::XrfError getLastTestDateTime(QString *testDateTime);
    XrfErrorInfo::XrfError syncGetFullResult(int tid, XrfKorviResult *result);
    bool testIdExists(int tid);
    // The test id under which a result with this stored date-time text
    // ("yyyy-MM-dd hh:mm:ss.zzz", UTC) and name is stored, or -1 when none is
    // (or no database is open). Blocking.
    int storedTestId(const QString &testDateTime, const QString &tidName);
    // What a host shows of the open database: "file", "dbId", "dbVersion",
    // "serial", "results" (the number stored) and "readOnly"; after an open
    // that upgraded an older file also "upgradedFrom" (the version it had)
    // and, when it was archived instead, "archivedAs". NoSdCard when none is
    // open. Blocking.
    XrfErrorInfo::XrfError getDatabaseInfo(QJsonObject *info);
    // Why the last open of the results database failed; empty when it
    // succeeded. Blocking.
    QString databaseOpenError();
    // The tests after `from` up to and including `to`, oldest first, as
    // {"tid", "tidName", "dateTime" (stored UTC text), "note" when notes are
    // on}. Bounds are local wall-clock date-times ("yyyy-MM-dd hh:mm:ss.zzz",
    // ISO 8601, or a date for its midnight) unless they carry a zone;
    // InvalidArgument when one does not parse. Blocking.
    XrfErrorInfo::XrfError getTestsBetweenDates(const QString &from, const QString &to,
                                                QJsonArray *tests);
    void getResultFromTestDateTime(QString fromTestDateTime, XrfKorviResult *result,
                                   XrfErrorInfo::XrfError *rC);
    XrfErrorInfo::XrfError
    getAllResultsFromTestDateTime(QString fromTestDateTime, QString toTestDateTime, QString tidList,
                                  QString outFileName, int *numOfResultsCaptured, int *numOfResults,
                                  QString *status, unsigned int limit);
    // The first 500 results after fromTestDateTime (UTC) into
    // "<outFileName>.sqlite", with links to their images beside it; the
    // code of the work (FileCreateFailed for an output under db/ or
    // images/). Blocking. This, getAllResultsFromTestDateTime, both imports
    // and doAutoExport return NoStorage, doing nothing, when the card has no
    // more free space than the storage check requires.
    XrfErrorInfo::XrfError getResultsInASqlDbFromTestDateTime(QString fromTestDateTime,
                                                              QString outFileName,
                                                              int *numOfResultsCaptured,
                                                              int *numOfResults, QString *status);
    // The results of a mini database that are not stored yet, all or none;
    // resultsImported reports the counts before this returns. FileOpenFailed
    // for a file that is no results database. Blocking.
    XrfErrorInfo::XrfError importResultsFromSqlDb(QString sqlDbFile);
    // The results of a stream file that are not stored yet; the file is
    // removed once every object in it was stored or skipped. The pictures
    // lie in "instrumentdata/images" beside picturesBeside when given (a host
    // that hands over a copy of its user's file names the original), else
    // beside jsFile. The slot's code (FileAccessFailed: read to its end);
    // resultsImported reports the counts before this returns. Blocking.
    XrfErrorInfo::XrfError importResultsFromJsFile(QString jsFile, int numberOfResults,
                                                   QString picturesBeside = QString());
    // Queued: answered once by operationDone(Image, appid) with the picture
    // in hex, FileOpenFailed when it is not in the image store.
    XrfErrorInfo::XrfError getImage(QString imageFile, int appid);
    XrfErrorInfo::XrfError doDbHouseKeeping(bool vacuumStatus);
    XrfErrorInfo::XrfError abortCurrentDbOperation();

    // The queued requests. Each one that returns NoError is answered exactly
    // once by operationDone with the command id below (XrfCommandIds), the
    // message's request id and a code; a request refused when it is made
    // (NoSdCard, NoStorage, InvalidArgument for a null or unusable argument,
    // DbOpenFailed where it would write a read-only card) is answered by
    // that returned code alone. A failed query answers DbQueryFailed, never
    // an empty list.
    //
    // Calendar: the local days that hold tests.
    XrfErrorInfo::XrfError getCalendar(XrfJsonMessage *msg);
    // TestIdsOfDay: the tests of a local day; InvalidArgument for no date.
    XrfErrorInfo::XrfError getTestIds(const XrfJsonMessage &msg);
    // LatestTestIds: the newest tests.
    XrfErrorInfo::XrfError getLatestTestIds(XrfJsonMessage *msg);
    // DeleteByTestIds, with the ids asked for; InvalidArgument for a list
    // with a part that is no id (nothing deleted).
    XrfErrorInfo::XrfError deleteTestResults(const XrfJsonMessage &msg);
    // DeleteByTestIds with the ids deleted, or DeleteByDate with none when
    // every stored result was chosen and the file made new.
    XrfErrorInfo::XrfError deleteTestResultsByDate(const XrfJsonMessage &msg);
    // The request's own id (actionToDo 3 only; anything else is refused).
    XrfErrorInfo::XrfError deleteTestResultsWithOption(const XrfJsonMessage &msg);
    // EditTestInfo; ResultNotFound for a test id that is not stored.
    XrfErrorInfo::XrfError editTestInfo(XrfJsonMessage *msg);
    // The request's own command id (FullResultDisplayForm: the display
    // form); ResultNotFound, or the failed read's code.
    XrfErrorInfo::XrfError GetFullResult(XrfJsonMessage *msg);
    // AveragedResult, then aResultAvailable with the average when it could
    // be made; ResultNotFound, InvalidArgument, MethodMismatch or
    // NotCurrentMethod otherwise.
    XrfErrorInfo::XrfError AddAveragedResult(const XrfJsonMessage &msg);
    XrfErrorInfo::XrfError createAverageResultByDate(XrfJsonMessage *msg);
    // The request's own command id (ExportWithOptions), after exportComplete
    // once; an abort pressed after the request answers OperationAborted.
    XrfErrorInfo::XrfError exportResultsWithOption(XrfJsonMessage *msg);
    // AutomaticExport, after exportComplete with the test id; for the queue.
    XrfErrorInfo::XrfError doAutoExport(QString testId);
    // Whether an automatic export (doAutoExport) of this test has been
    // converted since the last call, and its code; each is taken once.
    // exportComplete is also emitted for a user's export of the same test:
    // the queue settles an entry only on its own. Direct; any thread.
    bool takeAutomaticExportCompletion(int testId, XrfErrorInfo::XrfError *code);

    XrfErrorInfo::XrfError getLastTestResult(QString *result);
    XrfErrorInfo::XrfError getLastCalCheckResult(XrfKorviResult *result);

signals:
    void error(QString msg);
    void operationDone(int commandId, int requestId, const QJsonDocument &answer,
                       XrfErrorInfo::XrfError code);
    void calendarUpdated(const QJsonObject &calendar);
    void resultUpdated(const XrfKorviResult &result);
    void anExportResultAvailable(QString file);
    void aResultAvailableForPrint(const XrfKorviResult &result);
    void aResultAvailable(const XrfKorviResult &result);
    void addedNResultsToDb(int added, int total);
    void filterResultsProgress(int done, int total);
    // Emitted on the worker thread as an import ends, before the blocking
    // import call returns: results stored, skipped because they were already
    // stored, and not stored, and the pictures the stored results name that
    // were not carried beside the file (those results are stored without
    // them; a later import that carries them adds them).
    void resultsImported(int stored, int skipped, int failed, int picturesMissing);
    void resultInserted(XrfErrorInfo::XrfError code);
    void resultCommitted(QDateTime testDateTime, bool isAverage, int testId);
    void resultsAvailableForSync(const QJsonObject &result);
    void dbInfo(const QJsonObject &info);
    void exportComplete(int commandId, XrfErrorInfo::XrfError code);

public slots:
    void onInstrumentDataPathAvailable(QString type, bool insertedStatus, QString mountPath);
    void onProfilePathAvailable(QString pPath);
    void onControllerStatusChanged(int controllerStatus);
    XrfErrorInfo::XrfError addTestResult(const XrfKorviResult &param);
};

#endif // RESULTMANAGER_H
