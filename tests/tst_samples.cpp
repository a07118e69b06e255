// Every bundled sample result, stored through the facade and read back with
// syncGetFullResult, equals the file in every field a table keeps. What the
// tables do not keep as given is applied to the expected result first, one
// named rule each (TestSupport::normaliseStored), so a difference anywhere
// else fails.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "databasemanager.h"
#include "resultmanager.h"
#include "resultmanagerimpl.h"
#include "samplenormaliser.h"
#include "testsupport.h"
#include "xrfkorviresult.h"
#include "xrfsettingsmanager.h"

using TestSupport::querySqlite;

namespace {

struct Stored
{
    QString file;
    XrfKorviResult original;
    int testId = -1;
};

} // namespace

class TestSamples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everySampleReadsBackAsStored();

private:
    QString dbFile() const
    {
        return XrfResultManager::m_pImpl->databaseManager()->databaseFilePath();
    }

    QTemporaryDir m_dir;
    XrfResultManager *m_rm = nullptr;
    QList<Stored> m_stored;
};

void TestSamples::initTestCase()
{
    QVERIFY(m_dir.isValid());
    TestSupport::configureInstrument(QStringLiteral("XL5-70312"), QStringLiteral("Ag"));
    XrfSettingsManager::instance()->setCurrentUser(QStringLiteral("inspector"));
    XrfSettingsManager::instance()->setUniversalSetting(
            QStringLiteral("hardware.fpga"),
            QJsonObject { { "slope", 0.5 }, { "offset", 0.25 } }); // overridden by names rows
    m_rm = XrfResultManager::instance();
    QCOMPARE(m_rm->init(), XrfErrorInfo::NoError);
    m_rm->setPaths(m_dir.filePath("profile/"), m_dir.filePath("card"));

    const QDir samples(QStringLiteral(XRF_SOURCE_DIR "/samples"));
    const QStringList files
            = samples.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 6);
    for (const QString &name : files) {
        QFile f(samples.filePath(name));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject object = QJsonDocument::fromJson(f.readAll()).object();
        QString why;
        QVERIFY2(XrfKorviResult::isValidResultJson(object, &why), qPrintable(name + ": " + why));
        Stored s;
        s.file = name;
        s.original.fromJsonObject(object);

        // The instrument leaves its pictures in the image store under the
        // test's day.
        const QString day = s.original.analysis().testDateTime().toString("yyyy-MM-dd");
        QVERIFY(QDir().mkpath(m_dir.filePath("card/images/" + day)));
        for (const XrfImageInfo &image : s.original.images())
            QVERIFY(QFile::copy(samples.filePath("images/" + image.name()),
                                m_dir.filePath("card/images/" + day + '/' + image.name())));

        QSignalSpy committed(m_rm, &XrfResultManager::resultCommitted);
        QCOMPARE(m_rm->addTestResult(s.original), XrfErrorInfo::NoError);
        QVERIFY2(committed.wait(10000), qPrintable(name));
        s.testId = committed.at(0).at(2).toInt();
        QCOMPARE(committed.at(0).at(0).toDateTime(), s.original.analysis().testDateTime());
        m_stored.append(s);
    }
}

void TestSamples::cleanupTestCase()
{
    if (XrfResultManager::m_pInstance)
        XrfResultManager::instance()->Deinit();
}

void TestSamples::everySampleReadsBackAsStored()
{
    for (const Stored &s : qAsConst(m_stored)) {
        XrfKorviResult back;
        QCOMPARE(m_rm->syncGetFullResult(s.testId, &back), XrfErrorInfo::NoError);
        const QJsonObject got = back.toJsonObject();
        const QJsonObject want = TestSupport::normaliseStored(s.original, s.testId, dbFile(),
                                                              QStringLiteral("inspector"))
                                         .toJsonObject();
        auto text = [](const QJsonValue &v) {
            return QString::fromUtf8(QJsonDocument(QJsonArray { v }).toJson(QJsonDocument::Compact))
                    .left(600);
        };
        for (const QString &key : want.keys())
            QVERIFY2(got.value(key) == want.value(key),
                     qPrintable(s.file + ' ' + key + "\n  stored: " + text(got.value(key))
                                + "\n  wanted: " + text(want.value(key))));
        QVERIFY2(got == want, qPrintable(s.file));
        // The images were moved into the store under their new names.
        for (const XrfImageInfo &image : back.images())
            QVERIFY(QFileInfo::exists(m_dir.filePath("card/images/" + image.name())));
    }
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM analysisresult").value(0).toInt(),
             m_stored.size());
}

QTEST_GUILESS_MAIN(TestSamples)
#include "tst_samples.moc"
