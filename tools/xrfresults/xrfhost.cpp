#include "xrfhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtGlobal>

#include "progressbar.h"
#include "resultmanager.h"
#include "xrfplatform.h"
#include "xrfresultqueue.h"
#include "xrfservices.h"

namespace {
// Passes of the queue are shortened for a person waiting at the terminal;
// the queue's own limit of three results in flight stays.
const int hostPassInterval = 20;
// Below the queue's capacity, so that a large store never sees a refusal.
const int queueFillLimit = 150;
} // namespace

XrfHost::XrfHost(const QString &dataDir, const QString &configDir)
    : m_dataDir(QDir(dataDir).absolutePath()), m_configDir(configDir)
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
    if (!QDir().mkpath(profile) || !QFileInfo(profile).isWritable()) {
        *error = QStringLiteral("cannot use the data folder ") + m_dataDir;
        return false;
    }
    XrfPlatform::instance()->setInstrumentDataPath(m_dataDir);
    // The queue lives in the data folder: a store that was cut off resumes
    // on the next run with the same data folder.
    QDir::setCurrent(m_dataDir);

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
        return false;
    }
    XrfResultQueue *queue = XrfResultQueue::instance();
    queue->setCheckInterval(hostPassInterval);
    connect(rm, &XrfResultManager::resultCommitted, queue, &XrfResultQueue::onResultCommittedToDb);
    connect(rm, &XrfResultManager::exportComplete, queue, &XrfResultQueue::onExportComplete);
    connect(rm, &XrfResultManager::resultCommitted, this, [this] { ++m_committed; });
    return true;
}

void XrfHost::stop()
{
    if (!m_started)
        return;
    m_started = false;
    XrfResultQueue::destroyInstance();
    XrfResultManager::instance()->Deinit();
}

QString XrfHost::queueDir() const
{
    return m_dataDir + QStringLiteral("/resultQueue");
}

int XrfHost::queuedFileCount() const
{
    return QDir(queueDir()).entryList({ QStringLiteral("*_*.json") }, QDir::Files).size();
}

QString XrfHost::databaseFile() const
{
    const QDir db(m_dataDir + QStringLiteral("/db"));
    const QStringList files = db.entryList({ QStringLiteral("*.sqlite") }, QDir::Files);
    return files.isEmpty() ? QString() : db.absoluteFilePath(files.first());
}

void XrfHost::waitForQueue(int maxFiles, ProgressBar *bar, int done, int total)
{
    while (queuedFileCount() > maxFiles) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
        if (bar)
            bar->show(qMin(total, done + m_committed), total);
    }
}

bool XrfHost::isStoredOrQueued(const XrfKorviResult &result) const
{
    const XrfAnalysisResult &a = result.analysis();
    if (XrfResultManager::instance()->storedTestId(a.dateTimeString(), a.tidName()) > 0)
        return true;
    const QString prefix
            = a.testDateTime().toUTC().toString(XrfResultQueue::resultFileDateTimeformat)
            + QLatin1Char('_') + XrfResultQueue::fileNameSafe(a.tidName()) + QLatin1Char('_');
    const QStringList queued
            = QDir(queueDir()).entryList({ QStringLiteral("*_*.json") }, QDir::Files);
    for (const QString &name : queued)
        if (name.startsWith(prefix))
            return true;
    return false;
}

bool XrfHost::store(QList<Stored> &results, const QString &imagesFrom, bool progress,
                    QString *error)
{
    ProgressBar bar(progress);
    m_committed = 0;
    XrfResultQueue *queue = XrfResultQueue::instance();
    for (Stored &s : results) {
        // The instrument leaves its pictures in the image store under the
        // test's day; the database moves them to their final names.
        const QString day
                = s.result.analysis().testDateTime().toString(QStringLiteral("yyyy-MM-dd"));
        for (const XrfImageInfo &image : s.result.images()) {
            const QString from = imagesFrom + QLatin1Char('/') + image.name();
            const QString to = imageDir() + day + QLatin1Char('/') + image.name();
            if (QFileInfo::exists(from) && !QFileInfo::exists(to)) {
                QDir().mkpath(QFileInfo(to).absolutePath());
                QFile::copy(from, to);
            }
        }
        waitForQueue(queueFillLimit, &bar, 0, results.size());
        // A store that was cut off left its results stored or queued; they
        // are not queued a second time.
        if (!isStoredOrQueued(s.result))
            queue->addResult(s.result);
        bar.show(m_committed, results.size());
    }
    waitForQueue(0, &bar, 0, results.size());
    bar.finish();

    XrfResultManager *rm = XrfResultManager::instance();
    bool allStored = true;
    for (Stored &s : results) {
        s.testId = rm->storedTestId(s.result.analysis().dateTimeString(),
                                    s.result.analysis().tidName());
        if (s.testId < 0) {
            allStored = false;
            *error = QStringLiteral("%1 was queued but is not in the database").arg(s.source);
        }
    }
    return allStored;
}
