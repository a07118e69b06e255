#ifndef XRFRESULTQUEUE_P_H
#define XRFRESULTQUEUE_P_H

// The queue's private side, shared by its store (xrfresultqueue.cpp) and its
// state machine (queuestates.cpp). Not part of the library's interface.

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>

#include "queueentry.h"
#include "queuefilename.h"
#include "xrfkorviresult.h"
#include "xrfresultqueue.h"

namespace QueueLimits {
const int cloudTimeoutMsecs = 20000;
const int maxHandOvers = 3;
const int maxInsertionFailures = 5;
} // namespace QueueLimits

// What the settings ask of each result, read once per use. A missing or
// malformed setting means its default; an action that cannot run in this
// configuration is not asked for (each said once in the log).
struct QueueActions
{
    bool insertToDb = true;
    bool uploadToCloud = false;
    bool autoExport = false;
    bool networkTarget = false;
};

// A public slot called from another thread is queued to the queue thread and
// returns at once; the caller never waits on it. Before the thread runs, it
// runs in place.
#define XRF_ON_QUEUE_THREAD(call)                                                                  \
    if (!onQueueThread() && d->thread->isRunning()) {                                              \
        QMetaObject::invokeMethod(                                                                 \
                this, [=] { call; }, Qt::QueuedConnection);                                        \
        return;                                                                                    \
    }

class XrfResultQueue::XrfResultQueuePrivate : public QObject
{
public:
    explicit XrfResultQueuePrivate(XrfResultQueue *queue) : QObject(queue), q(queue) { }

    // One queue file in one pass: its entry, and its result once loaded.
    struct Pass
    {
        Pass(QueueEntry &e, const QJsonObject *r) : entry(e), resultObject(r) { }

        QueueEntry &entry;
        // The file's result as read this pass, or null (read from the file).
        const QJsonObject *resultObject;
        XrfKorviResult result;
        bool loaded = false;
        // The entry changed and the file is to be rewritten.
        bool changed = false;
        // The result to write with it, when it changed too.
        QJsonObject newResult;
        // Handed over this pass: the meta list changes, the file need not.
        bool handedOver = false;
    };

    // --- state machine (queuestates.cpp)
    bool load(Pass &pass);
    void process(QueueEntry &entry, const QJsonObject *resultObject);
    void stepDatabase(Pass &pass, const QueueActions &actions);
    void handOver(Pass &pass);
    void findStored(Pass &pass);
    void stepCloud(Pass &pass, const QueueActions &actions);
    void stepExport(Pass &pass, const QueueActions &actions);
    void updateOrDelete(const QueueEntry &entry, bool changed, const QJsonObject *result);
    void releaseStaleHandOvers();
    void forEachQueuedAt(
            const QDateTime &when, const char *foundText,
            const std::function<void(const QString &, QueueEntry &, XrfKorviResult &)> &update);
    void onUploadFinished(int exitCode, QProcess::ExitStatus status);

    // --- store, pass and upload (xrfresultqueue.cpp)
    bool admit(const QString &path, QueueEntry *entry, QJsonObject *resultObject);
    void onUploadStarted();
    void stopHangingUpload();
    void onUploadError(QProcess::ProcessError error);
    QueueActions actions();
    // The file's object and its result; false when either cannot be read.
    static bool readQueueFile(const QString &path, QJsonObject *object, XrfKorviResult *result);
    // The result of this object, or of the file when there is none.
    static bool loadResult(const QString &path, const QJsonObject *resultObject,
                           XrfKorviResult *result);
    void warnOnce(const QString &key, const QString &text)
    {
        if (!warned.contains(key)) {
            warned.insert(key);
            qWarning().noquote() << text;
        }
    }
    int waitingForDatabase(bool everyFile) const;
    void updateWaitingCount()
    {
        waitingCount.storeRelease(waitingForDatabase(!actions().insertToDb));
    }
    void setAside(const QString &path, const QString &reason);
    bool settleKnownHandOver(const QDateTime &testDateTime, int testId);
    void forget(const QString &path)
    {
        const int index = metaIndex(path);
        if (index >= 0)
            metaList.removeAt(index);
        releaseHandOver(path);
        insertionFailures.remove(path);
    }

    // Queue files of the folder, by name (the order of their date-times).
    QFileInfoList queueFiles() const { return QueueFileName::listed(queueDir); }
    int metaIndex(const QString &path) const
    {
        for (int i = 0; i < metaList.size(); ++i)
            if (metaList.at(i).filePath == path)
                return i;
        return -1;
    }
    void releaseHandOver(const QString &path)
    {
        handedOver.remove(path);
        handedOverKeys.remove(path);
        commitsAtHandOver.remove(path);
        releasedAt.remove(path);
    }
    void raiseLastTestId(int id) { lastTestId = qMax(lastTestId, id); }

    XrfResultQueue *q;
    QThread *thread = nullptr;
    QString queueDir;
    QTimer *checkTimer = nullptr;
    bool networkConnected = false;
    bool networkFolderMounted = false;
    bool sizeWarningGiven = false;
    // Hand-overs waiting for their commit, by queue file, with their age; its
    // size is the hand-over count.
    QHash<QString, QElapsedTimer> handedOver;
    // Their date-time text and name, so that a commit of a file that waits
    // for nothing else is settled without reading the file again.
    QHash<QString, QPair<QString, QString>> handedOverKeys;
    // Commits reported before each hand-over: a hand-over that times out
    // after later commits came (the worker stores in order) failed for a
    // reason of its own, not because the database is down.
    QHash<QString, int> commitsAtHandOver;
    QHash<QString, int> insertionFailures;
    int commitsSeen = 0;
    // Released hand-overs wait one hand-over time-out before they are handed
    // over again, so that the results behind them get the places meanwhile.
    QHash<QString, QElapsedTimer> releasedAt;
    QList<QueueEntry> metaList;
    // The provisional id of the next queued result comes from here, never
    // from the database: the worker may be busy, and the host waiting on us.
    int lastTestId = 0;
    // Last refusal code of the database, so that it is logged once per change.
    int lastRefusal = 0;
    QDateTime lastAssignedTime;
    QSet<QString> warned;
    QAtomicInt waitingCount { 0 };
    // Set from any thread, read on the queue thread.
    std::atomic<int> warningThreshold { 180 };
    std::atomic<int> maxQueueSize { 200 };
    std::atomic<int> checkInterval { 5000 };
    std::atomic<int> handOverTimeout { 60000 };
    QProcess *uploadProcess = nullptr;
    QTimer *uploadKillTimer = nullptr;
    QString uploadFilePath;
};

#endif // XRFRESULTQUEUE_P_H
