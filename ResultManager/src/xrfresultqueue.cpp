// The result queue: store (adding, capacity, loading, finding) and
// processing (the pass, the per-result actions, the completion slots) and the
// cloud upload.
//
// Invariants:
// - A queue file is only ever replaced whole (XrfUtils::saveFileJsonFile:
//   temporary file, sync, rename), and never without its "result".
// - A result is handed to the database only when addTestResult() accepted
//   it; at most three hand-overs wait for their commit, and one that waits
//   longer than the hand-over time-out is released and handed over again.
//   The database stores a result handed over twice only once.
// - Whether a result is stored is asked by its date-time and name, never by
//   the provisional test id, which another result may hold by then.

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
#include <QThread>
#include <QTimer>

#include <functional>

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

} // namespace

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
        releasedAt.remove(path);
    }

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
    // Released hand-overs wait one hand-over time-out before they are handed
    // over again, so that the results behind them get the places meanwhile.
    QHash<QString, QElapsedTimer> releasedAt;
    QList<QJsonObject> metaList;
    int warningThreshold = 180;
    int maxQueueSize = 200;
    int checkInterval = 5000;
    int handOverTimeout = 60000;
    QProcess *uploadProcess = nullptr;
    QTimer *uploadKillTimer = nullptr;
    QString uploadFilePath;
};

const QString XrfResultQueue::resultFileDateTimeformat = QStringLiteral("yyyyMMddhhmmsszzz");

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

// A public slot called from another thread runs on the queue thread while the
// caller waits. Before the thread runs, it runs in place.
#define XRF_ON_QUEUE_THREAD(call)                                                                  \
    if (!onQueueThread() && d->thread->isRunning()) {                                              \
        QMetaObject::invokeMethod(                                                                 \
                this, [&] { call; }, Qt::BlockingQueuedConnection);                                \
        return;                                                                                    \
    }

void XrfResultQueue::startResultQueue()
{
    if (d->thread->isRunning())
        return;
    // Half-written files of a run that was cut off are not queue files.
    for (const QFileInfo &leftover :
         QDir(d->queueDir).entryInfoList({ QStringLiteral("*.json.*") }, QDir::Files)) {
        qWarning() << "Removing unfinished queue file" << leftover.absoluteFilePath();
        QFile::remove(leftover.absoluteFilePath());
    }
    checkForStaleResults();
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
    QString safe;
    safe.reserve(tidName.size());
    for (const QChar c : tidName) {
        const bool refused = c.unicode() < 0x20 || c.unicode() == 0x7f
                || QStringLiteral("/\\:*?\"<>|").contains(c);
        safe += refused ? QChar(QLatin1Char('_')) : c;
    }
    // 17 digits, two "_", an id of up to 11 characters and ".json".
    const int room = maxFileNameBytes - 17 - 2 - 11 - 5;
    while (safe.toUtf8().size() > room)
        safe.chop(1);
    return safe;
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
    const int count = d->queueFiles().size();
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
    XRF_ON_QUEUE_THREAD(addResult(result));
    if (!roomInQueue())
        return;
    XrfKorviResult copy = result;
    int lastTestId = 0;
    XrfResultManager::instance()->getLastTestID(&lastTestId);
    copy.analysis().setTestId(lastTestId + 1);

    QJsonObject file;
    for (const char *key : { "queuedForDb", "savedToDb", "queuedForCloud", "sentToCloud",
                             "queuedForExport", "exported" })
        file.insert(QLatin1String(key), false);
    file.insert(QStringLiteral("testId"), lastTestId + 1);
    QDir().mkpath(d->queueDir);
    const QString path = createQueuedResultPath(copy.analysis().testDateTime(),
                                                copy.analysis().tidName(), lastTestId + 1);
    file.insert(QStringLiteral("filepath"), path);
    d->metaList.append(file);
    file.insert(QStringLiteral("result"), copy.toJsonObject());
    if (XrfUtils::saveFileJsonFile(path, file) != XrfErrorInfo::NoError)
        qWarning() << "Result" << copy.analysis().tidName() << "could not be queued in" << path;
    XrfUtils::crashPoint("queue-after-write");
}

bool XrfResultQueue::loadResultFromObjectOrFile(QJsonObject *meta, QJsonObject *resultObject,
                                                XrfKorviResult *result)
{
    QJsonObject object;
    if (resultObject) {
        object = *resultObject;
    } else {
        QJsonObject file;
        XrfUtils::openFileJsonFile(pathOf(*meta), &file);
        object = file.value(QStringLiteral("result")).toObject();
    }
    if (!XrfKorviResult::isValidResultJson(object))
        return false;
    result->fromJsonObject(object);
    return true;
}

bool XrfResultQueue::fetchQueuedResult(const QString &day, const QString &tidName,
                                       XrfKorviResult *result)
{
    qDebug() << "Fetching queued result for" << day << tidName;
    const QDate date = QDate::fromString(day, QStringLiteral("yyyy-MM-dd"));
    const QString prefix = date.toString(QStringLiteral("yyyyMMdd"));
    const QString name = fileNameSafe(tidName);
    qDebug() << "Searching for" << prefix + QStringLiteral("*_") + name + QStringLiteral("_*.json");
    // Matched by hand: a name may hold characters that wildcards treat as
    // patterns.
    QStringList found;
    for (const QFileInfo &f : d->queueFiles()) {
        const QString n = f.fileName();
        const int lastSep = n.lastIndexOf(QLatin1Char('_'));
        if (date.isValid() && n.startsWith(prefix) && n.size() > 18 && n.at(17) == QLatin1Char('_')
            && lastSep > 17 && n.mid(18, lastSep - 18) == name)
            found << f.absoluteFilePath();
    }
    if (found.size() != 1)
        return false;
    qDebug() << "Found result" << found.first();
    QFile file(found.first());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << "Error parsing queued result:" << error.errorString();
    if (!doc.isObject())
        return false;
    qDebug() << "Result meta is an object";
    const QJsonValue member = doc.object().value(QStringLiteral("result"));
    if (!member.isObject())
        return false;
    qDebug() << "Result is an object";
    result->fromJsonObject(member.toObject());
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
        qDebug() << "Found result file in queue:" << path;
        const int index = d->metaIndex(path);
        if (index >= 0) {
            qDebug() << "Meta info for" << path << "already loaded";
            QJsonObject meta = d->metaList.at(index);
            processResult(&meta, nullptr);
            continue;
        }
        QFile file(path);
        QJsonDocument doc;
        if (file.open(QIODevice::ReadOnly))
            doc = QJsonDocument::fromJson(file.readAll());
        file.close();
        if (!doc.isObject()) {
            qWarning() << "Result file in" << path << "does not contain an object, deleting";
            if (!QFile::remove(path))
                qWarning() << "Failed to remove" << path;
            continue;
        }
        QJsonObject resultObject = doc.object().value(QStringLiteral("result")).toObject();
        QJsonObject meta = withoutResult(doc.object());
        // The file's own path ties it to its entry, wherever it was written.
        meta.insert(QStringLiteral("filepath"), path);
        if (flag(meta, "queuedForExport", false) && !flag(meta, "exported", false))
            meta.insert(QStringLiteral("queuedForExport"), false);
        d->metaList.append(meta);
        QJsonObject copy = meta;
        processResult(&copy, &resultObject);
    }
    d->checkTimer->start(d->checkInterval);
}

void XrfResultQueue::processResult(QJsonObject *meta, QJsonObject *resultObject)
{
    qDebug() << "Result queue processing result:" << *meta;
    const QString path = pathOf(*meta);

    QJsonObject actions;
    getResultActionSettings(&actions);
    if (!actions.value(QStringLiteral("uploadToCloud")).isBool()
        || !actions.value(QStringLiteral("insertToDb")).isBool())
        return;
    const bool uploadToCloud = actions.value(QStringLiteral("uploadToCloud")).toBool();
    const bool insertToDb = actions.value(QStringLiteral("insertToDb")).toBool();
    QJsonObject cloud;
    XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("cloudSettings"), &cloud);
    const bool cloudEnabled = cloud.value(QStringLiteral("enabled")).toBool(false);

    QJsonObject exportSettings;
    XrfMethodManager::instance()->getExportSettings(&exportSettings);
    const QJsonValue exportValue = exportSettings.value(QStringLiteral("export"));
    if (!exportValue.isObject()
        || !exportValue.toObject().value(QStringLiteral("autoExport")).isBool())
        return;
    const bool autoExport = exportValue.toObject().value(QStringLiteral("autoExport")).toBool();
    const bool networkTarget = exportValue.toObject().value(QStringLiteral("selectedLocation"))
            == QLatin1String("Network Folder");

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
    XrfResultManager *facade = XrfResultManager::instance();

    if (insertToDb && d->handedOver.size() < 3) {
        const auto released = d->releasedAt.constFind(path);
        const bool backingOff = released != d->releasedAt.constEnd()
                && released.value().elapsed() < d->handOverTimeout;
        if (!flag(*meta, "queuedForDb", true)) {
            qDebug() << path << "needs to be queued for the database";
            if (backingOff) {
                qDebug() << path << "waits before it is handed over again";
            } else if (load()) {
                qDebug() << "Storing" << path << "in database";
                const XrfErrorInfo::XrfError rc = facade->addTestResult(result);
                if (rc == XrfErrorInfo::NoError) {
                    d->releasedAt.remove(path);
                    meta->insert(QStringLiteral("queuedForDb"), true);
                    QElapsedTimer since;
                    since.start();
                    d->handedOver.insert(path, since);
                    changed = true;
                } else {
                    qDebug() << "The database refused" << path
                             << "for now:" << XrfErrorInfo(rc).errorString();
                }
            }
        } else if (!saved) {
            qDebug() << path << "is not yet committed to the database";
            if (load()) {
                const int stored = facade->storedTestId(result.analysis().dateTimeString(),
                                                        result.analysis().tidName());
                if (stored > 0) {
                    qDebug() << "Test ID" << stored
                             << "is already in the database, cleaning it up.";
                    meta->insert(QStringLiteral("savedToDb"), true);
                    meta->insert(QStringLiteral("testId"), stored);
                    result.analysis().setTestId(stored);
                    meta->insert(QStringLiteral("result"), result.toJsonObject());
                    d->releaseHandOver(path);
                    saved = changed = true;
                }
            }
        }
    }

    if (uploadToCloud && cloudEnabled && !flag(*meta, "queuedForCloud", true)) {
        qDebug() << path << "needs to be queued for the cloud";
        if (load()) {
            qDebug() << "Sending" << path << "to cloud";
            if (!sendResultToCloud(resultObject ? *resultObject : result.toJsonObject())) {
                qDebug() << "Can't send result to cloud yet, upload script is already running.";
            } else {
                meta->insert(QStringLiteral("queuedForCloud"), true);
                d->uploadFilePath = path;
                meta->insert(
                        QStringLiteral("timestampSentToCloudAt"),
                        QDateTime::currentDateTimeUtc().toString(QLatin1String(cloudStampFormat)));
                changed = true;
            }
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

    if (saved && autoExport && !exported) {
        qDebug() << path << "needs to be exported";
        const bool reachable = (d->networkConnected && d->networkFolderMounted) || !networkTarget;
        if (reachable && !flag(*meta, "queuedForExport", false) && load()) {
            const int testId = meta->value(QStringLiteral("testId")).toInt();
            qDebug() << "Exporting" << testId << result.analysis().dateTimeString();
            facade->doAutoExport(QString::number(testId));
            meta->insert(QStringLiteral("queuedForExport"), true);
            changed = true;
        }
    }

    updateOrDeleteResult(meta, changed);
}

void XrfResultQueue::updateOrDeleteResult(QJsonObject *meta, bool changed)
{
    qDebug() << "updateOrDeleteResult"
             << "true" << (changed ? "true" : "false");
    const QString path = pathOf(*meta);
    QJsonObject actions;
    getResultActionSettings(&actions);
    const bool uploadToCloud = actions.value(QStringLiteral("uploadToCloud")).toBool(false);
    const bool insertToDb = actions.value(QStringLiteral("insertToDb")).toBool(true);
    QJsonObject exportSettings;
    XrfMethodManager::instance()->getExportSettings(&exportSettings);
    const bool autoExport = exportSettings.value(QStringLiteral("export"))
                                    .toObject()
                                    .value(QStringLiteral("autoExport"))
                                    .toBool(false);

    const bool pending = (insertToDb && !flag(*meta, "savedToDb", false))
            || (uploadToCloud && !flag(*meta, "sentToCloud", false))
            || (autoExport && !flag(*meta, "exported", false));
    if (!pending) {
        qDebug() << "All operations on" << path << "are complete, deleting it.";
        QFile::remove(path);
        const int index = d->metaIndex(path);
        if (index >= 0)
            d->metaList.removeAt(index);
        d->releaseHandOver(path);
        return;
    }
    if (!changed)
        return;

    qDebug() << "Updating result file:" << path;
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
    for (QJsonObject &m : d->metaList)
        if (pathOf(m) == path)
            m = entry;
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
        if (XrfUtils::openFileJsonFile(path, &object) != XrfErrorInfo::NoError) {
            qWarning() << "JSON meta information in" << path << "is not an object";
            continue;
        }
        const QJsonObject resultObject = object.value(QStringLiteral("result")).toObject();
        if (!XrfKorviResult::isValidResultJson(resultObject)) {
            qWarning() << "Failed to deserialize JSON result in" << path;
            continue;
        }
        XrfKorviResult result;
        result.fromJsonObject(resultObject);
        object.insert(QStringLiteral("filepath"), path);
        update(path, object, result);
    }
}

void XrfResultQueue::onResultCommittedToDb(QDateTime testDateTime, bool isAverage, int testId)
{
    XRF_ON_QUEUE_THREAD(onResultCommittedToDb(testDateTime, isAverage, testId));
    Q_UNUSED(isAverage);
    qDebug() << "Result queue: result committed to DB:" << testDateTime;
    qDebug() << "Result queue: result committed to DB - search:"
             << testDateTime.toUTC().toString(resultFileDateTimeformat) + QStringLiteral("_*.json");
    d->forEachQueuedAt(testDateTime, "Result queue: result committed to DB - found:",
                       [&](const QString &path, QJsonObject &object, XrfKorviResult &result) {
                           if (result.analysis().testDateTime() != testDateTime)
                               return;
                           d->releaseHandOver(path);
                           object.insert(QStringLiteral("savedToDb"), true);
                           object.insert(QStringLiteral("testId"), testId);
                           result.analysis().setTestId(testId);
                           object.insert(QStringLiteral("result"), result.toJsonObject());
                           updateOrDeleteResult(&object, true);
                       });
}

void XrfResultQueue::onResultSentToCloud(QString testDateTime)
{
    XRF_ON_QUEUE_THREAD(onResultSentToCloud(testDateTime));
    qDebug() << "Result queue: result sent to cloud:" << testDateTime;
    QDateTime when = QDateTime::fromString(testDateTime, XrfAnalysisResult::dateTimeFormat);
    when.setTimeSpec(Qt::UTC);
    qDebug() << "Result queue: result sent to cloud - search:"
             << when.toString(resultFileDateTimeformat) + QStringLiteral("_*.json");
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
    for (QJsonObject &entry : d->metaList) {
        const bool match = status == XrfErrorInfo::NoError
                ? entry.value(QStringLiteral("testId")).toInt() == testId
                : !flag(entry, "exported", false) && flag(entry, "queuedForExport", false);
        if (!match)
            continue;
        QJsonObject meta = entry;
        if (status == XrfErrorInfo::NoError)
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
