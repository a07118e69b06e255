// Settings, method and hardware services: the bundled configuration, broken
// and reloaded configuration, and reads from a worker thread while values
// change.

#include <xrfhardwaremanager.h>
#include <xrfmethodmanager.h>
#include <xrfservices.h>
#include <xrfsettingsmanager.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "testsupport.h"

namespace {

const QString kBundledConfig = QStringLiteral(XRF_SOURCE_DIR "/config");

void copyBundledConfig(const QString &to)
{
    const QStringList files = QDir(kBundledConfig).entryList({ QStringLiteral("*.json") });
    QCOMPARE(files.size(), 5);
    for (const QString &name : files)
        QVERIFY(QFile::copy(kBundledConfig + QLatin1Char('/') + name,
                            to + QLatin1Char('/') + name));
}

QString serial()
{
    return XrfHardwareManager::instance()->hardwareConfiguration().insSerialNumber();
}

} // namespace

class TestServices : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        XrfSettingsManager::instance()->clear();
        XrfMethodManager::instance()->clear();
        XrfHardwareManager::instance()->clear();
    }
    void cleanup() { init(); }

    void bundledConfigurationIsConsistent();
    void brokenFileKeepsPreviousConfiguration_data();
    void brokenFileKeepsPreviousConfiguration();
    void reloadReplacesEverything();
    void readsFromWorkerThreadWhileValuesChange();
};

// The bundled files must agree with each other: the database is named after
// the serial, and the export names a template and a layout.
void TestServices::bundledConfigurationIsConsistent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    copyBundledConfig(dir.path());
    QString error = QStringLiteral("stale");
    QVERIFY2(XrfServices::loadConfiguration(dir.path(), &error), qPrintable(error));
    QVERIFY(error.isEmpty());

    QJsonObject group;
    QCOMPARE(XrfSettingsManager::instance()->getUniversalSetting(QStringLiteral("hardware.config"),
                                                                 &group),
             XrfErrorInfo::NoError);
    QVERIFY(!serial().isEmpty());
    QCOMPARE(group.value("insSerialNumber").toString(), serial());

    XrfMethodManager *methods = XrfMethodManager::instance();
    QCOMPARE(methods->getExportSettings(&group), XrfErrorInfo::NoError);
    const QJsonObject exp = group.value("export").toObject();
    const QString name = exp.value("selectedTemplate").toString();
    QJsonObject templates;
    QCOMPARE(methods->getExportTemplate(name, &templates), XrfErrorInfo::NoError);
    QVERIFY(!templates.value(name).toObject().isEmpty());
    const QString layout = exp.value("selectedPdfLayout").toString();
    QJsonObject pdf { { "templateName", layout } };
    QCOMPARE(methods->getPDFTemplate(&pdf), XrfErrorInfo::NoError);
    QVERIFY(!pdf.value(layout).toObject().isEmpty());
}

void TestServices::brokenFileKeepsPreviousConfiguration_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("universal truncated")
            << "universal.json" << QByteArray("{\"hardware.config\":{");
    QTest::newRow("global empty") << "global.json" << QByteArray();
    QTest::newRow("user array") << "user.json" << QByteArray("[\"operator\"]");
    QTest::newRow("method garbage") << "method.json" << QByteArray("currentMethod=Alloy");
    QTest::newRow("hardware number") << "hardware.json" << QByteArray("{\"insSerialNumber\":7}");
}

void TestServices::brokenFileKeepsPreviousConfiguration()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(XrfServices::loadConfiguration(kBundledConfig));
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("hardware.json")),
                                   "{\"insSerialNumber\":\"NEW-1\"}"));
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("user.json")),
                                   "{\"currentUser\":\"newcomer\"}"));
    QVERIFY(TestSupport::writeFile(dir.filePath(file), content));

    QString error;
    QVERIFY(!XrfServices::loadConfiguration(dir.path(), &error));
    QVERIFY2(error.contains(dir.filePath(file)), qPrintable(error));
    // Nothing of the broken folder was taken, not even its good files.
    QCOMPARE(serial(), QStringLiteral("XL5-70312"));
    QString user;
    QCOMPARE(XrfSettingsManager::instance()->getCurrentUser(&user), XrfErrorInfo::NoError);
    QCOMPARE(user, QStringLiteral("operator"));

    QVERIFY(!XrfServices::loadConfiguration(dir.filePath(QStringLiteral("absent")), &error));
    QVERIFY2(error.contains(QStringLiteral("absent")), qPrintable(error));
}

void TestServices::reloadReplacesEverything()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->setGlobalSetting(QStringLiteral("leftover"), { { "x", 1 } });
    XrfMethodManager::instance()->setExportTemplate(QStringLiteral("Old"),
                                                    { { "01", "analysis" } });
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("hardware.json")),
                                   "{\"insSerialNumber\":\"PC-1\"}"));
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("global.json")),
                                   "{\"print\":{\"autoPrint\":true},\"junk\":3}"));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("junk")));
    QVERIFY(XrfServices::loadConfiguration(dir.path()));
    QJsonObject obj;
    QVERIFY(settings->getGlobalSetting(QStringLiteral("leftover"), &obj) != 0);
    QVERIFY(settings->getGlobalSetting(QStringLiteral("junk"), &obj) != 0);
    QVERIFY(XrfMethodManager::instance()->getExportTemplate(QStringLiteral("Old"), &obj) != 0);
    QCOMPARE(settings->getGlobalSetting(QStringLiteral("print"), &obj), XrfErrorInfo::NoError);
    QCOMPARE(obj.value("autoPrint"), QJsonValue(true));
    // Universal and global groups are separate.
    QVERIFY(settings->getUniversalSetting(QStringLiteral("print"), &obj) != 0);
    QCOMPARE(serial(), QStringLiteral("PC-1"));
}

void TestServices::readsFromWorkerThreadWhileValuesChange()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    copyBundledConfig(dir.path());
    // Serial and model move together below, also across a reload.
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("hardware.json")),
                                   "{\"insSerialNumber\":\"same\",\"model\":\"same\"}"));

    QAtomicInt stop(0), reads(0), torn(0);
    QScopedPointer<QThread> reader(QThread::create([&] {
        while (!stop.loadAcquire()) {
            QJsonObject obj;
            if (XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("pair"), &obj) == 0
                && obj.value("a") != obj.value("b"))
                torn.ref();
            const XrfHardwareConfiguration hw
                    = XrfHardwareManager::instance()->hardwareConfiguration();
            if (hw.insSerialNumber() != hw.model())
                torn.ref();
            QString user;
            XrfSettingsManager::instance()->getCurrentUser(&user);
            XrfMethodManager::instance()->getExportSettings(&obj);
            XrfMethodManager::instance()->getExportTemplate(QStringLiteral("Default"), &obj);
            reads.ref();
        }
    }));
    reader->start();

    QElapsedTimer timer;
    timer.start();
    bool reloaded = true;
    for (int round = 1; timer.elapsed() < 1500 || reads.loadAcquire() < 100; ++round) {
        const QString text = QString::number(round);
        XrfSettingsManager::instance()->setGlobalSetting(QStringLiteral("pair"),
                                                         { { "a", round }, { "b", round } });
        XrfSettingsManager::instance()->setCurrentUser(text);
        XrfMethodManager::instance()->setExportTemplate(QStringLiteral("Default"),
                                                        { { "01", text } });
        XrfHardwareConfiguration hw;
        hw.setInsSerialNumber(text);
        hw.setModel(text);
        XrfHardwareManager::instance()->setHardwareConfiguration(hw);
        if (round % 7 == 0)
            XrfSettingsManager::instance()->removeGlobalSetting(QStringLiteral("pair"));
        if (round % 50 == 0)
            reloaded = XrfServices::loadConfiguration(dir.path()) && reloaded;
        if (timer.elapsed() > 20000)
            break;
    }
    stop.storeRelease(1);
    QVERIFY(reader->wait(10000));
    QVERIFY(reloaded);
    QVERIFY(reads.loadAcquire() >= 100);
    QCOMPARE(torn.loadAcquire(), 0);
}

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
