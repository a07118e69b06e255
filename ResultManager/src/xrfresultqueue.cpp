// The result queue: store (adding, capacity, loading, finding) and
// processing (the pass, the per-result actions, the completion slots) and the
// cloud upload.
//
// Invariants:
// - A queue file is only ever replaced whole (XrfUtils::saveFileJsonFile:
//   temporary file, flush, sync, rename), and never without its "result".
//   It is the only copy of its result: one that cannot be read as a result is
//   moved to "failed/" beside the queue, never deleted.
// - A result is handed to the database only when addTestResult() accepted
//   it; at most three hand-overs wait for their commit, and one that waits
//   longer than the hand-over time-out is released and handed over again.
//   The database stores a result handed over twice only once.
// - Whether a result is stored is asked by its date-time and name, never by
//   the provisional test id, which another result may hold by then.
// - The capacity counts only the results not yet in the database: a stored
//   result that waits for its export or upload never makes room short.
//
// Threads: everything here runs on the queue thread. It waits on the worker
// thread (blocking facade requests), which waits on no one; public slots
// called from another thread are queued, except addResult(), whose caller
// waits until the file is on disk. Facade calls go through FacadeGuard, so
// Deinit() on the host's thread can never pull the worker from under them.

#include "xrfresultqueue.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStorageInfo>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>

#include "databasemanager.h"
#include "facadeguard.h"
#include "resultmanager.h"
#include "xrfhardwaremanager.h"
#include "xrfmetatypes.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

namespace {

const char queueFilter[] = "*_*.json";
const char cloudStampFormat[] = "dd.MM.yyyy hh:mm:ss";
const int cloudTimeoutMsecs = 20000;
const int maxFileNameBytes = 255;
const int maxHandOvers = 3;
const int maxInsertionFailures = 5;
// Room kept free on the queue's own disk beyond the file itself.
const qint64 queueDiskReserve = 1024 * 1024;

XrfResultQueue *s_instance = nullptr;

bool flag(const QJsonObject &o, const char *key, bool missing)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isUndefined() ? missing : v.toBool();
}

QString pathOf(const QJsonObject &meta)
{
    return meta.value(QStringLiteral("filepath")).toString();
}

QJsonObject withoutResult(QJsonObject o)
{
    o.remove(QStringLiteral("result"));
    return o;
}

// QSaveFile writes "<target>.XXXXXX" beside the target; only such names
// are leftovers of a save that was cut off.
bool isUnfinishedSave(const QString &fileName)
{
    static const QRegularExpression pattern(QStringLiteral("^.+\\.json\\.[A-Za-z0-9]{6}$"));
    return pattern.match(fileName).hasMatch();
}

} // namespace

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

class XrfResultQueue::XrfResultQueuePrivate : public QObject
{
public:
    explicit XrfResultQueuePrivate(XrfResultQueue *queue) : QObject(queue), q(queue) { }

    void onUploadStarted();
    void forEachQueuedAt(
            const QDateTime &when, const char *foundText,
            const std::function<void(const QString &, QJsonObject &, XrfKorviResult &)> &update);
    void stopHangingUpload()
    {
        if (uploadProcess->state() == QProcess::NotRunning)
            return;
        qWarning() << "Result data upload ran past" << cloudTimeoutMsecs << "ms; stopping it";
        uploadProcess->kill();
    }
    void onUploadError(QProcess::ProcessError error);
    void onUploadFinished(int exitCode, QProcess::ExitStatus status);

    QueueActions actions();
    // The file's object and its result; false when either cannot be read.
    static bool readQueueFile(const QString &path, QJsonObject *object, XrfKorviResult *result)
    {
        if (XrfUtils::openFileJsonFile(path, object) != XrfErrorInfo::NoError)
            return false;
        const QJsonObject member = object->value(QStringLiteral("result")).toObject();
        if (!XrfKorviResult::isValidResultJson(member))
            return false;
        result->fromJsonObject(member);
        return true;
    }
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
    void forget(const QString &path)
    {
        const int index = metaIndex(path);
        if (index >= 0)
            metaList.removeAt(index);
        releaseHandOver(path);
        insertionFailures.remove(path);
    }

    // Queue files of the folder, by name (the order of their date-times).
    QFileInfoList queueFiles() const
    {
        return QDir(queueDir).entryInfoList({ QString::fromLatin1(queueFilter) }, QDir::Files,
                                            QDir::Name);
    }
    int metaIndex(const QString &path) const
    {
        for (int i = 0; i < metaList.size(); ++i)
            if (pathOf(metaList.at(i)) == path)
                return i;
        return -1;
    }
    void releaseHandOver(const QString &path)
    {
        handedOver.remove(path);
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
    // Commits reported before each hand-over: a hand-over that times out
    // after later commits came (the worker stores in order) failed for a
    // reason of its own, not because the database is down.
    QHash<QString, int> commitsAtHandOver;
    QHash<QString, int> insertionFailures;
    int commitsSeen = 0;
    // Released hand-overs wait one hand-over time-out before they are handed
    // over again, so that the results behind them get the places meanwhile.
    QHash<QString, QElapsedTimer> releasedAt;
    QList<QJsonObject> metaList;
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

const QString XrfResultQueue::resultFileDateTimeformat = QStringLiteral("yyyyMMddhhmmsszzz");

QueueActions XrfResultQueue::XrfResultQueuePrivate::actions()
{
    QueueActions a;
    QJsonObject settings;
    q->getResultActionSettings(&settings);
    const QJsonValue insert = settings.value(QStringLiteral("insertToDb"));
    const QJsonValue upload = settings.value(QStringLiteral("uploadToCloud"));
    if (!insert.isBool() || !upload.isBool())
        warnOnce(QStringLiteral("actions"),
                 QStringLiteral("The result actions setting is missing or malformed; results "
                                "are stored in the database and not uploaded"));
    a.insertToDb = insert.toBool(true);
    a.uploadToCloud = upload.toBool(false);
    if (a.uploadToCloud) {
        QJsonObject cloud;
        XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("cloudSettings"), &cloud);
        if (!cloud.value(QStringLiteral("enabled")).toBool(false)) {
            warnOnce(QStringLiteral("cloud"),
                     QStringLiteral("Cloud upload is asked for but the cloud is disabled; "
                                    "results are not uploaded"));
            a.uploadToCloud = false;
        }
    }
    QJsonObject exportSettings;
    XrfMethodManager::instance()->getExportSettings(&exportSettings);
    const QJsonObject exportObject = exportSettings.value(QStringLiteral("export")).toObject();
    a.autoExport = exportObject.value(QStringLiteral("autoExport")).toBool(false);
    a.networkTarget = exportObject.value(QStringLiteral("selectedLocation"))
            == QLatin1String("Network Folder");
    if (a.autoExport && !a.insertToDb) {
        warnOnce(QStringLiteral("export"),
                 QStringLiteral("Automatic export needs results in the database, which the "
                                "result actions do not ask for; results are not exported"));
        a.autoExport = false;
    }
    return a;
}

int XrfResultQueue::XrfResultQueuePrivate::waitingForDatabase(bool everyFile) const
{
    int count = 0;
    for (const QFileInfo &f : queueFiles()) {
        if (everyFile) {
            ++count;
            continue;
        }
        const int index = metaIndex(f.absoluteFilePath());
        QJsonObject object;
        if (index >= 0)
            object = metaList.at(index);
        else
            XrfUtils::openFileJsonFile(f.absoluteFilePath(), &object);
        if (!flag(object, "savedToDb", false))
            ++count;
    }
    return count;
}

void XrfResultQueue::XrfResultQueuePrivate::setAside(const QString &path, const QString &reason)
{
    const QString folder = queueDir + QStringLiteral("/failed");
    QDir().mkpath(folder);
    const QString name = QFileInfo(path).fileName();
    QString target = folder + QLatin1Char('/') + name;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = folder + QStringLiteral("/%1.%2").arg(name).arg(n);
    if (!QFile::rename(path, target)) {
        warnOnce(QStringLiteral("aside:") + path,
                 QStringLiteral("Queue file %1 (%2) cannot be moved to %3; it is left where it is")
                         .arg(path, reason, folder));
        return;
    }
    XrfUtils::syncFolder(folder);
    XrfUtils::syncFolder(queueDir);
    qWarning().noquote()
            << QStringLiteral("Queue file %1 %2; moved to %3").arg(path, reason, target);
    forget(path);
    emit q->resultSetAside(target, reason);
}

// --- Life ------------------------------------------------------------------------

XrfResultQueue *XrfResultQueue::instance()
{
    if (!s_instance) {
        s_instance = new XrfResultQueue();
        qAddPostRoutine(&XrfResultQueue::destroyInstance);
    }
    return s_instance;
}

void XrfResultQueue::destroyInstance()
{
    XrfResultQueue *queue = s_instance;
    s_instance = nullptr;
    delete queue;
}

XrfResultQueue::XrfResultQueue() : d(nullptr)
{
    xrfRegisterMetaTypes();
    d = new XrfResultQueuePrivate(this);
    d->queueDir = QDir::currentPath() + QStringLiteral("/resultQueue");
    d->thread = new QThread();
    d->thread->setObjectName(QStringLiteral("Result Queue Thread"));
    d->checkTimer = new QTimer(this);
    d->uploadProcess = new QProcess(d);
    d->uploadKillTimer = new QTimer(d);
    d->uploadKillTimer->setSingleShot(true);
    d->uploadKillTimer->setInterval(cloudTimeoutMsecs);
    moveToThread(d->thread);

    connect(d->uploadProcess, &QProcess::errorOccurred, d, &XrfResultQueuePrivate::onUploadError);
    connect(d->uploadProcess, &QProcess::started, d, &XrfResultQueuePrivate::onUploadStarted);
    connect(d->uploadProcess, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), d,
            &XrfResultQueuePrivate::onUploadFinished);
    connect(d->uploadKillTimer, &QTimer::timeout, d, &XrfResultQueuePrivate::stopHangingUpload);
    connect(d->checkTimer, &QTimer::timeout, this, &XrfResultQueue::onQueueCheckTimerTimeout);
    connect(d->thread, &QThread::started, this, &XrfResultQueue::onThreadStarted);
    startResultQueue();
}

XrfResultQueue::~XrfResultQueue()
{
    if (d->thread->isRunning())
        stopResultQueue();
    d->thread->wait();
    delete d->checkTimer;
    delete d->thread;
    delete d;
}

bool XrfResultQueue::onQueueThread() const
{
    return QThread::currentThread() == thread();
}

// A public slot called from another thread is queued to the queue thread and
// returns at once; the caller never waits on it. Before the thread runs, it
// runs in place.
#define XRF_ON_QUEUE_THREAD(call)                                                                  \
    if (!onQueueThread() && d->thread->isRunning()) {                                              \
        QMetaObject::invokeMethod(                                                                 \
                this, [=] { call; }, Qt::QueuedConnection);                                        \
        return;                                                                                    \
    }

void XrfResultQueue::startResultQueue()
{
    if (d->thread->isRunning())
        return;
    // Half-written files of a save that was cut off are not queue files.
    for (const QFileInfo &leftover : QDir(d->queueDir).entryInfoList(QDir::Files)) {
        if (!isUnfinishedSave(leftover.fileName()))
            continue;
        qWarning() << "Removing unfinished queue file" << leftover.absoluteFilePath();
        QFile::remove(leftover.absoluteFilePath());
    }
    checkForStaleResults();
    d->updateWaitingCount();
    qDebug() << "Starting result queue";
    d->checkTimer->setInterval(d->checkInterval);
    d->checkTimer->setSingleShot(true);
    d->thread->start(QThread::InheritPriority);
}

void XrfResultQueue::onThreadStarted()
{
    d->checkTimer->start();
}

void XrfResultQueue::stopResultQueue()
{
    if (!onQueueThread() && d->thread->isRunning()) {
        // The queue thread waits on no thread but the worker, which waits on
        // no one: this wait always ends.
        QMetaObject::invokeMethod(
                this, [this] { stopResultQueue(); }, Qt::BlockingQueuedConnection);
        d->thread->wait();
        // Back to the thread that owns the queue, so that it can start again.
        return;
    }
    qDebug() << "Stopping result queue";
    d->checkTimer->stop();
    d->uploadKillTimer->stop();
    d->thread->quit();
}

void XrfResultQueue::pauseResultQueue()
{
    XRF_ON_QUEUE_THREAD(pauseResultQueue());
    d->checkTimer->stop();
    qDebug() << "Result queue paused";
}

void XrfResultQueue::unPauseResultQueue()
{
    XRF_ON_QUEUE_THREAD(unPauseResultQueue());
    checkForStaleResults();
    d->checkTimer->start(d->checkInterval);
    qDebug() << "Result queue unpaused";
}

QString XrfResultQueue::queuePath() const
{
    return d->queueDir;
}

int XrfResultQueue::maxQueueSize() const
{
    return d->maxQueueSize;
}

void XrfResultQueue::setMaxQueueSize(int size)
{
    d->maxQueueSize = size;
}

int XrfResultQueue::resultsNotYetStored() const
{
    return d->waitingCount.loadAcquire();
}

int XrfResultQueue::checkInterval() const
{
    return d->checkInterval;
}

void XrfResultQueue::setCheckInterval(int msecs)
{
    d->checkInterval = msecs;
    QMetaObject::invokeMethod(d->checkTimer, [this, msecs] { d->checkTimer->setInterval(msecs); });
}

int XrfResultQueue::handOverTimeout() const
{
    return d->handOverTimeout;
}

void XrfResultQueue::setHandOverTimeout(int msecs)
{
    d->handOverTimeout = msecs;
}

// --- Store --------------------------------------------------------------------------

QString XrfResultQueue::fileNameSafe(const QString &tidName)
{
    // 17 digits, two "_", an id of up to 11 characters and ".json".
    return XrfUtils::safeFileNamePart(tidName, maxFileNameBytes - 17 - 2 - 11 - 5);
}

QString XrfResultQueue::createQueuedResultPath(QDateTime testDateTime, QString tidName,
                                               int testId) const
{
    return QStringLiteral("%1/%2_%3_%4.json")
            .arg(d->queueDir, testDateTime.toUTC().toString(resultFileDateTimeformat),
                 fileNameSafe(tidName))
            .arg(testId);
}

void XrfResultQueue::getResultActionSettings(QJsonObject *settings)
{
    XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("resultActions"), settings);
}

bool XrfResultQueue::roomInQueue()
{
    const int count = d->waitingForDatabase(!d->actions().insertToDb);
    if (count >= d->maxQueueSize) {
        qWarning() << "Result queue is full. Result dropped.";
        emit queueFullWarning();
        return false;
    }
    if (count >= d->warningThreshold) {
        qWarning() << "Result queue size is nearing the maximum.";
        if (!d->sizeWarningGiven) {
            d->sizeWarningGiven = true;
            emit queueSizeWarning();
        }
        return true;
    }
    d->sizeWarningGiven = false;
    return true;
}

void XrfResultQueue::addResult(const XrfKorviResult &result)
{
    if (!onQueueThread() && d->thread->isRunning()) {
        // The caller waits until the file is on disk; the queue thread waits
        // only on the worker, which waits on no one.
        QMetaObject::invokeMethod(
                this, [&] { addResult(result); }, Qt::BlockingQueuedConnection);
        return;
    }
    XrfKorviResult copy = result;
    XrfAnalysisResult &analysis = copy.analysis();
    if (!analysis.testDateTime().isValid()) {
        // An averaged result has no time of its own; every queued result
        // needs one to be found again, and two made in one millisecond must
        // not look like one result.
        QDateTime now = QDateTime::currentDateTimeUtc();
        if (d->lastAssignedTime.isValid() && now <= d->lastAssignedTime)
            now = d->lastAssignedTime.addMSecs(1);
        d->lastAssignedTime = now;
        analysis.setTestDateTime(now);
        qInfo() << "Result" << analysis.tidName() << "has no date-time; it is queued as of"
                << analysis.dateTimeString();
    }
    const QString dateTime = analysis.dateTimeString();
    const QString unstorable = DatabaseManager::whyNotStorable(copy);
    if (!unstorable.isEmpty()) {
        qWarning().noquote() << QStringLiteral("Result %1 of %2 can never be stored (%3); "
                                               "it is not queued")
                                        .arg(analysis.tidName(), dateTime, unstorable);
        emit resultNotQueued(dateTime, analysis.tidName(), XrfErrorInfo::InvalidArgument);
        return;
    }
    if (!roomInQueue()) {
        emit resultNotQueued(dateTime, analysis.tidName(), XrfErrorInfo::FileCreateFailed);
        return;
    }
    const int testId = ++d->lastTestId;
    analysis.setTestId(testId);

    QJsonObject file;
    for (const char *key : { "queuedForDb", "savedToDb", "queuedForCloud", "sentToCloud",
                             "queuedForExport", "exported" })
        file.insert(QLatin1String(key), false);
    file.insert(QStringLiteral("testId"), testId);
    if (!QFileInfo::exists(d->queueDir) && QDir().mkpath(d->queueDir))
        XrfUtils::syncFolder(QFileInfo(d->queueDir).absolutePath()); // the new folder's entry
    const QString path
            = createQueuedResultPath(analysis.testDateTime(), analysis.tidName(), testId);
    file.insert(QStringLiteral("filepath"), path);
    const QJsonObject meta = file;
    file.insert(QStringLiteral("result"), copy.toJsonObject());

    const QByteArray size = QJsonDocument(file).toJson(QJsonDocument::Compact);
    const QStorageInfo disk(d->queueDir);
    if (disk.isValid() && disk.bytesAvailable() < size.size() + queueDiskReserve) {
        qWarning() << "No room for result" << analysis.tidName() << "on the queue's disk ("
                   << disk.bytesAvailable() << "bytes free)";
        emit resultNotQueued(dateTime, analysis.tidName(), XrfErrorInfo::NoStorage);
        return;
    }
    if (XrfUtils::saveFileJsonFile(path, file) != XrfErrorInfo::NoError) {
        qWarning() << "Result" << analysis.tidName() << "could not be queued in" << path;
        emit resultNotQueued(dateTime, analysis.tidName(), XrfErrorInfo::FileCreateFailed);
        return;
    }
    d->metaList.append(meta);
    d->waitingCount.ref();
    XrfUtils::crashPoint("queue-after-write");
}

bool XrfResultQueue::loadResultFromObjectOrFile(QJsonObject *meta, QJsonObject *resultObject,
                                                XrfKorviResult *result)
{
    if (!resultObject) {
        QJsonObject file;
        return XrfResultQueuePrivate::readQueueFile(pathOf(*meta), &file, result);
    }
    if (!XrfKorviResult::isValidResultJson(*resultObject))
        return false;
    result->fromJsonObject(*resultObject);
    return true;
}

bool XrfResultQueue::fetchQueuedResult(const QString &day, const QString &tidName,
                                       XrfKorviResult *result)
{
    qDebug() << "Fetching queued result for" << day << tidName;
    const QDate date = QDate::fromString(day, QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid())
        return false;
    const QString prefix = date.toString(QStringLiteral("yyyyMMdd"));
    const QString name = fileNameSafe(tidName);
    // Matched by hand: a name may hold characters that wildcards treat as
    // patterns. Safe names can coincide ("A:B" and "A?B"), so the result's
    // own name decides.
    QList<XrfKorviResult> found;
    for (const QFileInfo &f : d->queueFiles()) {
        const QString n = f.fileName();
        const int lastSep = n.lastIndexOf(QLatin1Char('_'));
        if (!(n.startsWith(prefix) && n.size() > 18 && n.at(17) == QLatin1Char('_') && lastSep > 17
              && n.mid(18, lastSep - 18) == name))
            continue;
        QJsonObject object;
        XrfKorviResult candidate;
        if (d->readQueueFile(f.absoluteFilePath(), &object, &candidate)
            && candidate.analysis().tidName() == tidName)
            found << candidate;
    }
    if (found.size() != 1)
        return false;
    *result = found.first();
    return true;
}

// --- Processing ------------------------------------------------------------------------

void XrfResultQueue::checkForStaleResults()
{
    qDebug() << "Checking result queue for stale results";
    for (const QFileInfo &f : d->queueFiles()) {
        qDebug() << "Found result file in queue:" << f.absoluteFilePath();
        QJsonObject object;
        if (XrfUtils::openFileJsonFile(f.absoluteFilePath(), &object) != XrfErrorInfo::NoError)
            continue;
        d->raiseLastTestId(object.value(QStringLiteral("testId")).toInt());
        if (!flag(object, "savedToDb", false) && flag(object, "queuedForDb", false)
            && object.value(QStringLiteral("result")).isObject()) {
            object.insert(QStringLiteral("queuedForDb"), false);
            XrfUtils::saveFileJsonFile(f.absoluteFilePath(), object);
        }
    }
}

void XrfResultQueue::onQueueCheckTimerTimeout()
{
    // Hand-overs whose commit never came are released, so that a lost or
    // failed insertion cannot hold the results behind it.
    for (auto it = d->handedOver.begin(); it != d->handedOver.end();) {
        if (it.value().elapsed() < d->handOverTimeout) {
            ++it;
            continue;
        }
        const QString path = it.key();
        it = d->handedOver.erase(it);
        const bool ownFailure = d->commitsAtHandOver.take(path) < d->commitsSeen;
        if (ownFailure && ++d->insertionFailures[path] >= maxInsertionFailures) {
            d->setAside(path,
                        QStringLiteral("failed to be stored %1 times while other results were")
                                .arg(maxInsertionFailures));
            continue;
        }
        QElapsedTimer since;
        since.start();
        d->releasedAt.insert(path, since);
        const int index = d->metaIndex(path);
        if (index >= 0) {
            qWarning() << "No commit reported for" << path << "- handing it over again";
            QJsonObject meta = d->metaList.at(index);
            meta.insert(QStringLiteral("queuedForDb"), false);
            updateOrDeleteResult(&meta, true);
        }
    }

    for (const QFileInfo &f : d->queueFiles()) {
        const QString path = f.absoluteFilePath();
        const int index = d->metaIndex(path);
        if (index >= 0) {
            QJsonObject meta = d->metaList.at(index);
            processResult(&meta, nullptr);
            continue;
        }
        QFile file(path);
        QByteArray bytes;
        bool readable = file.open(QIODevice::ReadOnly) && !XrfUtils::faultPointArmed("queue-read");
        if (readable) {
            bytes = file.readAll();
            readable = file.error() == QFileDevice::NoError;
        }
        file.close();
        if (!readable) {
            // An I/O error says nothing about the content: try again later.
            d->warnOnce(QStringLiteral("read:") + path,
                        QStringLiteral("Queue file %1 cannot be read now (%2); it is kept")
                                .arg(path, file.errorString()));
            continue;
        }
        d->warned.remove(QStringLiteral("read:") + path);
        const QJsonDocument doc = QJsonDocument::fromJson(bytes);
        const QJsonObject resultObject = doc.object().value(QStringLiteral("result")).toObject();
        QString why;
        if (!doc.isObject() || !XrfKorviResult::isValidResultJson(resultObject, &why)) {
            d->setAside(path,
                        doc.isObject() ? QStringLiteral("holds no usable result: ") + why
                                       : QStringLiteral("does not hold a JSON object"));
            continue;
        }
        QJsonObject meta = withoutResult(doc.object());
        // The file's own path ties it to its entry, wherever it was written.
        meta.insert(QStringLiteral("filepath"), path);
        if (flag(meta, "queuedForExport", false) && !flag(meta, "exported", false))
            meta.insert(QStringLiteral("queuedForExport"), false);
        d->raiseLastTestId(meta.value(QStringLiteral("testId")).toInt());
        d->metaList.append(meta);
        QJsonObject copy = meta;
        QJsonObject resultCopy = resultObject;
        processResult(&copy, &resultCopy);
    }
    d->updateWaitingCount();
    d->checkTimer->start(d->checkInterval);
}

void XrfResultQueue::processResult(QJsonObject *meta, QJsonObject *resultObject)
{
    qDebug() << "Result queue processing result:" << pathOf(*meta);
    const QString path = pathOf(*meta);
    const QueueActions actions = d->actions();

    bool saved = flag(*meta, "savedToDb", true);
    const bool exported = flag(*meta, "exported", true);
    XrfKorviResult result;
    bool loaded = false;
    bool changed = false;
    auto load = [&]() {
        if (loaded)
            return true;
        if (!loadResultFromObjectOrFile(meta, resultObject, &result)) {
            qWarning() << "Could not load result:" << path;
            return false;
        }
        loaded = true;
        return true;
    };

    if (actions.insertToDb && !saved && !flag(*meta, "queuedForDb", true)
        && d->handedOver.size() < maxHandOvers) {
        const auto released = d->releasedAt.constFind(path);
        const bool backingOff = released != d->releasedAt.constEnd()
                && released.value().elapsed() < d->handOverTimeout;
        if (!backingOff && load()) {
            XrfErrorInfo::XrfError rc = XrfErrorInfo::NoSdCard;
            {
                FacadeGuard guard;
                if (guard.facade())
                    rc = guard.facade()->addTestResult(result);
            }
            if (rc == XrfErrorInfo::NoError) {
                d->releasedAt.remove(path);
                meta->insert(QStringLiteral("queuedForDb"), true);
                QElapsedTimer since;
                since.start();
                d->handedOver.insert(path, since);
                d->commitsAtHandOver.insert(path, d->commitsSeen);
                changed = true;
            } else if (rc != d->lastRefusal) {
                qWarning() << "The database refuses results for now:"
                           << XrfErrorInfo(rc).errorString();
            }
            if (rc != d->lastRefusal && rc == XrfErrorInfo::NoError && d->lastRefusal != 0)
                qInfo() << "The database takes results again";
            d->lastRefusal = rc;
        }
    } else if (actions.insertToDb && !saved && flag(*meta, "queuedForDb", false) && load()) {
        int stored = -1;
        {
            FacadeGuard guard;
            if (guard.facade())
                stored = guard.facade()->storedTestId(result.analysis().dateTimeString(),
                                                      result.analysis().tidName());
        }
        if (stored > 0) {
            qDebug() << "Test ID" << stored << "is already in the database, cleaning it up.";
            meta->insert(QStringLiteral("savedToDb"), true);
            meta->insert(QStringLiteral("testId"), stored);
            result.analysis().setTestId(stored);
            meta->insert(QStringLiteral("result"), result.toJsonObject());
            d->releaseHandOver(path);
            saved = changed = true;
        }
    }

    if (actions.uploadToCloud && !flag(*meta, "queuedForCloud", true) && load()) {
        if (!sendResultToCloud(resultObject ? *resultObject : result.toJsonObject())) {
            qDebug() << "Can't send result to cloud yet, upload script is already running.";
        } else {
            meta->insert(QStringLiteral("queuedForCloud"), true);
            d->uploadFilePath = path;
            meta->insert(QStringLiteral("timestampSentToCloudAt"),
                         QDateTime::currentDateTimeUtc().toString(QLatin1String(cloudStampFormat)));
            changed = true;
        }
    }

    if (!flag(*meta, "sentToCloud", false) && flag(*meta, "queuedForCloud", false)) {
        QDateTime stamp = QDateTime::fromString(
                meta->value(QStringLiteral("timestampSentToCloudAt")).toString(),
                QLatin1String(cloudStampFormat));
        stamp.setTimeSpec(Qt::UTC);
        if (!stamp.isValid()
            || stamp.msecsTo(QDateTime::currentDateTimeUtc()) > cloudTimeoutMsecs) {
            if (d->uploadFilePath == path)
                d->stopHangingUpload();
            meta->insert(QStringLiteral("queuedForCloud"), false);
            changed = true;
        }
    }

    if (saved && actions.autoExport && !exported) {
        const bool reachable
                = (d->networkConnected && d->networkFolderMounted) || !actions.networkTarget;
        if (reachable && !flag(*meta, "queuedForExport", false)) {
            const int testId = meta->value(QStringLiteral("testId")).toInt();
            FacadeGuard guard;
            if (guard.facade()) {
                qDebug() << "Exporting" << testId;
                guard.facade()->doAutoExport(QString::number(testId));
                meta->insert(QStringLiteral("queuedForExport"), true);
                changed = true;
            }
        }
    }

    updateOrDeleteResult(meta, changed);
}

void XrfResultQueue::updateOrDeleteResult(QJsonObject *meta, bool changed)
{
    const QString path = pathOf(*meta);
    const QueueActions actions = d->actions();
    const bool pending = (actions.insertToDb && !flag(*meta, "savedToDb", false))
            || (actions.uploadToCloud && !flag(*meta, "sentToCloud", false))
            || (actions.autoExport && !flag(*meta, "exported", false));
    if (!pending) {
        qDebug() << "All operations on" << path << "are complete, deleting it.";
        QFile::remove(path);
        d->forget(path);
        return;
    }
    if (!changed)
        return;

    QJsonObject file = *meta;
    if (!file.value(QStringLiteral("result")).isObject()) {
        QJsonObject onDisk;
        XrfUtils::openFileJsonFile(path, &onDisk);
        const QJsonValue result = onDisk.value(QStringLiteral("result"));
        if (!result.isObject()) {
            qWarning() << "Result of" << path << "cannot be read; the file is left as it is";
            return;
        }
        file.insert(QStringLiteral("result"), result);
    }
    XrfUtils::crashPoint("queue-before-rewrite");
    if (XrfUtils::saveFileJsonFile(path, file) != XrfErrorInfo::NoError)
        qWarning() << "Queue file" << path << "could not be rewritten";
    const QJsonObject entry = withoutResult(*meta);
    const int index = d->metaIndex(path);
    if (index >= 0)
        d->metaList[index] = entry;
}

// --- Completion slots --------------------------------------------------------------------

// Calls `update` for each queue file of a result taken at this UTC date-time
// (the name's leading digits), with the file's object and its result; the
// found-log line names the slot that asked.
void XrfResultQueue::XrfResultQueuePrivate::forEachQueuedAt(
        const QDateTime &when, const char *foundText,
        const std::function<void(const QString &, QJsonObject &, XrfKorviResult &)> &update)
{
    const QString prefix = when.toUTC().toString(resultFileDateTimeformat) + QLatin1Char('_');
    for (const QFileInfo &f : queueFiles()) {
        if (!f.fileName().startsWith(prefix))
            continue;
        const QString path = f.absoluteFilePath();
        qDebug() << foundText << path;
        QJsonObject object;
        XrfKorviResult result;
        if (!readQueueFile(path, &object, &result))
            continue;
        object.insert(QStringLiteral("filepath"), path);
        update(path, object, result);
    }
}

void XrfResultQueue::onResultCommittedToDb(QDateTime testDateTime, bool isAverage, int testId)
{
    XRF_ON_QUEUE_THREAD(onResultCommittedToDb(testDateTime, isAverage, testId));
    Q_UNUSED(isAverage);
    qDebug() << "Result queue: result committed to DB:" << testDateTime << testId;
    ++d->commitsSeen;
    d->raiseLastTestId(testId);
    // Results of one date-time differ by name; the database says which of
    // them holds this test id.
    d->forEachQueuedAt(testDateTime, "Result queue: result committed to DB - found:",
                       [&](const QString &path, QJsonObject &object, XrfKorviResult &result) {
                           if (result.analysis().testDateTime() != testDateTime
                               || flag(object, "savedToDb", false))
                               return;
                           int stored = -1;
                           {
                               FacadeGuard guard;
                               if (guard.facade())
                                   stored = guard.facade()->storedTestId(
                                           result.analysis().dateTimeString(),
                                           result.analysis().tidName());
                           }
                           if (stored != testId)
                               return;
                           d->releaseHandOver(path);
                           d->insertionFailures.remove(path);
                           object.insert(QStringLiteral("savedToDb"), true);
                           object.insert(QStringLiteral("testId"), testId);
                           result.analysis().setTestId(testId);
                           object.insert(QStringLiteral("result"), result.toJsonObject());
                           const int index = d->metaIndex(path);
                           if (index >= 0)
                               d->metaList[index] = withoutResult(object);
                           updateOrDeleteResult(&object, true);
                       });
    d->updateWaitingCount();
}

void XrfResultQueue::onResultSentToCloud(QString testDateTime)
{
    XRF_ON_QUEUE_THREAD(onResultSentToCloud(testDateTime));
    qDebug() << "Result queue: result sent to cloud:" << testDateTime;
    QDateTime when = QDateTime::fromString(testDateTime, XrfAnalysisResult::dateTimeFormat);
    when.setTimeSpec(Qt::UTC);
    d->forEachQueuedAt(when, "Result queue: result sent to cloud - found:",
                       [&](const QString &, QJsonObject &object, XrfKorviResult &result) {
                           if (result.analysis().dateTimeString() != testDateTime)
                               return;
                           object.insert(QStringLiteral("sentToCloud"), true);
                           updateOrDeleteResult(&object, true);
                       });
}

void XrfResultQueue::onExportComplete(int testId, XrfErrorInfo::XrfError status)
{
    XRF_ON_QUEUE_THREAD(onExportComplete(testId, status));
    qDebug() << "Result queue: Export Complete:" << testId << XrfErrorInfo(status).errorString();
    // An export that this build cannot make counts as done: waiting for it
    // would hold the file for ever.
    const bool done = status == XrfErrorInfo::NoError || status == XrfErrorInfo::NotImplemented;
    for (QJsonObject &entry : d->metaList) {
        const bool waiting
                = flag(entry, "queuedForExport", false) && !flag(entry, "exported", false);
        const bool match
                = testId >= 0 ? entry.value(QStringLiteral("testId")).toInt() == testId : waiting;
        if (!match)
            continue;
        QJsonObject meta = entry;
        if (done)
            meta.insert(QStringLiteral("exported"), true);
        else
            meta.insert(QStringLiteral("queuedForExport"), false);
        updateOrDeleteResult(&meta, true);
        return;
    }
}

void XrfResultQueue::onNetworkConnectionStatusChanged(bool connected)
{
    XRF_ON_QUEUE_THREAD(onNetworkConnectionStatusChanged(connected));
    d->networkConnected = connected;
}

void XrfResultQueue::onNetworkFolderMountStatusChanged(uint status)
{
    XRF_ON_QUEUE_THREAD(onNetworkFolderMountStatusChanged(status));
    d->networkFolderMounted = status == 0;
}

// --- Cloud upload ---------------------------------------------------------------------------

bool XrfResultQueue::sendResultToCloud(const QJsonObject &result)
{
    QProcess *process = d->uploadProcess;
    qDebug() << "sendResultToCloud"
             << "script process state:"
             << QMetaEnum::fromType<QProcess::ProcessState>().valueToKey(process->state());
    if (process->state() != QProcess::NotRunning)
        return false;

    QString serial = XrfHardwareManager::instance()->hardwareConfiguration().insSerialNumber();
    if (serial.isEmpty())
        serial = XrfPlatform::instance()->instrumentSerialNumber();
    XrfPlatform *platform = XrfPlatform::instance();
    const QString input = platform->cloudUploadInputPath();
    XrfUtils::saveFileJsonFile(input, result);
    // A response left by an earlier upload must not count for this one.
    QFile::remove(platform->cloudUploadResponsePath());

    process->setWorkingDirectory(platform->cloudUploadWorkingDirectory());
    process->setStandardOutputFile(platform->cloudUploadLogPath(), QIODevice::Append);
    process->setStandardErrorFile(platform->cloudUploadLogPath(), QIODevice::Append);
    process->start(
            platform->cloudUploadInterpreterPath(),
            { platform->cloudUploadScriptPath(), serial, input, QStringLiteral("production") },
            QIODevice::ReadWrite);
    d->uploadKillTimer->start();
    return true;
}

void XrfResultQueue::XrfResultQueuePrivate::onUploadStarted()
{
    qDebug() << "Uploading result data ...";
}

void XrfResultQueue::XrfResultQueuePrivate::onUploadError(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        qWarning() << "Failed to start result data upload";
        break;
    case QProcess::Crashed:
        qWarning() << "Result data upload process crashed";
        break;
    case QProcess::Timedout:
        qWarning() << "Result data upload process timed out";
        break;
    case QProcess::ReadError:
        qWarning() << "Result data upload process read error";
        break;
    case QProcess::WriteError:
        qWarning() << "Result data upload process write error";
        break;
    case QProcess::UnknownError:
        qWarning() << "Result data upload process unknown error";
        break;
    }
    if (error == QProcess::FailedToStart)
        uploadKillTimer->stop();
}

void XrfResultQueue::XrfResultQueuePrivate::onUploadFinished(int exitCode,
                                                             QProcess::ExitStatus status)
{
    uploadKillTimer->stop();
    qDebug() << "Upload script finished. Exit code =" << exitCode
             << ", status =" << QMetaEnum::fromType<QProcess::ExitStatus>().valueToKey(status);
    if (status != QProcess::NormalExit) {
        qWarning() << "Result data upload process crashed.";
        return;
    }
    if (exitCode != 0) {
        qWarning() << "Result data upload failed. Process exit code:" << exitCode;
        return;
    }
    QJsonObject response;
    if (XrfUtils::openFileJsonFile(XrfPlatform::instance()->cloudUploadResponsePath(), &response)
        != XrfErrorInfo::NoError)
        return;
    const int code = response.value(QStringLiteral("status_code")).toInt(0);
    const QString text = response.value(QStringLiteral("text")).toString();
    const int index = metaIndex(uploadFilePath);
    if (index < 0)
        return;
    QJsonObject meta = metaList.at(index);
    if (code == 200) {
        qDebug() << uploadFilePath << "has been sent to the cloud.";
        meta.insert(QStringLiteral("sentToCloud"), true);
    } else {
        qWarning() << uploadFilePath << "failed to upload to the cloud. Response code:" << code
                   << "Response text:" << text;
        meta.insert(QStringLiteral("sentToCloud"), false);
        meta.insert(QStringLiteral("queuedForCloud"), false);
    }
    q->updateOrDeleteResult(&meta, true);
}
