// Settings, method and hardware services: what the bundled configuration
// gives the result manager, how absent and broken configuration shows, and
// reads from a worker thread while values change.

#include <xrfhardwaremanager.h>
#include <xrfmethodmanager.h>
#include <xrfservices.h>
#include <xrfsettingsmanager.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

const QString kBundledConfig = QStringLiteral(XRF_SOURCE_DIR "/config");

void writeRaw(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

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

    void bundledConfigurationServesCallers();
    void absentConfigurationReportsNonZero();
    void brokenFileKeepsPreviousConfiguration_data();
    void brokenFileKeepsPreviousConfiguration();
    void reloadReplacesEverything();
    void templatesJoinCallersObject();
    void readsFromWorkerThreadWhileValuesChange();
};

void TestServices::bundledConfigurationServesCallers()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    copyBundledConfig(dir.path());
    QString error = QStringLiteral("stale");
    QVERIFY2(XrfServices::loadConfiguration(dir.path(), &error), qPrintable(error));
    QVERIFY(error.isEmpty());

    // The database is named after the serial; both sources must agree.
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    QJsonObject group;
    QCOMPARE(serial(), QStringLiteral("XL5-70312"));
    QCOMPARE(settings->getUniversalSetting(QStringLiteral("hardware.config"), &group),
             XrfErrorInfo::NoError);
    QCOMPARE(group.value("insSerialNumber").toString(), QStringLiteral("XL5-70312"));
    QCOMPARE(settings->getUniversalSetting(QStringLiteral("hardware.fpga"), group),
             XrfErrorInfo::NoError);
    QVERIFY(group.value("slope").isDouble() && group.value("offset").isDouble());
    QCOMPARE(settings->getGlobalSetting(QStringLiteral("resultActions"), &group),
             XrfErrorInfo::NoError);
    QCOMPARE(group, (QJsonObject { { "insertToDb", true }, { "uploadToCloud", false } }));
    QString user;
    QCOMPARE(settings->getCurrentUser(user), XrfErrorInfo::NoError);
    QCOMPARE(user, QStringLiteral("operator"));

    // The export settings name a template and a layout that exist, with the
    // member types the export reads.
    XrfMethodManager *methods = XrfMethodManager::instance();
    QJsonObject exportSettings;
    QCOMPARE(methods->getExportSettings(&exportSettings), XrfErrorInfo::NoError);
    const QJsonObject exp = exportSettings.value("export").toObject();
    QVERIFY(exp.value("fileType").toString().contains(QStringLiteral("json"), Qt::CaseInsensitive));
    QVERIFY(exp.value("selectedLocation").isString());
    QCOMPARE(exp.value("autoExport"), QJsonValue(false));

    const QString name = exp.value("selectedTemplate").toString();
    QJsonObject templates;
    QCOMPARE(methods->getExportTemplate(name, &templates), XrfErrorInfo::NoError);
    QJsonObject fields = templates.value(name).toObject();
    fields.remove("settings");
    fields.remove("customHeader");
    QVERIFY(!fields.isEmpty());
    for (const QJsonValue &field : fields)
        QVERIFY2(!field.toString().isEmpty(), "template members are field names");
    const QString layout = exp.value("selectedPdfLayout").toString();
    QJsonObject pdf { { "templateName", layout } };
    QCOMPARE(methods->getPDFTemplate(&pdf), XrfErrorInfo::NoError);
    QVERIFY(!pdf.value(layout).toObject().isEmpty());

    const QJsonArray pseudo = methods->getMethodOverrideObject()
                                      .value("pseudoElementOption")
                                      .toObject()
                                      .value("elements")
                                      .toArray();
    QVERIFY(pseudo.first().toObject().contains("formula"));
}

void TestServices::absentConfigurationReportsNonZero()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(XrfServices::loadConfiguration(dir.path())); // an empty folder is valid

    const QJsonObject sentinel { { "untouched", true } };
    QJsonObject obj = sentinel;
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    XrfMethodManager *methods = XrfMethodManager::instance();
    QVERIFY(settings->getUniversalSetting(QStringLiteral("hardware.config"), &obj) != 0);
    QVERIFY(settings->getGlobalSetting(QStringLiteral("print"), obj) != 0);
    QVERIFY(methods->getExportSettings(obj) != 0);
    QVERIFY(methods->getPrintSettings(&obj) != 0);
    QCOMPARE(methods->getExportTemplate(QStringLiteral("Default"), &obj),
             XrfErrorInfo::TemplateNotFound);
    QCOMPARE(obj, sentinel);

    QString text = QStringLiteral("stale");
    QVERIFY(settings->getCurrentUser(&text) != 0);
    QVERIFY(text.isEmpty());
    QVERIFY(methods->getCurrentMethod(&text) != 0);
    bool note = true;
    QVERIFY(settings->getEnableCalendarNote(note) != 0);
    QVERIFY(!note);
    QVERIFY(methods->getMethodOverrideObject().isEmpty());
    QVERIFY(serial().isEmpty());
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
    writeRaw(dir.filePath(QStringLiteral("hardware.json")), "{\"insSerialNumber\":\"NEW-1\"}");
    writeRaw(dir.filePath(QStringLiteral("user.json")), "{\"currentUser\":\"newcomer\"}");
    writeRaw(dir.filePath(file), content);

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
    writeRaw(dir.filePath(QStringLiteral("hardware.json")), "{\"insSerialNumber\":\"PC-1\"}");
    writeRaw(dir.filePath(QStringLiteral("global.json")),
             "{\"print\":{\"autoPrint\":true},\"junk\":3}");

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

void TestServices::templatesJoinCallersObject()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    XrfMethodManager *methods = XrfMethodManager::instance();
    methods->setExportTemplate(QStringLiteral("Short"), { { "01", "analysis.tidName" } });
    QJsonObject templates { { "other", 1 } };
    QCOMPARE(methods->getExportTemplate(QStringLiteral("Short"), &templates),
             XrfErrorInfo::NoError);
    QCOMPARE(templates,
             (QJsonObject { { "other", 1 },
                            { "Short", QJsonObject { { "01", "analysis.tidName" } } } }));
    QJsonObject obj;
    QCOMPARE(methods->getExportTemplate(QStringLiteral("short"), &obj),
             XrfErrorInfo::TemplateNotFound);

    methods->setPDFTemplate(QStringLiteral("Standard"), { { "title", "Report" } });
    QCOMPARE(methods->getPDFTemplate(&obj), XrfErrorInfo::InvalidArgument);
    QJsonObject pdf { { "templateName", "Standard" } };
    QCOMPARE(methods->getPDFTemplate(&pdf), XrfErrorInfo::NoError);
    QCOMPARE(pdf,
             (QJsonObject { { "templateName", "Standard" },
                            { "Standard", QJsonObject { { "title", "Report" } } } }));
    methods->removePDFTemplate(QStringLiteral("Standard"));
    QCOMPARE(methods->getPDFTemplate(&pdf), XrfErrorInfo::TemplateNotFound);
}

void TestServices::readsFromWorkerThreadWhileValuesChange()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    copyBundledConfig(dir.path());
    // Serial and model move together below, also across a reload.
    writeRaw(dir.filePath(QStringLiteral("hardware.json")),
             "{\"insSerialNumber\":\"same\",\"model\":\"same\"}");

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
