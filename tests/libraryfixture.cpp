#include "libraryfixture.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include "databasemanager.h"
#include "resultmanager.h"
#include "resultmanagerimpl.h"
#include "testsupport.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfresultqueue.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

namespace TestSupport {

QString samplePath(const QString &relative)
{
    return QStringLiteral(XRF_SOURCE_DIR "/samples/") + relative;
}

QJsonObject sampleJson(const QString &name, int testId)
{
    QJsonObject result = QJsonDocument::fromJson(readFile(samplePath(name + ".json"))).object();
    if (testId >= 0) {
        QJsonObject analysis = result.value("analysis").toObject();
        analysis.insert("testId", testId);
        result.insert("analysis", analysis);
    }
    return result;
}

XrfKorviResult sample(const QString &name)
{
    XrfKorviResult r;
    r.fromJsonObject(sampleJson(name));
    return r;
}

XrfKorviResult quickResult(const QString &tidName, const QDateTime &when)
{
    static const XrfKorviResult base = sample(QStringLiteral("07-copper-awkward-texts"));
    XrfKorviResult r = base;
    r.analysis().setTidName(tidName);
    r.analysis().setTestDateTime(when);
    r.spectra().clear();
    r.images().clear();
    return r;
}

bool placeImages(const XrfKorviResult &result, const QString &cardDir)
{
    const QString day = result.analysis().testDateTime().toUTC().toString("yyyy-MM-dd");
    const QString folder = cardDir + QStringLiteral("/images/") + day + '/';
    bool ok = QDir().mkpath(folder);
    for (const XrfImageInfo &image : result.images())
        ok = ok && QFile::copy(samplePath("images/" + image.name()), folder + image.name());
    return ok;
}

bool LibraryFixture::begin(const QString &serial, const QString &tubeAnode)
{
    end();
    m_dir.reset(new QTemporaryDir);
    m_oldCwd = QDir::currentPath();
    qunsetenv("XRF_FAULT_POINT");
    configureInstrument(serial, tubeAnode);
    setActions(true, false, false);
    return m_dir->isValid() && QDir::setCurrent(m_dir->path());
}

XrfResultManager *LibraryFixture::startFacade()
{
    rm = XrfResultManager::instance();
    if (rm->init() != XrfErrorInfo::NoError)
        rm = nullptr;
    return rm;
}

void LibraryFixture::openCard(const QString &card)
{
    XrfResultManager::instance()->setPaths(path("profile/"), path(card));
}

XrfResultQueue *LibraryFixture::startQueue(int checkMsecs, bool exportConnection)
{
    queue = XrfResultQueue::instance();
    queue->setCheckInterval(checkMsecs);
    XrfResultManager *facade = XrfResultManager::instance();
    QObject::connect(facade, &XrfResultManager::resultCommitted, queue,
                     &XrfResultQueue::onResultCommittedToDb);
    if (exportConnection)
        QObject::connect(facade, &XrfResultManager::exportComplete, queue,
                         &XrfResultQueue::onExportComplete);
    return queue;
}

void LibraryFixture::stopLibrary()
{
    XrfResultQueue::destroyInstance();
    queue = nullptr;
    if (XrfResultManager::m_pInstance)
        XrfResultManager::instance()->Deinit();
    rm = nullptr;
}

void LibraryFixture::end()
{
    stopLibrary();
    if (!m_dir)
        return;
    qunsetenv("XRF_FAULT_POINT");
    XrfUtils::clearAvailableSpaceOverride();
    XrfPlatform::instance()->reset();
    XrfMethodManager::instance()->clear();
    XrfSettingsManager::instance()->clear();
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

int LibraryFixture::store(const XrfKorviResult &result, int timeoutMsecs)
{
    // As on the instrument, the camera's pictures are in the store before
    // the result is handed over; a sample names its pictures in samples/.
    if (databaseOpen()) {
        const QString folder = QFileInfo(databaseFile()).absolutePath()
                + QStringLiteral("/../images/")
                + result.analysis().testDateTime().toUTC().toString("yyyy-MM-dd") + '/';
        for (const XrfImageInfo &image : result.images()) {
            const QString picture = samplePath("images/" + image.name());
            if (QFileInfo(picture).isFile() && !QFileInfo::exists(folder + image.name())
                && (!QDir().mkpath(folder) || !QFile::copy(picture, folder + image.name())))
                return -1;
        }
    }
    XrfResultManager *facade = XrfResultManager::instance();
    QSignalSpy committed(facade, &XrfResultManager::resultCommitted);
    QSignalSpy inserted(facade, &XrfResultManager::resultInserted);
    if (facade->addTestResult(result) != XrfErrorInfo::NoError)
        return -1;
    const bool settled = QTest::qWaitFor(
            [&] {
                return !committed.isEmpty()
                        || (!inserted.isEmpty() && inserted.at(0).at(0).toInt() != 0);
            },
            timeoutMsecs);
    if (!settled)
        return -1;
    QTest::qWait(50); // a commit after a failed insertion would show here
    if (committed.isEmpty())
        return -1;
    committedAt = committed.at(0).at(0).toDateTime();
    return committed.at(0).at(2).toInt();
}

XrfKorviResult LibraryFixture::readBack(int testId)
{
    XrfKorviResult back;
    if (XrfResultManager::instance()->syncGetFullResult(testId, &back) != XrfErrorInfo::NoError)
        return XrfKorviResult();
    return back;
}

QString LibraryFixture::path(const QString &relative) const
{
    return m_dir ? m_dir->filePath(relative) : QString();
}

void LibraryFixture::setActions(bool db, bool cloud, bool autoExport, const QString &location)
{
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->setGlobalSetting(QStringLiteral("resultActions"),
                               QJsonObject { { "insertToDb", db }, { "uploadToCloud", cloud } });
    settings->setGlobalSetting(QStringLiteral("cloudSettings"),
                               QJsonObject { { "enabled", cloud } });
    // A small JSON export, so that an automatic export can run for real.
    XrfMethodManager::instance()->setExportTemplate(
            QStringLiteral("Queue"),
            QJsonObject { { "01", "analysis.testId" },
                          { "02", "analysis.tidName" },
                          { "settings", QJsonObject { { "showNominalChemistry", false } } } });
    XrfMethodManager::instance()->setExportSettings(
            QJsonObject { { "export",
                            QJsonObject { { "autoExport", autoExport },
                                          { "selectedLocation", location },
                                          { "fileType", "json" },
                                          { "selectedTemplate", "Queue" } } } });
}

DatabaseManager *LibraryFixture::database()
{
    return XrfResultManager::m_pImpl ? XrfResultManager::m_pImpl->databaseManager() : nullptr;
}

QString LibraryFixture::databaseFile()
{
    return database() ? database()->databaseFilePath() : QString();
}

bool LibraryFixture::databaseOpen()
{
    return database() && database()->isSdCardInserted();
}

} // namespace TestSupport
