// Exports through the facade and the real worker thread: intermediate files
// from the database, the result filter, and the JSON, CSV, MSA and PDF files
// checked with real tools (Python's csv module, pdftotext, unzip).

#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include "databasemanager.h"
#include "libraryfixture.h"
#include "reportapplication.h"
#include "resultmanager.h"
#include "resultsfilter.h"
#include "testsupport.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfresultqueue.h"
#include "xrfsettingsmanager.h"

namespace {

struct Answer
{
    int command = 0;
    QJsonObject object;
    int code = 1;
};

QJsonObject exportSettings(const QString &fileType, const QString &location = "Default Folder")
{
    return QJsonObject {
        { "export",
          QJsonObject { { "selectedLocation", location },
                        { "fileName", QJsonObject { { "custom", false } } },
                        { "fileType", fileType },
                        { "selectedTemplate", "Lab" },
                        { "selectedPdfLayout", "Standard" },
                        { "templateOverride",
                          QJsonObject { { "inlineImage", true }, { "macroImage", false } } },
                        { "autoExport", false } } }
    };
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup()
    {
        m_lib.end();
        if (!m_mounted.isEmpty())
            QProcess::execute("umount", { m_mounted });
        m_mounted.clear();
    }

    void filterKeepsWhatTheTemplateNames();
    void everyFormatFromTwoSamples();
    void oneSecondTwoExportsAndSafeNames();
    void singleZipReplacesItsOwnFolderOnly();
    void unmountedMediumReceivesNothing();
    void failedZipKeepsTheFolder();
    void mediumThatFillsUpFailsTheExport();
    void userAndAutomaticExportsKeepTheirOwnSettings();
    void automaticExportKeepsTheQueueFileUntilItWorks();
    void abortedExportLeavesNothing();

private:
    Answer exportIds(int id, const QStringList &ids, const QJsonObject &settings,
                     bool singleZip = false)
    {
        QSignalSpy done(m_lib.rm, &XrfResultManager::operationDone);
        XrfJsonMessage msg(id, 119,
                           { { "tidList", QJsonArray::fromStringList(ids) },
                             { "actionToDo", 1 },
                             { "exportSetting", settings },
                             { "outputSingleZip", singleZip } });
        Answer a;
        if (m_lib.rm->exportResultsWithOption(&msg) != XrfErrorInfo::NoError)
            return a;
        // Its own answer: an automatic export may answer meanwhile.
        int index = -1;
        const auto answered = [&] {
            for (int i = 0; i < done.size(); ++i)
                if (done.at(i).at(1).toInt() == id)
                    index = i;
            return index >= 0;
        };
        if (!QTest::qWaitFor(answered, 60000))
            return a;
        a.command = done.at(index).at(0).toInt();
        a.object = done.at(index).at(2).value<QJsonDocument>().object();
        a.code = done.at(index).at(3).toInt();
        return a;
    }
    QStringList exported() const
    {
        return QDir(m_exports).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                                         QDir::Name);
    }

    TestSupport::LibraryFixture m_lib;
    QString m_exports;
    QString m_mounted;
};

void TestExport::init()
{
    qunsetenv("XRF_FAULT_POINT");
    QVERIFY(m_lib.begin("SN-EXP-7"));
    XrfMethodManager *method = XrfMethodManager::instance();
    method->setCurrentMethod("Alloy-General");
    method->setExportTemplate(
            "Lab",
            QJsonObject { { "01", "analysis.testId" },
                          { "02", "analysis.tidName" },
                          { "03", "chemistry.concentration" },
                          { "04", "instrumentSerialNum" },
                          { "settings", QJsonObject { { "showNominalChemistry", false } } } });
    method->setPDFTemplate("Standard", QJsonObject { { "title", "Report" } });
    QVERIFY(m_lib.startFacade());
    m_lib.openCard();
    m_exports = m_lib.path("exports");
    QDir().mkpath(m_exports);
    XrfPlatform::instance()->setExportsFolderPath(XrfPlatform::DefaultFolder, m_exports);
    XrfPlatform::instance()->setInstrumentDataPath(m_lib.path("card/"));
    for (const char *name : { "01-stainless-316", "03-coating-au-ni-cu" }) {
        const XrfKorviResult r = TestSupport::sample(name);
        QVERIFY(TestSupport::placeImages(r, m_lib.path("card")));
        QVERIFY(m_lib.store(r) > 0);
    }
}

void TestExport::filterKeepsWhatTheTemplateNames()
{
    ResultsFilter filter;
    XrfMethodManager::instance()->setExportTemplate(
            "T", QJsonObject { { "b", "analysis.testDate" }, { "a", "analysis.collimated" } });
    QJsonObject settings = exportSettings("csv");
    QJsonObject exportObject = settings.value("export").toObject();
    exportObject.insert("selectedTemplate", "T");
    exportObject.insert("templateOverride", QJsonObject());
    settings.insert("export", exportObject);
    QCOMPARE(filter.readExportTemplate(QString(), settings), XrfErrorInfo::NoError);
    // No "settings": the grade-match fields come with it.
    QCOMPARE(filter.fields(),
             QStringList({ "analysis.collimated", "analysis.testDate", "gradeMatch.gradeName",
                           "gradeMatch.matchNumber", "gradeMatch.passFailCutOff",
                           "gradeMatch.passFail", "gradeMatch.nominalFactor",
                           "gradeMatch.gradeSpec", "gradeMatch.matchMessage",
                           "analysis.methodDispName", "analysis.methodFamilyName" }));
    XrfKorviResult r = TestSupport::sample("01-stainless-316");
    const QJsonObject out = QJsonDocument::fromJson(filter.filterResult(&r).toUtf8()).object();
    const QJsonObject analysis = out.value("analysis").toObject();
    QVERIFY(analysis.contains("testDateTime") && analysis.contains("collimatedStatusInt"));
    QVERIFY(!analysis.contains("collimated") && !out.contains("chemistry"));
    QCOMPARE(out.value("gradeMatch"), r.toJsonObject().value("gradeMatch"));

    exportObject.insert("selectedTemplate", "../etc/passwd");
    settings.insert("export", exportObject);
    QCOMPARE(filter.readExportTemplate(QString(), settings), XrfErrorInfo::TemplateLoadFailed);
    QCOMPARE(ResultsFilter::fileTypes("PDF and Csv"), QStringList({ "csv", "pdf" }));
}

void TestExport::everyFormatFromTwoSamples()
{
    QSignalSpy complete(m_lib.rm, &XrfResultManager::exportComplete);
    const Answer a = exportIds(3, { "1", "2" }, exportSettings("json,csv,pdf,msa"));
    QCOMPARE(a.code, 0);
    QCOMPARE(a.command, 119);
    QCOMPARE(complete.count(), 1);
    QCOMPARE(complete.at(0).at(0).toInt(), 2);
    const QString output = a.object.value("outputFile").toString();
    QVERIFY2(QFileInfo(output).isFile(), qPrintable(output));
    QVERIFY(QFileInfo(output).fileName().startsWith("chemistry-SN-EXP-7-"));

    // JSON: the filtered results and the inline pictures beside them.
    QFile json(output);
    QVERIFY(json.open(QIODevice::ReadOnly));
    const QJsonArray results = QJsonDocument::fromJson(json.readAll()).array();
    QCOMPARE(results.size(), 2);
    QCOMPARE(results.at(1).toObject().value("analysis").toObject().value("testId").toInt(), 2);
    QCOMPARE(results.at(0).toObject().value("instrumentSerialNum").toString(),
             QStringLiteral("SN-EXP-7"));
    QVERIFY(!a.object.value("images").toArray().isEmpty());
    for (const QJsonValue &image : a.object.value("images").toArray())
        QVERIFY(QFileInfo(image.toString()).isFile());

    // The converters' own tests and xrfresults' read the CSV and the PDF back.
    const QString base = output.chopped(5);
    for (const char *suffix : { ".csv", ".pdf" })
        QVERIFY(QFileInfo(base + suffix).size() > 0);
    // MSA: one file per exposure of the results that have beam data.
    QVERIFY(!QDir(m_exports).entryList({ QFileInfo(base).fileName() + "-*.msa" }).isEmpty());
    // Nothing stays behind in the data folder, not even the staging folder.
    QVERIFY(!QFileInfo::exists(m_lib.path("card/export-staging")));
}

void TestExport::oneSecondTwoExportsAndSafeNames()
{
    qputenv("XRF_FAULT_POINT", "fixed-export-time");
    const QJsonObject settings = exportSettings("json,csv,pdf,msa");
    QCOMPARE(exportIds(4, { "1" }, settings).code, 0);
    const QStringList first = exported();
    const Answer second = exportIds(5, { "2" }, settings);
    QCOMPARE(second.code, 0);
    const QString name = QFileInfo(second.object.value("outputFile").toString()).fileName();
    QCOMPARE(name, QStringLiteral("chemistry-SN-EXP-7-2026-03-05-14-07-09(2).json"));
    // Every file of the first is still there, each output of the second is
    // new: the beam spectra's file too.
    for (const QString &file : first)
        QVERIFY2(exported().contains(file), qPrintable(file));
    for (const char *suffix : { ".csv", ".pdf" })
        QVERIFY(exported().contains(QStringLiteral("chemistry-SN-EXP-7-2026-03-05-14-07-09(2)")
                                    + suffix));
    QVERIFY(exported().contains("beamspectra-SN-EXP-7-2026-03-05-14-07-09(2).csv"));
    QVERIFY(!QDir(m_exports)
                     .entryList({ "chemistry-SN-EXP-7-2026-03-05-14-07-09(2)-*.msa" })
                     .isEmpty());

    // Two single zips in that second: two zips, each whole.
    QStringList zips;
    for (int id : { 12, 13 }) {
        const Answer zipped = exportIds(id, { "1", "2" }, settings, true);
        QCOMPARE(zipped.code, 0);
        zips << zipped.object.value("outputFile").toString();
        QCOMPARE(TestSupport::runTool("unzip", { "-tq", zips.last() }), 0);
    }
    QVERIFY(zips.at(0) != zips.at(1));
    QVERIFY(QFileInfo(zips.at(0)).isFile() && QFileInfo(zips.at(1)).isFile());

    QJsonObject custom = settings;
    QJsonObject exportObject = custom.value("export").toObject();
    exportObject.insert("fileName",
                        QJsonObject { { "custom", true }, { "customFileName", "Lot/7:A?" } });
    custom.insert("export", exportObject);
    const Answer named = exportIds(6, { "1" }, custom);
    QCOMPARE(named.code, 0);
    const QFileInfo file(named.object.value("outputFile").toString());
    QCOMPARE(file.absolutePath(), QDir(m_exports).absolutePath());
    QVERIFY(file.fileName().startsWith("chemistry-Lot_7_A_-"));
}

void TestExport::singleZipReplacesItsOwnFolderOnly()
{
    const QString exports = m_lib.path("home/j.doe/exports");
    QDir().mkpath(exports);
    XrfPlatform::instance()->setExportsFolderPath(XrfPlatform::DefaultFolder, exports);
    for (const QString &folder : { m_lib.path("home"), m_lib.path("home/j.doe"), exports })
        QVERIFY(TestSupport::writeFile(folder + "/keep.txt", "mine"));
    const Answer a = exportIds(7, { "1", "2" }, exportSettings("json,csv"), true);
    QCOMPARE(a.code, 0);
    const QString zip = a.object.value("outputFile").toString();
    QVERIFY2(zip.endsWith(".zip") && QFileInfo(zip).isFile(), qPrintable(zip));
    QCOMPARE(TestSupport::runTool("unzip", { "-t", zip }), 0);
    const QString listing = TestSupport::toolOutput("unzip", { "-l", zip });
    QVERIFY(listing.contains(".json") && listing.contains(".csv") && listing.contains("-images/"));
    for (const QString &folder : { m_lib.path("home"), m_lib.path("home/j.doe"), exports })
        QCOMPARE(TestSupport::readFile(folder + "/keep.txt"), QByteArray("mine"));
    // Only the zip and what was there before.
    QCOMPARE(QDir(exports).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 2);
}

void TestExport::unmountedMediumReceivesNothing()
{
    const QString medium
            = QStringLiteral("/xrf-no-medium-%1/exports").arg(QCoreApplication::applicationPid());
    XrfPlatform::instance()->setExportsFolderPath(XrfPlatform::UsbMemory, medium);
    QSignalSpy complete(m_lib.rm, &XrfResultManager::exportComplete);
    const Answer a = exportIds(8, { "1" }, exportSettings("json", "USB Memory"));
    QCOMPARE(a.code, int(XrfErrorInfo::FileCreateFailed));
    QCOMPARE(a.object.value("outputFile").toString(), QString());
    QCOMPARE(complete.count(), 1);
    QVERIFY(!QFileInfo::exists(medium));
}

void TestExport::failedZipKeepsTheFolder()
{
    qputenv("XRF_FAULT_POINT", "zip-rename");
    const Answer a = exportIds(10, { "1" }, exportSettings("json"), true);
    QVERIFY(a.code != 0);
    const QFileInfo kept(a.object.value("outputFile").toString());
    QVERIFY2(kept.isDir(), qPrintable(kept.filePath()));
    QVERIFY(!QDir(kept.filePath()).entryList({ "*.json" }).isEmpty());
    QVERIFY(QDir(m_exports).entryList({ "*.zip" }).isEmpty());
}

void TestExport::mediumThatFillsUpFailsTheExport()
{
    const QString stick = m_lib.path("stick");
    QVERIFY(QDir().mkpath(stick));
    if (QProcess::execute("mount", { "-t", "tmpfs", "-o", "size=16k", "tmpfs", stick }) != 0)
        QSKIP("A small medium needs mount rights");
    m_mounted = stick;
    XrfPlatform::instance()->setExportsFolderPath(XrfPlatform::UsbMemory, stick);
    QSignalSpy complete(m_lib.rm, &XrfResultManager::exportComplete);
    // Its pictures do not fit: the export fails, and leaves no JSON that
    // names pictures it lacks.
    QJsonObject settings = exportSettings("json", "USB Memory");
    QJsonObject exportObject = settings.value("export").toObject();
    exportObject.insert("templateOverride",
                        QJsonObject { { "inlineImage", true }, { "macroImage", true } });
    settings.insert("export", exportObject);
    qputenv("XRF_FAULT_POINT", "media-mounted");
    const Answer a = exportIds(14, { "1", "2" }, settings);
    QCOMPARE(a.code, int(XrfErrorInfo::FileCreateFailed));
    QCOMPARE(complete.count(), 1);
    QCOMPARE(complete.at(0).at(1).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::FileCreateFailed);
    QCOMPARE(QDir(stick).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestExport::userAndAutomaticExportsKeepTheirOwnSettings()
{
    XrfResultQueue *queue = m_lib.startQueue(20, true);
    TestSupport::LibraryFixture::setActions(true, false, true); // automatic: JSON, not zipped
    QSignalSpy complete(m_lib.rm, &XrfResultManager::exportComplete);
    QSignalSpy done(m_lib.rm, &XrfResultManager::operationDone);
    XrfKorviResult r = TestSupport::sample("07-copper-awkward-texts");
    r.images().clear();
    queue->addResult(r);
    // The user's CSV, zipped, asked for while the new result is on its way.
    XrfJsonMessage msg(11, 119,
                       { { "tidList", QJsonArray { "1", "2" } },
                         { "actionToDo", 1 },
                         { "exportSetting", exportSettings("csv") },
                         { "outputSingleZip", true } });
    QCOMPARE(m_lib.rm->exportResultsWithOption(&msg), XrfErrorInfo::NoError);
    QTRY_VERIFY_WITH_TIMEOUT(complete.count() >= 2, 20000);
    QString userOutput;
    QString automaticOutput;
    for (const auto &args : qAsConst(done)) {
        const QString output
                = args.at(2).value<QJsonDocument>().object().value("outputFile").toString();
        if (args.at(0).toInt() == 119)
            userOutput = output;
        else if (args.at(0).toInt() == 108)
            automaticOutput = output;
    }
    QVERIFY2(userOutput.endsWith(".zip"), qPrintable(userOutput));
    QVERIFY2(automaticOutput.endsWith(".json"), qPrintable(automaticOutput));
    const QString listing = TestSupport::toolOutput("unzip", { "-l", userOutput });
    QVERIFY(listing.contains(".csv") && !listing.contains(".json"));
}

void TestExport::automaticExportKeepsTheQueueFileUntilItWorks()
{
    XrfResultQueue *queue = m_lib.startQueue(50, true);
    TestSupport::LibraryFixture::setActions(true, false, true);
    QJsonObject settings = exportSettings("json");
    QJsonObject exportObject = settings.value("export").toObject();
    exportObject.insert("autoExport", true);
    exportObject.insert("selectedTemplate", "Missing");
    settings.insert("export", exportObject);
    XrfMethodManager::instance()->setExportSettings(settings);

    QSignalSpy complete(m_lib.rm, &XrfResultManager::exportComplete);
    XrfKorviResult r = TestSupport::sample("07-copper-awkward-texts");
    r.images().clear();
    queue->addResult(r);
    QTRY_VERIFY_WITH_TIMEOUT(!complete.isEmpty(), 20000);
    QCOMPARE(complete.at(0).at(0).toInt(), 3);
    QVERIFY(complete.at(0).at(1).toInt() != 0);
    QCOMPARE(queue->resultsNotYetStored(), 0);
    QVERIFY(!QDir(m_lib.path("resultQueue")).entryList({ "*_*.json" }).isEmpty());

    // A user's export of the same test succeeds: that is not the automatic
    // export the queue waits for.
    const int before = complete.size();
    QCOMPARE(exportIds(15, { "3" }, exportSettings("json")).code, 0);
    bool userDone = false;
    for (int i = before; i < complete.size(); ++i)
        userDone = userDone
                || (complete.at(i).at(0).toInt() == 3 && complete.at(i).at(1).toInt() == 0);
    QVERIFY(userDone);
    QTest::qWait(300);
    QVERIFY(!QDir(m_lib.path("resultQueue")).entryList({ "*_*.json" }).isEmpty());

    exportObject.insert("selectedTemplate", "Lab");
    settings.insert("export", exportObject);
    XrfMethodManager::instance()->setExportSettings(settings);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(m_lib.path("resultQueue")).entryList({ "*_*.json" }).isEmpty(),
                             20000);
    QCOMPARE(complete.last().at(0).toInt(), 3);
    QCOMPARE(complete.last().at(1).toInt(), 0);
    QVERIFY(!QDir(m_exports).entryList({ "*.json" }).isEmpty());
}

void TestExport::abortedExportLeavesNothing()
{
    for (int i = 0; i < 40; ++i)
        QVERIFY(m_lib.store(TestSupport::quickResult(
                        QStringLiteral("bulk-%1").arg(i),
                        QDateTime(QDate(2026, 2, 1), QTime(8, 0), Qt::UTC).addSecs(i)))
                > 0);
    // Aborted from this thread as soon as the worker reports progress.
    QObject::connect(
            m_lib.rm, &XrfResultManager::filterResultsProgress, this,
            [this](int done, int) {
                if (done >= 2)
                    m_lib.rm->abortCurrentDbOperation();
            },
            Qt::QueuedConnection);
    QStringList ids;
    for (int i = 1; i <= 42; ++i)
        ids << QString::number(i);
    const Answer a = exportIds(9, ids, exportSettings("json,csv,pdf"));
    QCOMPARE(a.code, int(XrfErrorInfo::OperationAborted));
    QCOMPARE(exported(), QStringList());
    QVERIFY(QDir(m_lib.path("card/export-staging")).entryList({ "results_*" }).isEmpty());
    QObject::disconnect(m_lib.rm, &XrfResultManager::filterResultsProgress, this, nullptr);

    // Pressed while the export still waits for the worker, the abort stops
    // it when it starts; it does not stop the export asked for after it.
    QSignalSpy done(m_lib.rm, &XrfResultManager::operationDone);
    QMetaObject::invokeMethod(
            TestSupport::LibraryFixture::database(), [] { QThread::msleep(300); },
            Qt::QueuedConnection);
    XrfJsonMessage waiting(16, 119,
                           { { "tidList", QJsonArray { "1" } },
                             { "actionToDo", 1 },
                             { "exportSetting", exportSettings("json") } });
    QCOMPARE(m_lib.rm->exportResultsWithOption(&waiting), XrfErrorInfo::NoError);
    m_lib.rm->abortCurrentDbOperation();
    QTRY_VERIFY_WITH_TIMEOUT(!done.isEmpty(), 10000);
    QCOMPARE(done.at(0).at(3).value<XrfErrorInfo::XrfError>(), XrfErrorInfo::OperationAborted);
    QCOMPARE(exported(), QStringList());
    QCOMPARE(exportIds(17, { "1" }, exportSettings("json")).code, 0);
}

int main(int argc, char *argv[])
{
    // The PDF report draws with QtGui on the offscreen platform.
    const auto app = makeReportApplication(argc, argv);
    TestExport test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_export.moc"
