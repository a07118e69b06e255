#ifndef XRFRESULTQUEUE_H
#define XRFRESULTQUEUE_H

// The persistent result queue. A new result is first written, whole, as one
// JSON file into the queue folder with flags for the actions still to do
// (database, cloud, export); the queue thread works them off on a timer and
// deletes the file once every action the settings ask for is done. A result
// whose addResult() has returned survives a power cut: the file is written
// to a temporary name, synced and renamed.
//
// Everything that touches the queue files and the meta list runs on the
// "Result Queue Thread". Public slots called from another thread are queued
// to it and return at once, except addResult(), whose caller waits until the
// file is on disk, and stopResultQueue(), which waits for the thread to end.
// The queue thread itself waits only on the worker thread, never on a caller.

#include "resultmanager_global.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "xrferrorinfo.h"
#include "xrfkorviresult.h"

class RESULTMANAGER_EXPORT XrfResultQueue : public QObject
{
    Q_OBJECT
public:
    static const QString resultFileDateTimeformat;

    static XrfResultQueue *instance();
    // The queue when one has been made, else null; never makes one (the
    // worker thread asks this, and the queue must not be born there).
    static XrfResultQueue *existingInstance();
    // Stops the queue, joins its thread and deletes the singleton; the next
    // instance() builds a new one (in the current directory of that time).
    static void destroyInstance();
    ~XrfResultQueue() override;

    QString queuePath() const;
    int maxQueueSize() const;
    void setMaxQueueSize(int size);
    // Milliseconds between passes; 5000 unless set.
    int checkInterval() const;
    void setCheckInterval(int msecs);
    // Milliseconds after which a hand-over to the database without a reported
    // commit is released and handed over again; 60000 unless set.
    int handOverTimeout() const;
    void setHandOverTimeout(int msecs);

    // Queue files whose result is not yet in the database (every file when
    // the settings do not ask for the database), as of the queue's last
    // change. Safe to call from any thread.
    int resultsNotYetStored() const;

    QString createQueuedResultPath(QDateTime testDateTime, QString tidName, int testId) const;
    void getResultActionSettings(QJsonObject *settings);
    bool roomInQueue();
    bool loadResultFromObjectOrFile(QJsonObject *meta, QJsonObject *resultObject,
                                    XrfKorviResult *result);
    bool fetchQueuedResult(const QString &day, const QString &tidName, XrfKorviResult *result);
    // The same over a queue folder's files alone, without the queue object:
    // safe from any thread, whether a queue runs or not.
    static bool findQueuedResult(const QString &queueFolder, const QString &day,
                                 const QString &tidName, XrfKorviResult *result);
    bool sendResultToCloud(const QJsonObject &result);
    void processResult(QJsonObject *meta, QJsonObject *resultObject);
    void updateOrDeleteResult(QJsonObject *meta, bool changed);
    void checkForStaleResults();

    // The tidName as it may stand in a file name: path separators, control
    // characters and the characters FAT refuses become "_", and the whole
    // queue file name stays within 255 bytes.
    static QString fileNameSafe(const QString &tidName);

signals:
    void queueSizeWarning();
    void queueFullWarning();
    // addResult() could not queue this result (queue full, a write that
    // failed, or a result that can never be stored); nothing of it is kept.
    void resultNotQueued(QString testDateTime, QString tidName, XrfErrorInfo::XrfError code);
    // A queue file that cannot be read as a result, or whose insertion
    // failed too often, was moved to the "failed" folder beside the queue.
    void resultSetAside(QString path, QString reason);

public slots:
    void addResult(const XrfKorviResult &result);
    void onQueueCheckTimerTimeout();
    void onThreadStarted();
    void onResultCommittedToDb(QDateTime testDateTime, bool isAverage, int testId);
    void onResultSentToCloud(QString testDateTime);
    void onExportComplete(int testId, XrfErrorInfo::XrfError status);
    void onNetworkConnectionStatusChanged(bool connected);
    void onNetworkFolderMountStatusChanged(uint status);
    void startResultQueue();
    void stopResultQueue();
    void pauseResultQueue();
    void unPauseResultQueue();

private:
    XrfResultQueue();
    bool onQueueThread() const;
    class XrfResultQueuePrivate;
    XrfResultQueuePrivate *d;
};

#endif // XRFRESULTQUEUE_H
