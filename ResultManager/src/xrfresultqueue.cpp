// The result queue: its life, its store (adding, capacity, loading,
// finding), the pass over the queue folder and the cloud upload process. The
// states of a queue file and the functions that move them are in
// queuestates.cpp.
//
// Invariants, cited in the code by number:
// (1) A queue file is only ever replaced whole (XrfUtils::saveFileJsonFile:
//     temporary file, flush, sync, rename), and never without its "result".
// (2) A queue file is the only copy of its result: one that cannot be read
//     as a result is moved to "failed/" beside the queue, never deleted.
// (3) A result is handed to the database only when addTestResult() accepted
//     it; at most three hand-overs wait for their commit, and one that waits
//     longer than the hand-over time-out is released and handed over again.
//     The database stores a result handed over twice only once.
// (4) Whether a result is stored is asked by its date-time and name, never
//     by the provisional test id, which another result may hold by then.
// (5) The capacity counts only the results not yet in the database: a stored
//     result that waits for its export or upload never makes room short.
//
// Threads: everything here runs on the queue thread. It waits on the worker
// thread (blocking facade requests), which waits on no one; public slots
// called from another thread are queued, except addResult(), whose caller
// waits until the file is on disk. Facade calls go through FacadeGuard, so
// Deinit() on the host's thread can never pull the worker from under them.

#include "xrfresultqueue_p.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QStorageInfo>

#include "facadeguard.h"
#include "resultbinding.h"
#include "resultmanager.h"
#include "xrfhardwaremanager.h"
#include "xrfmetatypes.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

using namespace QueueLimits;

namespace {

// Room kept free on the queue's own disk beyond the file itself.
const qint64 queueDiskReserve = 1024 * 1024;

XrfResultQueue *s_instance = nullptr;

// QSaveFile writes "<target>.XXXXXX" beside the target; only such names
// are leftovers of a save that was cut off.
bool isUnfinishedSave(const QString &fileName)
{
    static const QRegularExpression pattern(QStringLiteral("^.+\\.json\\.[A-Za-z0-9]{6}$"));
    return pattern.match(fileName).hasMatch();
}

} // namespace

const QString XrfResultQueue::resultFileDateTimeformat
        = QString::fromLatin1(QueueFileName::dateTimeFormat);

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
        QueueEntry entry;
        if (index >= 0) {
            entry = metaList.at(index);
        } else {
            QJsonObject object;
            XrfUtils::openFileJsonFile(f.absoluteFilePath(), &object);
            entry = QueueEntry::fromJson(object);
        }
        if (!entry.savedToDb.value_or(false))
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

XrfResultQueue *XrfResultQueue::existingInstance()
{
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

// (5)
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
    return QueueFileName::safeName(tidName);
}

QString XrfResultQueue::createQueuedResultPath(QDateTime testDateTime, QString tidName,
                                               int testId) const
{
    return d->queueDir + QLatin1Char('/') + QueueFileName(testDateTime, tidName, testId).fileName();
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
    const QString unstorable = ResultBinding::whyNotStorable(copy);
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

    if (!QFileInfo::exists(d->queueDir) && QDir().mkpath(d->queueDir))
        XrfUtils::syncFolder(QFileInfo(d->queueDir).absolutePath()); // the new folder's entry
    const QString path
            = createQueuedResultPath(analysis.testDateTime(), analysis.tidName(), testId);
    const QueueEntry entry = QueueEntry::fresh(testId, path);
    QJsonObject file = entry.toJson();
    file.insert(QStringLiteral("result"), copy.toJsonObject());

    const QByteArray bytes = QJsonDocument(file).toJson(QJsonDocument::Compact);
    const qint64 free = XrfUtils::availableSpaceAt(d->queueDir);
    if (free >= 0 && free < bytes.size() + queueDiskReserve) {
        qWarning() << "No room for result" << analysis.tidName() << "on the queue's disk (" << free
                   << "bytes free)";
        emit resultNotQueued(dateTime, analysis.tidName(), XrfErrorInfo::NoStorage);
        return;
    }
    // (1)
    if (XrfUtils::saveFileBytes(path, bytes) != XrfErrorInfo::NoError) {
        qWarning() << "Result" << analysis.tidName() << "could not be queued in" << path;
        emit resultNotQueued(dateTime, analysis.tidName(), XrfErrorInfo::FileCreateFailed);
        return;
    }
    d->metaList.append(entry);
    d->waitingCount.ref();
    XrfUtils::crashPoint("queue-after-write");
}

bool XrfResultQueue::loadResultFromObjectOrFile(QJsonObject *meta, QJsonObject *resultObject,
                                                XrfKorviResult *result)
{
    return XrfResultQueuePrivate::loadResult(meta->value(QStringLiteral("filepath")).toString(),
                                             resultObject, result);
}

bool XrfResultQueue::XrfResultQueuePrivate::loadResult(const QString &path,
                                                       const QJsonObject *resultObject,
                                                       XrfKorviResult *result)
{
    if (!resultObject) {
        QJsonObject file;
        return readQueueFile(path, &file, result);
    }
    if (!XrfKorviResult::isValidResultJson(*resultObject))
        return false;
    result->fromJsonObject(*resultObject);
    return true;
}

bool XrfResultQueue::XrfResultQueuePrivate::readQueueFile(const QString &path, QJsonObject *object,
                                                          XrfKorviResult *result)
{
    if (XrfUtils::openFileJsonFile(path, object) != XrfErrorInfo::NoError)
        return false;
    const QJsonObject member = object->value(QStringLiteral("result")).toObject();
    if (!XrfKorviResult::isValidResultJson(member))
        return false;
    result->fromJsonObject(member);
    return true;
}

bool XrfResultQueue::fetchQueuedResult(const QString &day, const QString &tidName,
                                       XrfKorviResult *result)
{
    return findQueuedResult(d->queueDir, day, tidName, result);
}

bool XrfResultQueue::findQueuedResult(const QString &queueFolder, const QString &day,
                                      const QString &tidName, XrfKorviResult *result)
{
    qDebug() << "Fetching queued result for" << day << tidName;
    const QDate date = QDate::fromString(day, QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid())
        return false;
    const QString name = QueueFileName::safeName(tidName);
    // Matched by hand: a name may hold characters that wildcards treat as
    // patterns. Safe names can coincide ("A:B" and "A?B"), so the result's
    // own name decides.
    QList<XrfKorviResult> found;
    const QFileInfoList files = QueueFileName::listed(queueFolder);
    for (const QFileInfo &f : files) {
        const QueueFileName parts = QueueFileName::parse(f.fileName());
        if (!parts.isOfDay(date) || parts.name() != name)
            continue;
        QJsonObject object;
        XrfKorviResult candidate;
        if (XrfResultQueuePrivate::readQueueFile(f.absoluteFilePath(), &object, &candidate)
            && candidate.analysis().tidName() == tidName)
            found << candidate;
    }
    if (found.size() != 1)
        return false;
    *result = found.first();
    return true;
}

// --- The pass ------------------------------------------------------------------------

void XrfResultQueue::onQueueCheckTimerTimeout()
{
    d->releaseStaleHandOvers();
    for (const QFileInfo &f : d->queueFiles()) {
        const QString path = f.absoluteFilePath();
        const int index = d->metaIndex(path);
        if (index >= 0) {
            QueueEntry entry = d->metaList.at(index);
            d->process(entry, nullptr);
            continue;
        }
        QueueEntry entry;
        QJsonObject resultObject;
        if (d->admit(path, &entry, &resultObject))
            d->process(entry, &resultObject);
    }
    d->updateWaitingCount();
    d->checkTimer->start(d->checkInterval);
}

// A file the queue has no entry for yet (left by an earlier run): listed
// when it holds a result, set aside when it never can, left for the next
// pass when it cannot be read now.
bool XrfResultQueue::XrfResultQueuePrivate::admit(const QString &path, QueueEntry *entry,
                                                  QJsonObject *resultObject)
{
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
        warnOnce(QStringLiteral("read:") + path,
                 QStringLiteral("Queue file %1 cannot be read now (%2); it is kept")
                         .arg(path, file.errorString()));
        return false;
    }
    warned.remove(QStringLiteral("read:") + path);
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    *resultObject = doc.object().value(QStringLiteral("result")).toObject();
    QString why;
    if (!doc.isObject() || !XrfKorviResult::isValidResultJson(*resultObject, &why)) {
        setAside(path,
                 doc.isObject() ? QStringLiteral("holds no usable result: ") + why
                                : QStringLiteral("does not hold a JSON object"));
        return false;
    }
    *entry = QueueEntry::fromJson(doc.object());
    // The file's own path ties it to its entry, wherever it was written.
    entry->filePath = path;
    // A result whose file lacks a flag (written by hand, or by other
    // software) still has that action to do; unset, it would never be done
    // and the file never go.
    for (std::optional<bool> *flag :
         { &entry->queuedForDb, &entry->savedToDb, &entry->queuedForCloud, &entry->sentToCloud,
           &entry->queuedForExport, &entry->exported })
        if (!flag->has_value())
            *flag = false;
    // An export asked for before a restart will never report back.
    if (entry->queuedForExport.value_or(false) && !entry->exported.value_or(false))
        entry->queuedForExport = false;
    raiseLastTestId(entry->testId);
    metaList.append(*entry);
    return true;
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

void XrfResultQueue::XrfResultQueuePrivate::stopHangingUpload()
{
    if (uploadProcess->state() == QProcess::NotRunning)
        return;
    qWarning() << "Result data upload ran past" << cloudTimeoutMsecs << "ms; stopping it";
    uploadProcess->kill();
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
