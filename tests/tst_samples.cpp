// Every bundled sample result, stored through the facade and read back with
// syncGetFullResult, equals the file in every field a table keeps. What the
// tables do not keep as given is applied to the expected result first, one
// named rule each (TestSupport::normaliseStored), so a difference anywhere
// else fails. A result read back and stored again reads back the same.

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include "libraryfixture.h"
#include "resultmanager.h"
#include "samplenormaliser.h"
#include "testsupport.h"
#include "xrfsettingsmanager.h"

class TestSamples : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { m_lib.end(); }
    void everySampleReadsBackAsStored();
    void storingWhatWasReadBackChangesNothing();

private:
    bool start();
    QStringList files() const
    {
        return QDir(TestSupport::samplePath(QString())).entryList({ "*.json" }, QDir::Files);
    }

    TestSupport::LibraryFixture m_lib;
};

bool TestSamples::start()
{
    if (!m_lib.begin("XL5-70312", "Ag"))
        return false;
    XrfSettingsManager::instance()->setCurrentUser(QStringLiteral("inspector"));
    XrfSettingsManager::instance()->setUniversalSetting(
            QStringLiteral("hardware.fpga"),
            QJsonObject { { "slope", 0.5 }, { "offset", 0.25 } }); // overridden by names rows
    if (!m_lib.startFacade())
        return false;
    m_lib.openCard();
    return true;
}

void TestSamples::everySampleReadsBackAsStored()
{
    QVERIFY(start());
    QVERIFY(files().size() >= 6);
    for (const QString &file : files()) {
        QFile f(TestSupport::samplePath(file));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject object = QJsonDocument::fromJson(f.readAll()).object();
        QString why;
        QVERIFY2(XrfKorviResult::isValidResultJson(object, &why), qPrintable(file + ": " + why));
        const XrfKorviResult original = TestSupport::sample(file.chopped(5));
        QVERIFY(original.toJsonObject() == object);
        // The instrument leaves its pictures in the image store under the
        // test's day.
        QVERIFY(TestSupport::placeImages(original, m_lib.path("card")));
        const int testId = m_lib.store(original);
        QVERIFY2(testId > 0, qPrintable(file));
        QCOMPARE(m_lib.committedAt, original.analysis().testDateTime());

        const XrfKorviResult back = m_lib.readBack(testId);
        const QJsonObject got = back.toJsonObject();
        const QJsonObject want
                = TestSupport::normaliseStored(original, testId, m_lib.databaseFile(), "inspector")
                          .toJsonObject();
        auto text = [](const QJsonValue &v) {
            return QJsonDocument(QJsonArray { v }).toJson(QJsonDocument::Compact).left(600);
        };
        for (const QString &key : want.keys())
            QVERIFY2(got.value(key) == want.value(key),
                     qPrintable(file + ' ' + key + "\n  stored: " + text(got.value(key))
                                + "\n  wanted: " + text(want.value(key))));
        QVERIFY2(got == want, qPrintable(file));
        // The images were moved into the store under their new names.
        for (const XrfImageInfo &image : back.images())
            QVERIFY(QFileInfo::exists(m_lib.path("card/images/" + image.name())));
    }
    QCOMPARE(TestSupport::querySqlite(m_lib.databaseFile(), "SELECT count(*) FROM analysisresult"),
             QVariantList { files().size() });
}

// Needs no knowledge of what the tables keep: a result as read back (A),
// stored into a fresh database and read back (B), is A.
void TestSamples::storingWhatWasReadBackChangesNothing()
{
    QList<XrfKorviResult> first;
    for (int round = 0; round < 2; ++round) {
        QVERIFY(start());
        for (int i = 0; i < files().size(); ++i) {
            XrfKorviResult given
                    = round == 0 ? TestSupport::sample(files().at(i).chopped(5)) : first.at(i);
            given.images().clear();
            const int testId = m_lib.store(given);
            QVERIFY2(testId > 0, qPrintable(files().at(i)));
            const XrfKorviResult back = m_lib.readBack(testId);
            if (round == 0)
                first << back;
            else
                QVERIFY2(back == first.at(i), qPrintable(files().at(i)));
        }
        m_lib.end();
    }
}

QTEST_GUILESS_MAIN(TestSamples)
#include "tst_samples.moc"
