#ifndef DATABASEMANAGER_H
#define DATABASEMANAGER_H

// The owner of the results database. Every slot runs on the worker thread,
// one at a time, on the single connection "XrfDb"; the only state touched
// from other threads is the abort flag (under its mutex) and the open flag
// that the request checks read.
//
// Lifecycle: Closed --(both paths known, open succeeds)--> Open
//            Open --(empty path / closeDatabase)--> Closed
//            Open --(vacuumTheDb(true), free pages)--> Vacuuming --> Open
// An existing file of an older schema is upgraded during the open
// (SchemaMigration); one that cannot be, or is newer, is not opened.
// "Open" is the flag m_dbOpen, not the connection state: operations fetch the
// connection by name and reopen it when an earlier one closed it.

#include <QAtomicInteger>
#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QSqlDatabase>
#include <QStringList>

#include <functional>
#include <memory>

#include "exportrun.h"
#include "fileidentity.h"
#include "hdffile.h"
#include "resultschema.h"
#include "resultsfilter.h"
#include "sqltext.h"
#include "threadreaders.h"
#include "xrfdatetimerange.h"
#include "xrferrorinfo.h"
#include "xrfexportparam.h"
#include "xrfkorviresult.h"
#include "xrftestsselected.h"

class QFile;
class QTimer;
class ResultReader;
class QSqlQuery;

class DatabaseManager : public QObject
{
    Q_OBJECT
public:
    enum DbOperation {
        DbOpAny = 0,
        DbOpExport = 1,
        DbOpImport = 2,
        DbOpStore = 3,
        DbOpSync = 4,
        DbOpOther = 5
    };
    Q_ENUM(DbOperation)

    static const QString connectionName;

    explicit DatabaseManager(QObject *parent = nullptr);
    ~DatabaseManager() override;

    // The readers other threads ask blocking questions on; safe from any
    // thread. This object says which file they read.
    ThreadReaders &threadReaders() { return m_threadReaders; }

    XrfErrorInfo::XrfError setProfilePath(QString path);
    XrfErrorInfo::XrfError openDB(QString path);
    void closeDatabase();
    XrfErrorInfo::XrfError getDeviceDbInfo(QString &dbId, QString &dbVersion, QString &serial,
                                           QString &model, QString &anode);
    bool isSdCardInserted() const;
    bool isReadOnly() const { return m_readOnly; }
    bool isStorageAvailable(DbOperation operation) const;
    XrfErrorInfo::XrfError execInsDelQuery(const QString &statement);
    XrfErrorInfo::XrfError reportDbInfo();

    // How averaging finds a result that is queued, not yet stored (day
    // "yyyy-MM-dd" and name); set once by the worker object before the
    // thread starts. The database object knows nothing of the queue.
    using QueuedResultLookup
            = std::function<bool(const QString &, const QString &, XrfKorviResult *)>;
    void setQueuedResultLookup(QueuedResultLookup lookup)
    {
        m_queuedResultLookup = std::move(lookup);
    }
    // 1 while a PC controls the instrument; written from the caller's thread.
    void setControllerStatus(int status) { m_controllerStatus.storeRelaxed(status); }

    void setAbortFlag(bool value);
    void abortCurrentDbOperation();
    bool isAbortFlagSet();
    // The aborts asked for so far, taken when a request is queued; the
    // operation then starts as of that count.
    quint64 abortRequests() const;
    void startAsOf(quint64 abortRequests);

    XrfErrorInfo lastError() const { return m_lastError; }
    QString databaseFilePath() const;
    QString instrumentDataPath() const { return m_instrumentDataPath; }
    QString profilePath() const { return m_profilePath; }
    QDate day() const { return m_hdfFile.day(); }
    qint64 dayCounter() const { return m_hdfFile.counter(); }

    // The test id of a stored result with this date-time text and name, or -1
    // (also when the date-time is empty, or the lookup fails).
    int storedTestId(const QString &testDateTime, const QString &tidName);

    XrfErrorInfo::XrfError getTestIdsBetweenDates(const QString &from, const QString &to,
                                                  QString *testIds, quint32 limit);
    XrfErrorInfo::XrfError getRecordCount(int *count);
    // The open file, its device row, the number of stored results and
    // whether it was opened read-only, for a host to show.
    XrfErrorInfo::XrfError describeDatabase(QJsonObject *info);
    // The display form of a result, as the current method shows it.
    static QJsonObject displayForm(const XrfKorviResult &result);
    // Removes the database file and the image files its rows name, and opens
    // a new file; the old one is kept when the new one cannot be made.
    XrfErrorInfo::XrfError eraseAllResults();

signals:
    void errorSignal(QString msg);
    void query(QString queryStatement, QString filter);
    void resultUpdated(XrfKorviResult result);
    void queryDone(int commandId, int requestId, QJsonDocument answer, XrfErrorInfo::XrfError code);
    void calendarUpdated(QJsonObject calendar);
    void averagedResultComputed(XrfKorviResult result, int requestId);
    // Bound for the facade's signals of the same name (resultUpdated for an
    // averaged result), forwarded directly: they are emitted on this thread.
    void resultInserted(XrfErrorInfo::XrfError code);
    void resultCommitted(QDateTime testDateTime, bool isAverage, int testId);
    void averagedResultInserted(XrfKorviResult result);
    void aResultAvailableForPrint(XrfKorviResult result);
    void dbInfo(QJsonObject info);
    void filterResultsProgress(int done, int total);
    void addedNResultsToDb(int added, int total);
    // At the end of every import: results stored, skipped as already stored,
    // and failed (not stored).
    void resultsImported(int stored, int skipped, int failed, int picturesMissing);

public slots:
    void fetchCalendar(int id);
    void getTestResult(int cmdId, int id, QString testIds);
    XrfErrorInfo::XrfError setInstrumentDataPath(QString dbPath);
    XrfErrorInfo::XrfError editTestInfo(QJsonArray testInfo, int testId, int id);
    XrfErrorInfo::XrfError insertTestResult(XrfKorviResult result);
    XrfErrorInfo::XrfError deleteAllResultsByDate(QString dateList, QString tidList, int id);
    XrfErrorInfo::XrfError deleteAllResultsByTestIds(QString testIds, int id);
    XrfErrorInfo::XrfError deleteAllResultsWithOption(XrfExportParam param, int id);
    XrfErrorInfo::XrfError createAveragedResult(int id, QString testNames, QString newTidName);
    XrfErrorInfo::XrfError createAveragedResultByDate(QString dateList, QString tidList, int id,
                                                      QString newTidName);
    XrfErrorInfo::XrfError exportResults(QStringList testIds, XrfTestsSelected::UseSettings use,
                                         QString *outFile);
    XrfErrorInfo::XrfError exportResultsByDate(QList<XrfDateTimeRange> ranges, QStringList testIds,
                                               XrfTestsSelected::UseSettings use, int commandId,
                                               int id);
    XrfErrorInfo::XrfError getTestIds(int id, QString dateString);
    // The tests after `from` up to `to` (local wall-clock or with a zone).
    XrfErrorInfo::XrfError testsBetweenDates(QString from, QString to, QJsonArray *tests);
    XrfErrorInfo::XrfError latestTestIds(int cmdId, int number);
    XrfErrorInfo::XrfError getAnXrfKorviResultByTestId(int tid, XrfKorviResult *korviResult);
    void testIdExists(int tid, bool *exists);
    XrfErrorInfo::XrfError getLatestTestId(int *tid);
    XrfErrorInfo::XrfError getLastTestDateTime(QString *testDateTime);
    XrfErrorInfo::XrfError importResultsFromJsFile(QString jsFile, int numberOfResults,
                                                   QString picturesBeside);
    // Opens the import file for reading; FileOpenFailed when it cannot be.
    XrfErrorInfo::XrfError openJsFile(QString jsFile);
    XrfErrorInfo::XrfError
    getAllResultsFromTestDateTime(QString fromTestDateTime, QString toTestDateTime, QString tidList,
                                  QString outFileName, int *numOfResultsCaptured, int *numOfResults,
                                  QString *status, uint limit);
    void getResultFromTestDateTime(QString fromTestDateTime, XrfKorviResult *result,
                                   XrfErrorInfo::XrfError *rC);
    XrfErrorInfo::XrfError getResultsInSqlDbFromTestDateTime(QString fromTestDateTime,
                                                             QString outFileName,
                                                             int *numOfResultsCaptured,
                                                             int *numOfResults, QString *status);
    XrfErrorInfo::XrfError importResultsFromSqlDb(QString sqlDbFile);
    XrfErrorInfo::XrfError getImage(QString imageFile, int appid);
    XrfErrorInfo::XrfError setPaths(QString proPath, QString instruDataPath);
    void vacuumTheDb(bool vacuumStatus);
    void run();
    void onVacuumTimerTimeout();
    void doAutoExport(QString testId);
    void setExportSettingToUsed(QJsonObject arg);
    // One export with everything it needs in `job` (see ExportRun::job()):
    // selection, intermediate files, conversion, one answer.
    void runExport(QJsonObject job);

private:
    bool calendarNotesEnabled() const;
    // Deletes the selection (or erases the file when it holds every stored
    // test and `mayErase`), answers and refreshes the calendar.
    XrfErrorInfo::XrfError deleteSelection(const QList<int> &ids, int commandId, int id,
                                           bool mayErase);
    XrfErrorInfo::XrfError performAutoPrintIfNecessary(XrfKorviResult result);
    XrfErrorInfo::XrfError performAutoExportIfNecessary(QString testId);
    // What an export needs of this object; clears the abort flag.
    ExportRun::Context exportContext(const QJsonObject &job = QJsonObject());

    QSqlDatabase workingHandle();
    QString currentUser() const;
    QString imageFolder() const;
    // The path of a stored image name, or empty when it would leave the store.
    QString imagePath(const QString &name) const;
    // False when the lookup itself failed; *testId is -1 when none is stored.
    bool lookUpStoredTestId(const QString &testDateTime, const QString &tidName, int *testId);
    // The reader of the open connection, made on first use.
    ResultReader &reader();
    // Closes the connection (a later workingHandle() reopens it) and drops
    // what was prepared on it.
    void closeConnectionNow();
    // Folds the write-ahead log into the file, then closes the connection.
    void checkpointAndClose();
    void onIdleTimeout();
    // Before a result is written: the file at the path as it is now. A new
    // one is made when it was deleted; DbOpenFailed when its folder is gone
    // or it is marked read-only.
    XrfErrorInfo::XrfError checkFileBeforeWriting();

    int m_lastTestId = 0;
    ThreadReaders m_threadReaders;
    mutable QMutex m_abortMutex;
    QAtomicInteger<int> m_dbOpen { 0 };
    bool m_readOnly = false;
    QAtomicInt m_controllerStatus { 0 };
    QDateTime m_lastAssignedTime; // given to the last result stored without one
    // Last state said in the log by the request checks (-1: none yet).
    mutable QAtomicInt m_cardReported { -1 };
    mutable QAtomicInt m_storageReported { -1 };
    quint64 m_abortRequests = 0;
    quint64 m_abortsSeen = 0;
    ResultsFilter m_resultsFilter;
    QString m_dbFolder;
    QString m_instrumentDataPath;
    QString m_profilePath;
    QString m_dbFileName;
    HdfFile m_hdfFile;
    QueuedResultLookup m_queuedResultLookup;
    XrfErrorInfo m_lastError;
    QTimer *m_vacuumTimer = nullptr;
    qint64 m_storageRequirements[4] = { 104857600, 104857600, 104857600, 104857600 };
    int m_vacuumInterval = 500;
    QSqlDatabase m_openHandle;
    QSqlDatabase m_workingHandle;
    std::unique_ptr<ResultReader> m_reader;
    SqlText::StatementCache m_statements; // of the open connection
    FileIdentity m_fileSeen; // the file as this object last left it
    QTimer *m_idleTimer = nullptr;
    QElapsedTimer m_lastUse;
    static constexpr int idleMsecs = 2000;
    QJsonObject m_exportSettingsInUse;
    // What the last open's upgrade did: "upgradedFrom", "archivedAs".
    QJsonObject m_upgrade;
    // The stream being imported; made on the worker thread, where it is read.
    std::unique_ptr<QFile> m_jsFile;
};

#endif // DATABASEMANAGER_H
