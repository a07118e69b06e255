#include "xrfhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocale>
#include <QSet>
#include <QThread>
#include <QtGlobal>
#include <cstdio>

#include "progressbar.h"
#include "queuefilename.h"
#include "resultmanager.h"
#include "xrfplatform.h"
#include "xrfresultqueue.h"
#include "xrfservices.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

namespace {
// Passes of the queue are shortened for a person waiting at the terminal;
// the queue's own limit of three results in flight stays.
const int hostPassInterval = 20;
// Below the queue's capacity, so that a large store never sees a refusal.
const int queueFillLimit = 150;
// The library refuses a result at or below this much free space.
const qint64 minimumFreeSpace = qint64(100) * 1024 * 1024;

QString coded(XrfErrorInfo::XrfError code, const QString &why)
{
    return QStringLiteral("%1 %2: %3").arg(int(code)).arg(XrfErrorInfo::errorName(code), why);
}

QString resultKey(const QString &dateTime, const QString &tidName)
{
    return dateTime + QLatin1Char('\t') + tidName;
}

QString dayOf(const XrfKorviResult &result)
{
    return result.analysis().testDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd"));
}
} // namespace

XrfHost::XrfHost(const QString &dataDir, const QString &configDir, Mode mode)
    : m_dataDir(QDir(dataDir).absolutePath()), m_configDir(configDir), m_mode(mode)
{
}

XrfHost::~XrfHost()
{
    stop();
}

bool XrfHost::start(QString *error, XrfErrorInfo::XrfError *code)
{
    *code = XrfErrorInfo::NoError;
    QString configError;
    if (!XrfServices::loadConfiguration(m_configDir, &configError)) {
        *error = QStringLiteral("configuration: ") + configError;
        return false;
    }
    const QString profile = m_dataDir + QStringLiteral("/profile/");
    if (m_mode == Storing) {
        if (!QDir().mkpath(profile) || !XrfUtils::isMarkedWritable(profile)
            || !XrfUtils::isMarkedWritable(m_dataDir)) {
            *code = XrfErrorInfo::NoSdCard;
            *error = QStringLiteral("cannot write in the data folder ") + m_dataDir;
            return false;
        }
        // The print templates are read from the profile, as on the
        // instrument; a user's own stay as they are.
        const QDir shipped(m_configDir + QStringLiteral("/templates/exports"));
        const QString own = profile + QStringLiteral("templates/exports/");
        QDir().mkpath(own);
        for (const QString &name : shipped.entryList({ QStringLiteral("*.json") }, QDir::Files))
            if (!QFileInfo::exists(own + name))
                QFile::copy(shipped.filePath(name), own + name);
        // A killed import leaves its copy of the stream; the data folder is
        // this process's alone now.
        const QDir data(m_dataDir);
        for (const QString &name :
             data.entryList({ QStringLiteral("import-??????.json") }, QDir::Files))
            QFile::remove(data.filePath(name));
    } else if (!QFileInfo(m_dataDir).isDir()) {
        *code = XrfErrorInfo::NoSdCard;
        *error = QStringLiteral("no data folder ") + m_dataDir;
        return false;
    }
    XrfPlatform::instance()->setInstrumentDataPath(m_dataDir);

    XrfResultManager *rm = XrfResultManager::instance();
    connect(rm, &XrfResultManager::dbInfo, this,
            [this](const QJsonObject &info) { m_dbInfo = info; });
    *code = rm->init();
    m_started = true;
    if (*code != XrfErrorInfo::NoError) {
        *error = QStringLiteral("the library did not start");
        return false;
    }
    rm->setPaths(profile, m_dataDir);
    if (!rm->databaseAvailable()) {
        *code = XrfErrorInfo::DbOpenFailed;
        *error = QStringLiteral("the results database in %1/db cannot be opened").arg(m_dataDir);
        const QString why = rm->databaseOpenError();
        if (!why.isEmpty())
            *error += QStringLiteral(": ") + why;
        return false;
    }
    if (m_mode == ReadOnly)
        return true;

    // The queue lives in the current directory: in the data folder, a store
    // that was cut off resumes on the next run with the same data folder.
    QDir::setCurrent(m_dataDir);
    XrfResultQueue *queue = XrfResultQueue::instance();
    queue->setCheckInterval(hostPassInterval);
    connect(rm, &XrfResultManager::resultCommitted, queue, &XrfResultQueue::onResultCommittedToDb);
    connect(rm, &XrfResultManager::exportComplete, queue, &XrfResultQueue::onExportComplete);
    connect(rm, &XrfResultManager::resultCommitted, this, [this] {
        ++m_committed;
        m_refusal = XrfErrorInfo::NoError;
    });
    connect(rm, &XrfResultManager::resultInserted, this, [this](XrfErrorInfo::XrfError c) {
        if (c != XrfErrorInfo::NoError)
            m_refusal = c;
    });
    connect(queue, &XrfResultQueue::resultNotQueued, this,
            [this](const QString &dateTime, const QString &tidName, XrfErrorInfo::XrfError c) {
                m_notQueued << resultKey(dateTime, tidName) + QLatin1Char('\t')
                                + QString::number(int(c));
            });
    connect(queue, &XrfResultQueue::resultSetAside, this,
            [this](const QString &path, const QString &reason) {
                m_setAside << path;
                std::fprintf(stderr, "\nxrfresults: queue file %s set aside: %s\n",
                             qPrintable(path), qPrintable(reason));
                std::fflush(stderr);
            });
    return true;
}

void XrfHost::stop()
{
    if (!m_started)
        return;
    m_started = false;
    if (m_mode == Storing)
        XrfResultQueue::destroyInstance();
    XrfResultManager::instance()->Deinit();
}

QString XrfHost::queueDir() const
{
    return m_dataDir + QStringLiteral("/resultQueue");
}

QStringList XrfHost::queuedFiles() const
{
    return QDir(queueDir()).entryList({ QString::fromLatin1(QueueFileName::filter) }, QDir::Files);
}

int XrfHost::queuedFileCount() const
{
    return queuedFiles().size();
}

QString XrfHost::databaseFile() const
{
    QJsonObject info;
    XrfResultManager::instance()->getDatabaseInfo(&info);
    return info.value(QStringLiteral("file")).toString();
}

// Why nothing is being stored, as far as the host can tell; with thorough
// set, the queue files are read as well.
QString XrfHost::waitReason(bool thorough) const
{
    const qint64 free = XrfUtils::availableSpaceOnSdCard();
    if (free >= 0 && free <= minimumFreeSpace)
        return coded(XrfErrorInfo::NoStorage,
                     QStringLiteral("%1 free in %2, the library needs more than 100 MiB")
                             .arg(QLocale::c().formattedDataSize(free), m_dataDir));
    if (!XrfResultManager::instance()->databaseAvailable())
        return coded(XrfErrorInfo::NoSdCard, QStringLiteral("no results database is open"));
    QJsonObject database;
    XrfResultManager::instance()->getDatabaseInfo(&database);
    if (database.value(QStringLiteral("readOnly")).toBool())
        return coded(XrfErrorInfo::DbOpenFailed,
                     database.value(QStringLiteral("file")).toString()
                             + QStringLiteral(" (or its folder) is marked read-only"));
    if (m_refusal != XrfErrorInfo::NoError)
        return coded(m_refusal, QStringLiteral("the library refuses results"));
    QJsonObject actions;
    XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("resultActions"), &actions);
    if (!actions.value(QStringLiteral("insertToDb")).isBool()
        || !actions.value(QStringLiteral("uploadToCloud")).isBool())
        return QStringLiteral("the configuration's resultActions needs insertToDb and "
                              "uploadToCloud as true or false");
    if (!actions.value(QStringLiteral("insertToDb")).toBool())
        return QStringLiteral("the configuration's resultActions has insertToDb false");
    if (!XrfUtils::isMarkedWritable(queueDir()))
        return queueDir() + QStringLiteral(" is read-only");
    if (thorough) {
        const QDir queue(queueDir());
        for (const QString &name : queuedFiles()) {
            QFile f(queue.filePath(name));
            if (!f.open(QIODevice::ReadOnly))
                return QStringLiteral("queue file %1 cannot be read").arg(f.fileName());
            const QJsonValue result
                    = QJsonDocument::fromJson(f.readAll()).object().value(QStringLiteral("result"));
            if (!result.isObject() || !XrfKorviResult::isValidResultJson(result.toObject()))
                return QStringLiteral("queue file %1 holds no result").arg(f.fileName());
        }
    }
    return QStringLiteral("no reason known");
}

bool XrfHost::waitForQueue(int maxFiles, ProgressBar *bar, int total, QString *error)
{
    QElapsedTimer quiet;
    quiet.start();
    QElapsedTimer lastCheck;
    int lastCommitted = m_committed;
    // Stored results that wait only for an export or an upload do not hold
    // the store up.
    const XrfResultQueue *queue = XrfResultQueue::instance();
    int lastFiles = queue->resultsNotYetStored();
    QString reason;
    for (;;) {
        const int files = queue->resultsNotYetStored();
        if (files <= maxFiles)
            return true;
        if (m_committed != lastCommitted || files < lastFiles) {
            quiet.restart();
            reason.clear();
        }
        lastCommitted = m_committed;
        lastFiles = files;
        if (quiet.elapsed() >= qint64(m_waitSeconds) * 1000) {
            *error = QStringLiteral("nothing stored for %1 s (%2); %3 queued results stay in %4 "
                                    "for the next run")
                             .arg(m_waitSeconds)
                             .arg(waitReason(true))
                             .arg(files)
                             .arg(queueDir());
            return false;
        }
        // A second without progress is worth a word on the progress line.
        if (quiet.elapsed() > 1000 && (!lastCheck.isValid() || lastCheck.elapsed() > 500)) {
            reason = QStringLiteral("waiting: ") + waitReason(false);
            lastCheck.restart();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
        if (bar)
            bar->show(qMin(total, m_committed), total, reason);
    }
}

bool XrfHost::isStoredOrQueued(const XrfKorviResult &result) const
{
    const XrfAnalysisResult &a = result.analysis();
    if (XrfResultManager::instance()->storedTestId(a.dateTimeString(), a.tidName()) > 0)
        return true;
    for (const QString &name : queuedFiles())
        if (QueueFileName::parse(name).isOf(a.testDateTime(), a.tidName()))
            return true;
    return false;
}

// The instrument leaves its pictures in the image store under the test's
// day; the database moves them to their final names. A result goes into the
// queue only with every picture it names in the store: the database would
// refuse it otherwise. Empty when all are there, else why not.
QString XrfHost::copyImages(const XrfKorviResult &result, const QString &imagesFrom,
                            ExitCode *exitCode) const
{
    const QString day = dayOf(result);
    const QString store = QDir::cleanPath(imageDir());
    for (const XrfImageInfo &image : result.images()) {
        const QString name = image.name().contains(QLatin1Char('/'))
                ? image.name()
                : day + QLatin1Char('/') + image.name();
        const QString to = QDir::cleanPath(store + QLatin1Char('/') + name);
        // The library drops a name that leaves its store, with a warning.
        if (!to.startsWith(store + QLatin1Char('/')) || QFileInfo(to).isFile())
            continue;
        const QString from = imagesFrom + QLatin1Char('/') + image.name();
        if (!QFileInfo(from).isFile()) {
            *exitCode = ExitBadInput;
            return QStringLiteral("its picture %1 is not in %2").arg(image.name(), imagesFrom);
        }
        // Listed first: a store killed before its result was queued
        // leaves a copy that no later batch may name.
        QFile list(copiesList());
        if (!list.open(QIODevice::Append)
            || list.write((QDir(store).relativeFilePath(to) + QLatin1Char('\n')).toUtf8()) < 0
            || !list.flush()) {
            *exitCode = ExitLibrary;
            return QStringLiteral("cannot write %1: %2").arg(copiesList(), list.errorString());
        }
        list.close();
        // Staged and renamed: a full card leaves no half picture behind.
        const QString part = to + QStringLiteral(".part");
        QFile::remove(part);
        if (!QDir().mkpath(QFileInfo(to).absolutePath()) || !QFile::copy(from, part)
            || QFileInfo(part).size() != QFileInfo(from).size() || !XrfUtils::syncFile(part)
            || !QFile::rename(part, to)) {
            QFile::remove(part);
            *exitCode = ExitLibrary;
            return QStringLiteral("its picture %1 cannot be copied into %2 (is the card full?)")
                    .arg(image.name(), QFileInfo(to).absolutePath());
        }
    }
    return QString();
}

// A copy whose result was stored by an earlier run (cut off between the copy
// and the commit) is never moved by the database; with the queue empty, a copy
// that no row names belongs to no one.
void XrfHost::removeOrphanCopies(const QList<Stored> &results) const
{
    if (queuedFileCount() != 0)
        return;
    // The names the library holds for this batch's stored results: a copy
    // that one of them names is a stored picture, never an orphan.
    QSet<QString> named;
    XrfResultManager *rm = XrfResultManager::instance();
    for (const Stored &s : results) {
        // A result that came without pictures names none once stored.
        if (s.result.images().isEmpty())
            continue;
        const int testId = rm->storedTestId(s.result.analysis().dateTimeString(),
                                            s.result.analysis().tidName());
        XrfKorviResult stored;
        if (testId > 0 && rm->syncGetFullResult(testId, &stored) == XrfErrorInfo::NoError)
            for (const XrfImageInfo &image : stored.images())
                named.insert(image.name());
    }
    for (const Stored &s : results) {
        const QString day = dayOf(s.result);
        for (const XrfImageInfo &image : s.result.images()) {
            const QString name = day + QLatin1Char('/') + image.name();
            if (!image.name().contains(QLatin1Char('/')) && !named.contains(name))
                QFile::remove(imageDir() + name);
        }
    }
    // Copies of earlier, cut-off stores: with the queue empty, a listed copy
    // still under its own name was never taken over by a result (the
    // database renames what it takes).
    QFile list(copiesList());
    if (!list.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QString name = QString::fromUtf8(line);
        if (!name.isEmpty() && !name.contains(QLatin1String("..")) && !named.contains(name))
            QFile::remove(imageDir() + name);
    }
    list.remove();
}

bool XrfHost::store(QList<Stored> &results, const QString &imagesFrom, bool progress,
                    QString *error)
{
    ProgressBar bar(progress);
    m_committed = 0;
    m_refusal = XrfErrorInfo::NoError;
    m_notQueued.clear();
    m_setAside.clear();
    XrfResultQueue *queue = XrfResultQueue::instance();
    // A result is found again by its date-time and name; one made here (an
    // average) has no date-time yet and is stored as of now, each of a
    // batch a millisecond apart.
    QDateTime now = QDateTime::currentDateTimeUtc();
    for (Stored &s : results) {
        if (!s.result.analysis().testDateTime().isValid()) {
            s.result.analysis().setTestDateTime(now);
            now = now.addMSecs(1);
        }
    }
    bool finished = true;
    for (Stored &s : results) {
        if (!waitForQueue(queueFillLimit, &bar, results.size(), error)) {
            finished = false;
            break;
        }
        // A store that was cut off left its results stored or queued; they
        // are neither queued nor copied a second time.
        if (isStoredOrQueued(s.result))
            continue;
        s.problem = copyImages(s.result, imagesFrom, &s.problemExit);
        if (!s.problem.isEmpty())
            continue;
        queue->addResult(s.result);
        bar.show(m_committed, results.size());
    }
    if (finished)
        finished = waitForQueue(0, &bar, results.size(), error);
    bar.finish();
    if (finished)
        removeOrphanCopies(results);

    QHash<QString, QString> notQueued;
    for (const QString &entry : qAsConst(m_notQueued)) {
        const QStringList parts = entry.split(QLatin1Char('\t'));
        notQueued.insert(resultKey(parts.value(0), parts.value(1)), parts.value(2));
    }
    XrfResultManager *rm = XrfResultManager::instance();
    QStringList problems;
    if (!finished)
        problems << *error;
    for (Stored &s : results) {
        const XrfAnalysisResult &a = s.result.analysis();
        s.testId = rm->storedTestId(a.dateTimeString(), a.tidName());
        if (s.testId > 0)
            continue;
        if (!s.problem.isEmpty()) {
            problems << QStringLiteral("%1: not queued: %2").arg(s.source, s.problem);
            continue;
        }
        const auto refused = notQueued.constFind(resultKey(a.dateTimeString(), a.tidName()));
        if (refused != notQueued.constEnd()) {
            const auto code = XrfErrorInfo::XrfError(refused.value().toInt());
            problems << QStringLiteral("%1: not queued (%2)")
                                .arg(s.source, coded(code, XrfErrorInfo(code).errorString()));
        } else if (finished) {
            problems << QStringLiteral("%1 was queued but is not in the database").arg(s.source);
        }
    }
    if (!m_setAside.isEmpty())
        problems << QStringLiteral("%1 queue files were set aside in %2/failed")
                            .arg(m_setAside.size())
                            .arg(queueDir());
    *error = problems.join(QLatin1Char('\n'));
    return problems.isEmpty();
}
