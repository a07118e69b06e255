// The queue's state machine: what each queue file waits for, and which
// function moves it on.
//
// A queue file holds one result and two flags for each of its three actions.
// Each action is driven on its own; a file is deleted (updateOrDelete) as
// soon as every action the settings ask for is done, and an action that
// cannot run in this configuration is not asked for (QueueActions).
//
// Database: queuedForDb / savedToDb
//
//            handOver                     onResultCommittedToDb, or
//         (addTestResult accepted)        findStored (by date-time and name)
//     F/F ───────────────────────> T/F ───────────────────────────────────> T/T
//      ^                            │
//      └────────────────────────────┘
//        releaseStaleHandOvers: no commit within the hand-over time-out (the
//        5th such time-out while other results were committed: failed/);
//        restart: checkForStaleResults
//
//   A refused hand-over stays F/F for the next pass; a released one waits
//   one time-out first. A result handed over twice is stored once. The
//   hand-over itself is kept in the meta list only; the file says T/F only
//   when another change rewrote it meanwhile.
//
// Cloud: queuedForCloud / sentToCloud
//
//            stepCloud                    onUploadFinished (answer 200), or
//         (script started, stamped)       onResultSentToCloud
//     F/F ───────────────────────> T/F ───────────────────────────────────> T/T
//      ^                            │
//      └────────────────────────────┘
//        onUploadFinished: any other answer;
//        stepCloud: no answer within cloudTimeoutMsecs (stopHangingUpload)
//
//   A script that crashes or exits non-zero changes nothing: the time-out
//   frees the file, after a restart too (the stamp is in the file).
//
// Export: queuedForExport / exported, only once savedToDb (by test id)
//
//            stepExport                   onExportComplete: done, or not
//         (target reachable, accepted)    possible in this build
//     F/F ───────────────────────> T/F ───────────────────────────────────> T/T
//      ^                            │
//      └────────────────────────────┘
//        onExportComplete: failed; restart: admit, when the pass first
//        reads the file
//
// A flag a file does not hold (the queue never writes such a file) is read
// as false when the pass first reads the file (admit): the action is still
// to do.
//
// Invariants, cited in the code by number:
// (1) A file is deleted only once every action the settings ask for is
//     done; a file that cannot be read as a result at all is moved to
//     failed/ by the pass, never deleted.
// (2) A hand-over counts (T/F) only when addTestResult() accepted it.
// (3) A hand-over is settled only by a commit of its own result, found by
//     date-time and name, never by a provisional test id.
// (4) An export is settled only by the completion of the queue's own
//     automatic export of that test, with that export's code.

#include "xrfresultqueue_p.h"

#include <QDebug>
#include <QFile>
#include <QMetaEnum>

#include "facadeguard.h"
#include "resultmanager.h"
#include "xrffields.h"
#include "xrfplatform.h"
#include "xrfutils.h"

using namespace QueueLimits;

// --- One pass over one file --------------------------------------------------------------

void XrfResultQueue::processResult(QJsonObject *meta, QJsonObject *resultObject)
{
    QueueEntry entry = QueueEntry::fromJson(*meta);
    d->process(entry, resultObject);
    *meta = entry.toJson();
}

bool XrfResultQueue::XrfResultQueuePrivate::load(Pass &pass)
{
    if (pass.loaded)
        return true;
    if (!loadResult(pass.entry.filePath, pass.resultObject, &pass.result)) {
        qWarning() << "Could not load result:" << pass.entry.filePath;
        return false;
    }
    pass.loaded = true;
    return true;
}

void XrfResultQueue::XrfResultQueuePrivate::process(QueueEntry &entry,
                                                    const QJsonObject *resultObject)
{
    qDebug() << "Result queue processing result:" << entry.filePath;
    const QueueActions actions = this->actions();
    Pass pass { entry, resultObject };
    stepDatabase(pass, actions);
    stepCloud(pass, actions);
    stepExport(pass, actions);
    updateOrDelete(entry, pass.changed, pass.newResult.isEmpty() ? nullptr : &pass.newResult);
    if (pass.handedOver && !pass.changed) {
        const int index = metaIndex(entry.filePath);
        if (index >= 0)
            metaList[index] = entry;
    }
}

void XrfResultQueue::XrfResultQueuePrivate::stepDatabase(Pass &pass, const QueueActions &actions)
{
    if (!actions.insertToDb || pass.entry.savedToDb.value_or(true))
        return;
    if (!pass.entry.queuedForDb.value_or(true)) {
        if (handedOver.size() < maxHandOvers)
            handOver(pass);
    } else if (pass.entry.queuedForDb.value_or(false)) {
        findStored(pass);
    }
}

void XrfResultQueue::XrfResultQueuePrivate::handOver(Pass &pass)
{
    const QString &path = pass.entry.filePath;
    const auto released = releasedAt.constFind(path);
    const bool backingOff
            = released != releasedAt.constEnd() && released.value().elapsed() < handOverTimeout;
    if (backingOff || !load(pass))
        return;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoSdCard;
    {
        FacadeGuard guard;
        if (guard.facade())
            rc = guard.facade()->addTestResult(pass.result);
    }
    if (rc == XrfErrorInfo::NoError) { // (2)
        releasedAt.remove(path);
        pass.entry.queuedForDb = true;
        QElapsedTimer since;
        since.start();
        handedOver.insert(path, since);
        commitsAtHandOver.insert(path, commitsSeen);
        handedOverKeys.insert(
                path,
                { pass.result.analysis().dateTimeString(), pass.result.analysis().tidName() });
        // Not written to the file: every start hands a waiting result over
        // again and the database stores it once, so a durable flag would
        // only cost two syncs a result.
        pass.handedOver = true;
    } else if (rc != lastRefusal) {
        qWarning() << "The database refuses results for now:" << XrfErrorInfo(rc).errorString();
    }
    if (rc != lastRefusal && rc == XrfErrorInfo::NoError && lastRefusal != 0)
        qInfo() << "The database takes results again";
    lastRefusal = rc;
}

// A commit whose report was lost (or came before a restart) is found by the
// result's date-time and name, never by the provisional id (3).
void XrfResultQueue::XrfResultQueuePrivate::findStored(Pass &pass)
{
    // The key kept at the hand-over spares reading the file on every pass
    // while its commit is awaited; after a restart it is read once.
    QPair<QString, QString> key = handedOverKeys.value(pass.entry.filePath);
    if (key.first.isEmpty()) {
        if (!load(pass))
            return;
        key = { pass.result.analysis().dateTimeString(), pass.result.analysis().tidName() };
    }
    int stored = -1;
    {
        FacadeGuard guard;
        if (guard.facade())
            stored = guard.facade()->storedTestId(key.first, key.second);
    }
    if (stored <= 0 || !load(pass))
        return;
    qDebug() << "Test ID" << stored << "is already in the database, cleaning it up.";
    pass.entry.savedToDb = true;
    pass.entry.testId = stored;
    pass.result.analysis().setTestId(stored);
    pass.newResult = pass.result.toJsonObject();
    releaseHandOver(pass.entry.filePath);
    pass.changed = true;
}

void XrfResultQueue::XrfResultQueuePrivate::stepCloud(Pass &pass, const QueueActions &actions)
{
    QueueEntry &entry = pass.entry;
    if (actions.uploadToCloud && !entry.queuedForCloud.value_or(true) && load(pass)) {
        if (!q->sendResultToCloud(pass.resultObject ? *pass.resultObject
                                                    : pass.result.toJsonObject())) {
            qDebug() << "Can't send result to cloud yet, upload script is already running.";
        } else {
            entry.queuedForCloud = true;
            uploadFilePath = entry.filePath;
            entry.cloudStamp = QueueEntry::cloudStampNow();
            pass.changed = true;
        }
    }
    // Also when the settings no longer ask for the cloud: no upload stays
    // marked as running.
    if (!entry.sentToCloud.value_or(false) && entry.queuedForCloud.value_or(false)) {
        if (!entry.cloudStamp.isValid()
            || entry.cloudStamp.msecsTo(QDateTime::currentDateTimeUtc()) > cloudTimeoutMsecs) {
            if (uploadFilePath == entry.filePath)
                stopHangingUpload();
            entry.queuedForCloud = false;
            pass.changed = true;
        }
    }
}

void XrfResultQueue::XrfResultQueuePrivate::stepExport(Pass &pass, const QueueActions &actions)
{
    QueueEntry &entry = pass.entry;
    if (!entry.savedToDb.value_or(true) || !actions.autoExport || entry.exported.value_or(true))
        return;
    const bool reachable = (networkConnected && networkFolderMounted) || !actions.networkTarget;
    if (!reachable || entry.queuedForExport.value_or(false))
        return;
    FacadeGuard guard;
    if (!guard.facade())
        return;
    qDebug() << "Exporting" << entry.testId;
    // A refused export (a full card) sends no answer: it is asked again on
    // the next pass.
    if (guard.facade()->doAutoExport(QString::number(entry.testId)) != XrfErrorInfo::NoError)
        return;
    entry.queuedForExport = true;
    pass.changed = true;
}

// --- Writing back ---------------------------------------------------------------------

void XrfResultQueue::updateOrDeleteResult(QJsonObject *meta, bool changed)
{
    const QJsonValue result = meta->value(QStringLiteral("result"));
    const QJsonObject resultObject = result.toObject();
    d->updateOrDelete(QueueEntry::fromJson(*meta), changed,
                      result.isObject() ? &resultObject : nullptr);
}

// `result` is the result to write with the entry; null keeps the file's.
void XrfResultQueue::XrfResultQueuePrivate::updateOrDelete(const QueueEntry &entry, bool changed,
                                                           const QJsonObject *result)
{
    const QString &path = entry.filePath;
    const QueueActions a = actions();
    // (1)
    const bool pending = (a.insertToDb && !entry.savedToDb.value_or(false))
            || (a.uploadToCloud && !entry.sentToCloud.value_or(false))
            || (a.autoExport && !entry.exported.value_or(false));
    if (!pending) {
        qDebug() << "All operations on" << path << "are complete, deleting it.";
        QFile::remove(path);
        forget(path);
        return;
    }
    if (!changed)
        return;

    QJsonObject file = entry.toJson();
    if (result) {
        file.insert(QStringLiteral("result"), *result);
    } else {
        QJsonObject onDisk;
        XrfUtils::openFileJsonFile(path, &onDisk);
        const QJsonValue kept = onDisk.value(QStringLiteral("result"));
        if (!kept.isObject()) {
            qWarning() << "Result of" << path << "cannot be read; the file is left as it is";
            return;
        }
        file.insert(QStringLiteral("result"), kept);
    }
    XrfUtils::crashPoint("queue-before-rewrite");
    if (XrfUtils::saveFileJsonFile(path, file) != XrfErrorInfo::NoError)
        qWarning() << "Queue file" << path << "could not be rewritten";
    const int index = metaIndex(path);
    if (index >= 0)
        metaList[index] = entry;
}

// --- Time-outs and restart --------------------------------------------------------------

// Hand-overs whose commit never came are released, so that a lost or failed
// insertion cannot hold the results behind it.
void XrfResultQueue::XrfResultQueuePrivate::releaseStaleHandOvers()
{
    for (auto it = handedOver.begin(); it != handedOver.end();) {
        if (it.value().elapsed() < handOverTimeout) {
            ++it;
            continue;
        }
        const QString path = it.key();
        it = handedOver.erase(it);
        const bool ownFailure = commitsAtHandOver.take(path) < commitsSeen;
        if (ownFailure && ++insertionFailures[path] >= maxInsertionFailures) {
            setAside(path,
                     QStringLiteral("failed to be stored %1 times while other results were")
                             .arg(maxInsertionFailures));
            continue;
        }
        QElapsedTimer since;
        since.start();
        releasedAt.insert(path, since);
        const int index = metaIndex(path);
        if (index >= 0) {
            qWarning() << "No commit reported for" << path << "- handing it over again";
            QueueEntry entry = metaList.at(index);
            entry.queuedForDb = false;
            updateOrDelete(entry, true, nullptr);
        }
    }
}

// After a restart no hand-over of the last run waits for its commit.
void XrfResultQueue::checkForStaleResults()
{
    qDebug() << "Checking result queue for stale results";
    for (const QFileInfo &f : d->queueFiles()) {
        qDebug() << "Found result file in queue:" << f.absoluteFilePath();
        QJsonObject object;
        if (XrfUtils::openFileJsonFile(f.absoluteFilePath(), &object) != XrfErrorInfo::NoError)
            continue;
        QueueEntry entry = QueueEntry::fromJson(object);
        d->raiseLastTestId(entry.testId);
        const QJsonValue result = object.value(QStringLiteral("result"));
        if (!entry.savedToDb.value_or(false) && entry.queuedForDb.value_or(false)
            && result.isObject()) {
            entry.queuedForDb = false;
            QJsonObject file = entry.toJson();
            file.insert(QStringLiteral("result"), result);
            XrfUtils::saveFileJsonFile(f.absoluteFilePath(), file);
        }
    }
}

// --- Completions ---------------------------------------------------------------------

// Calls `update` for each queue file of a result taken at this date-time,
// with the file's entry and its result; the found-log line names the slot
// that asked.
void XrfResultQueue::XrfResultQueuePrivate::forEachQueuedAt(
        const QDateTime &when, const char *foundText,
        const std::function<void(const QString &, QueueEntry &, XrfKorviResult &)> &update)
{
    for (const QFileInfo &f : queueFiles()) {
        if (!QueueFileName::parse(f.fileName()).isAt(when))
            continue;
        const QString path = f.absoluteFilePath();
        qDebug() << foundText << path;
        QJsonObject object;
        XrfKorviResult result;
        if (!readQueueFile(path, &object, &result))
            continue;
        QueueEntry entry = QueueEntry::fromJson(object);
        entry.filePath = path;
        update(path, entry, result);
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
    if (!d->settleKnownHandOver(testDateTime, testId))
        d->forEachQueuedAt(testDateTime, "Result queue: result committed to DB - found:",
                           [&](const QString &path, QueueEntry &entry, XrfKorviResult &result) {
                               if (result.analysis().testDateTime() != testDateTime
                                   || entry.savedToDb.value_or(false))
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
                               entry.savedToDb = true;
                               entry.testId = testId;
                               result.analysis().setTestId(testId);
                               const QJsonObject stamped = result.toJsonObject();
                               const int index = d->metaIndex(path);
                               if (index >= 0)
                                   d->metaList[index] = entry;
                               d->updateOrDelete(entry, true, &stamped);
                           });
    d->updateWaitingCount();
    // A freed hand-over is used at once rather than at the next tick; a
    // paused or stopped queue keeps its timer stopped.
    if (d->checkTimer->isActive() && d->handedOver.size() < maxHandOvers
        && d->waitingCount.loadAcquire() > d->handedOver.size())
        d->checkTimer->start(0);
}

// The commit of a result this run handed over and that waits for nothing
// else: found by the date-time text and name kept at the hand-over, and its
// file deleted unread. Anything else takes the way through the files.
bool XrfResultQueue::XrfResultQueuePrivate::settleKnownHandOver(const QDateTime &testDateTime,
                                                                int testId)
{
    const QueueActions a = actions();
    const QStringList paths = handedOverKeys.keys();
    for (const QString &path : paths) {
        if (!QueueFileName::parse(QFileInfo(path).fileName()).isAt(testDateTime))
            continue;
        const int index = metaIndex(path);
        if (index < 0)
            continue;
        QueueEntry entry = metaList.at(index);
        if ((a.uploadToCloud && !entry.sentToCloud.value_or(false))
            || (a.autoExport && !entry.exported.value_or(false)))
            return false;
        const QPair<QString, QString> key = handedOverKeys.value(path);
        int stored = -1;
        {
            FacadeGuard guard;
            if (guard.facade())
                stored = guard.facade()->storedTestId(key.first, key.second);
        }
        if (stored != testId)
            continue;
        releaseHandOver(path);
        insertionFailures.remove(path);
        entry.savedToDb = true;
        entry.testId = testId;
        metaList[index] = entry;
        updateOrDelete(entry, true, nullptr);
        return true;
    }
    return false;
}

void XrfResultQueue::onResultSentToCloud(QString testDateTime)
{
    XRF_ON_QUEUE_THREAD(onResultSentToCloud(testDateTime));
    qDebug() << "Result queue: result sent to cloud:" << testDateTime;
    const QDateTime when = XrfFields::utcFromText(testDateTime);
    d->forEachQueuedAt(when, "Result queue: result sent to cloud - found:",
                       [&](const QString &, QueueEntry &entry, XrfKorviResult &result) {
                           if (result.analysis().dateTimeString() != testDateTime)
                               return;
                           entry.sentToCloud = true;
                           d->updateOrDelete(entry, true, nullptr);
                       });
}

void XrfResultQueue::onExportComplete(int testId, XrfErrorInfo::XrfError status)
{
    XRF_ON_QUEUE_THREAD(onExportComplete(testId, status));
    qDebug() << "Result queue: Export Complete:" << testId << XrfErrorInfo(status).errorString();
    {
        // Only the completion of the export this queue asked for settles
        // it, with that export's code: a user's export of the same test
        // says nothing about it (4).
        FacadeGuard guard;
        XrfResultManager *facade = guard.facade();
        if (!facade || !facade->takeAutomaticExportCompletion(testId, &status)) {
            qDebug() << "Result queue: not its own export of" << testId;
            return;
        }
    }
    // An export of a result that is no longer stored, or that this build
    // cannot make, counts as done: waiting for it would hold the file for
    // ever. Only the entry of that test, waiting for its export, is touched.
    const bool done = status == XrfErrorInfo::NoError || status == XrfErrorInfo::NotImplemented
            || status == XrfErrorInfo::ResultNotFound;
    for (const QueueEntry &listed : qAsConst(d->metaList)) {
        if (testId < 0 || listed.testId != testId || !listed.queuedForExport.value_or(false)
            || listed.exported.value_or(false))
            continue;
        QueueEntry entry = listed;
        if (done)
            entry.exported = true;
        else
            entry.queuedForExport = false;
        d->updateOrDelete(entry, true, nullptr);
        return;
    }
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
    QueueEntry entry = metaList.at(index);
    if (code == 200) {
        qDebug() << uploadFilePath << "has been sent to the cloud.";
        entry.sentToCloud = true;
    } else {
        qWarning() << uploadFilePath << "failed to upload to the cloud. Response code:" << code
                   << "Response text:" << text;
        entry.sentToCloud = false;
        entry.queuedForCloud = false;
    }
    updateOrDelete(entry, true, nullptr);
}
