// The PDF report as a reader finds it (pdfinfo, pdftotext, pdfimages, pdffonts from poppler),
// the template and print settings, the energies of the beam plot, conversions that must leave
// no file, a host without QGuiApplication, and the speed of a long export.

#include "beamplot.h"
#include "js2pdf.h"
#include "xrfkorviresult.h"
#include "xrfspectrum.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "libraryfixture.h"
#include "reportapplication.h"
#include "testsupport.h"

using TestSupport::sampleJson;
using TestSupport::tidNameOf;
using TestSupport::toolOutput;
using TestSupport::writeJsonLines;

namespace {

const QString serial = "XL5-70312";

// Copies the pictures the results name into <data>/images/<name>; false when a result names
// none, so that a change of the image members cannot leave the picture checks empty.
bool placeImages(const QList<QJsonObject> &results, const QString &data)
{
    QDir().mkpath(data + "/images");
    for (const QJsonObject &object : results) {
        XrfKorviResult result;
        result.fromJsonObject(object);
        if (result.images().isEmpty())
            return false;
        for (const XrfImageInfo &image : result.images()) {
            const QString target = data + "/images/" + image.name();
            if (!QFile::exists(target)
                && !QFile::copy(TestSupport::samplePath("images/" + image.name()), target))
                return false;
        }
    }
    return true;
}

QString pdfText(const QString &pdf, int page = 0)
{
    QStringList args { "-layout" };
    if (page > 0)
        args << "-f" << QString::number(page) << "-l" << QString::number(page);
    return toolOutput("pdftotext", args << pdf << "-");
}

QString pdfInfo(const QString &pdf, const QString &key)
{
    const QRegularExpression line(QString("^%1:\\s*(.*)$").arg(key),
                                  QRegularExpression::MultilineOption);
    return line.match(toolOutput("pdfinfo", { pdf })).captured(1).trimmed();
}

int imageCount(const QString &pdf)
{
    // Two header lines, then one line per image.
    const QStringList lines
            = toolOutput("pdfimages", { "-list", pdf }).split('\n', Qt::SkipEmptyParts);
    return lines.size() - 2;
}

bool shownWithValue(const QString &text, const QString &element)
{
    return QRegularExpression(QString("(^|\\s)%1(\\s+\\(layer \\d\\))?\\s+\\d")
                                      .arg(QRegularExpression::escape(element)),
                              QRegularExpression::MultilineOption)
            .match(text)
            .hasMatch();
}

} // namespace

class TestPdfExport : public QObject
{
    Q_OBJECT

private slots:
    void threeSamples();
    void templateAndPrintSettings();
    void filteredResults();
    void everyCharacterIsPrinted();
    void beamEnergies();
    void failuresLeaveNoFile();
    void withoutGuiApplication();
};

void TestPdfExport::threeSamples()
{
    QTemporaryDir dir;
    const QList<QJsonObject> results
            = { sampleJson("01-stainless-316", 7001), sampleJson("03-coating-au-ni-cu", 7002),
                sampleJson("04-calibration-check", 7003) };
    for (const QJsonObject &result : results)
        QVERIFY(!tidNameOf(result).isEmpty());
    QVERIFY(writeJsonLines(dir.filePath("results.jsonl"), results));
    QVERIFY(placeImages(results, dir.filePath("data")));

    Js2Pdf pdf;
    pdf.serialNumber = serial;
    pdf.instrumentDataPath = dir.filePath("data") + '/';
    pdf.setExportSettings(QJsonObject { { "model", "XL5" } });
    pdf.setTemplate(QJsonObject { { "title", "Alloy Report" } });
    QList<QPair<int, int>> progress;
    QString base = dir.filePath("report.pdf");
    QVERIFY2(pdf.startJson2Pdf(dir.filePath("results.jsonl"), &base, {},
                               [&](int done, int total) { progress << qMakePair(done, total); }),
             qPrintable(pdf.errorString()));
    QCOMPARE(base, dir.filePath("report"));
    const QString file = dir.filePath("report.pdf");
    QCOMPARE(pdf.files(), QStringList { file });
    QCOMPARE(pdf.lastTestId(), 7003);
    QCOMPARE(progress, (QList<QPair<int, int>> { { 1, 3 }, { 2, 3 }, { 3, 3 } }));

    const int pages = pdfInfo(file, "Pages").toInt();
    QVERIFY2(pages >= 3, qPrintable(QString::number(pages)));
    QCOMPARE(pdf.pageCount(), pages);
    QCOMPARE(pdfInfo(file, "Title"), "Alloy Report");
    QVERIFY(toolOutput("pdffonts", { file }).contains("DejaVuSans"));
    // Both pictures of the stainless test and one each of the others.
    QCOMPARE(imageCount(file), 4);

    const QString text = pdfText(file);
    QVERIFY(text.contains(serial));
    QVERIFY(text.contains("XL5"));
    for (const QJsonObject &result : results) {
        QVERIFY(text.contains(tidNameOf(result)));
        const QString id
                = QString::number(result.value("analysis").toObject().value("testId").toInt());
        QVERIFY2(text.contains(id), qPrintable(id));
        for (const QJsonValue &c : result.value("chemistry").toArray()) {
            const QString element = c.toObject().value("elementName").toString();
            QVERIFY2(shownWithValue(text, element), qPrintable(element));
        }
        for (const QJsonValue &c : result.value("coating").toArray()) {
            const QString element = c.toObject().value("element").toString();
            QVERIFY2(text.contains(QRegularExpression(QString("\\b%1 \\(").arg(element))),
                     qPrintable(element));
        }
    }

    // Each result starts a page of its own that names it and no other result.
    int page = 1;
    for (const QJsonObject &result : results) {
        QString onPage;
        for (; page <= pages; ++page) {
            onPage = pdfText(file, page);
            if (onPage.contains(tidNameOf(result)))
                break;
        }
        QVERIFY2(page <= pages, qPrintable(tidNameOf(result)));
        for (const QJsonObject &other : results)
            if (&other != &result)
                QVERIFY(!onPage.contains(tidNameOf(other)));
        ++page;
    }

    // Header, grade match, test info and calibration check of the right results.
    QVERIFY(text.contains("General Metals"));
    QVERIFY(text.contains("a.nakamura"));
    QVERIFY(text.contains(QRegularExpression("Best grade\\s+316\\s")));
    QVERIFY(text.contains(QRegularExpression("Match number\\s+0\\.42")));
    QVERIFY(text.contains("Müller Schrott GmbH"));
    QVERIFY(text.contains("Au ≥ 0.76 µm over Ni ≥ 2.5 µm"));
    QVERIFY(text.contains("Calibration check"));
    QVERIFY(text.contains("49068"));
    QCOMPARE(text.count("Calibration check"), 1);
    // Lines in the beam plots: gold shows its L lines, its K lines lie beyond 40 kV.
    QVERIFY(text.contains("Fe Kα"));
    QVERIFY(text.contains("Au Lα"));
    QVERIFY(!text.contains("Au Kα"));
    QVERIFY(text.contains("Energy (keV)"));
}

void TestPdfExport::templateAndPrintSettings()
{
    QTemporaryDir dir;
    const QJsonObject result = sampleJson("01-stainless-316", 42);
    QVERIFY(writeJsonLines(dir.filePath("results.jsonl"), { result }));
    QVERIFY(placeImages({ result }, dir.filePath("data")));
    const auto render = [&](const QJsonObject &pdfTemplate, const QJsonObject &print,
                            const QJsonObject &exportSettings) {
        Js2Pdf pdf;
        pdf.serialNumber = serial;
        pdf.instrumentDataPath = dir.filePath("data");
        pdf.setExportSettings(exportSettings);
        pdf.setTemplate(pdfTemplate);
        pdf.setFormatSettings(print);
        QString base = dir.filePath("out");
        return pdf.startJson2Pdf(dir.filePath("results.jsonl"), &base) ? base + ".pdf" : QString();
    };
    const auto sections = [](const QStringList &names) {
        return QJsonObject { { "sections", QJsonArray::fromStringList(names) } };
    };

    // Only the sections named, in their order, on US letter across.
    QString file
            = render(QJsonObject { { "title", "Custom Title" },
                                   { "sections", QJsonArray { "testInfo", "header" } } },
                     QJsonObject { { "pageSize", "Letter" }, { "orientation", "landscape" } }, {});
    QVERIFY(!file.isEmpty());
    QVERIFY(pdfInfo(file, "Page size").startsWith("792 x 612"));
    QString text = pdfText(file);
    QVERIFY(text.contains("Custom Title"));
    QVERIFY(text.indexOf("Heat Number") >= 0);
    QVERIFY(text.indexOf("Heat Number") < text.indexOf("Test name"));
    QVERIFY(!text.contains("Best grade"));
    QVERIFY(!shownWithValue(text, "Fe"));
    QVERIFY(!text.contains("Energy (keV)"));
    QCOMPARE(imageCount(file), 0);

    // Decimals of the print settings, on A4 upright.
    file = render(sections({ "chemistry" }), QJsonObject { { "decimals", 3 } }, {});
    QVERIFY(pdfInfo(file, "Page size").startsWith("595 x 842"));
    text = pdfText(file);
    QVERIFY(text.contains(QRegularExpression("Fe\\s+67\\.500\\s+0\\.210")));
    QVERIFY(!text.contains("Heat Number"));

    // The export settings leave the inline camera out; one named template among several.
    const QJsonObject named {
        { "Standard", sections({ "chemistry" }) },
        { "Pictures", sections({ "images" }) },
    };
    file = render(named, {},
                  QJsonObject { { "export",
                                  QJsonObject { { "selectedPdfLayout", "Pictures" },
                                                { "templateOverride",
                                                  QJsonObject { { "inlineImage", false } } } } } });
    QCOMPARE(imageCount(file), 1);
    QVERIFY(pdfText(file).contains("Macro camera"));
    QVERIFY(!pdfText(file).contains("Inline camera"));

    // A missing picture is left out without a word.
    QVERIFY(QFile::remove(dir.filePath("data/images/cam-316-bar-0042-2.jpeg")));
    file = render(sections({ "images" }), {}, {});
    QVERIFY(!file.isEmpty());
    QCOMPARE(imageCount(file), 1);
}

void TestPdfExport::filteredResults()
{
    // As the export filter leaves results: part of the header, the instrument added, no date.
    const auto filtered = [](int id, const QString &name, const QJsonObject &extra) {
        QJsonObject result {
            { "analysis",
              QJsonObject { { "testId", id }, { "testType", "NORMAL" }, { "tidName", name } } },
            { "chemistry",
              QJsonArray { QJsonObject {
                      { "elementName", "Zn" }, { "concentration", 37.5 }, { "error", 0.2 } } } }
        };
        for (auto it = extra.begin(); it != extra.end(); ++it)
            result.insert(it.key(), it.value());
        return result;
    };
    QTemporaryDir dir;
    const QString input = dir.filePath("results.jsonl");
    QVERIFY(writeJsonLines(
            input,
            { filtered(301, "filtered-one",
                       { { "model", "XL3-Plus" }, { "instrumentSerialNum", "SN-77" } }),
              filtered(302, "filtered-two", {}) }));
    Js2Pdf pdf;
    pdf.instrumentModel = "XL5-Base";
    QString base = dir.filePath("filtered");
    QVERIFY2(pdf.startJson2Pdf(input, &base), qPrintable(pdf.errorString()));
    const QString first = pdfText(base + ".pdf", 1);
    QVERIFY(first.contains("XL3-Plus S/N SN-77"));
    QVERIFY(first.contains("filtered-one"));
    QVERIFY(first.contains(QRegularExpression("Zn\\s+37\\.50")));
    const QString second = pdfText(base + ".pdf", 2);
    QVERIFY(second.contains("filtered-two"));
    QVERIFY(second.contains("XL5-Base"));
    QVERIFY(!second.contains("SN-77"));
}

void TestPdfExport::everyCharacterIsPrinted()
{
    QTemporaryDir dir;
    QJsonObject result = sampleJson("07-copper-awkward-texts", 70);
    QString customer;
    QJsonArray info = result["testInfo"].toArray();
    for (const QJsonValue &entry : info)
        if (entry["key"].toString() == "Customer")
            customer = entry["value"].toString();
    QVERIFY2(customer.contains("中山"), qPrintable(customer));
    // A test tube, which no font of the report draws: a mark where it was, the rest kept.
    info << QJsonObject { { "key", "Vial" }, { "value", "\U0001F9EA B-7" } };
    result["testInfo"] = info;
    QVERIFY(writeJsonLines(dir.filePath("results.jsonl"), { result }));
    Js2Pdf pdf;
    pdf.setTemplate(QJsonObject { { "sections", QJsonArray { "testInfo" } } });
    QString base = dir.filePath("texts");
    QVERIFY2(pdf.startJson2Pdf(dir.filePath("results.jsonl"), &base),
             qPrintable(pdf.errorString()));
    const QString text = pdfText(base + ".pdf");
    QVERIFY2(text.contains(customer), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("Vial:\\s+\uFFFD B-7\\n")), qPrintable(text));
}

void TestPdfExport::beamEnergies()
{
    // The same detector in keV and in eV per channel.
    XrfSpectrum keV;
    keV.setEnergySlope(0.02);
    keV.setEnergyOffset(-0.01);
    keV.setChannels(QVector<quint32>(2048, 1));
    XrfSpectrum eV = keV;
    eV.setEnergySlope(20.0);
    eV.setEnergyOffset(-10.0);
    for (const XrfSpectrum &s : { keV, eV }) {
        QCOMPARE(BeamPlot::channelEnergyKeV(s, 0), -0.01);
        QVERIFY(qAbs(BeamPlot::channelEnergyKeV(s, 320) - 6.39) < 1e-9);
        QVERIFY(qAbs(BeamPlot::topEnergyKeV(s) - 40.93) < 1e-9);
    }
    // Nothing above the tube voltage reaches the plot.
    keV.setTubeVoltageSet(15.0);
    QCOMPARE(BeamPlot::topEnergyKeV(keV), 15.0);

    // Tabulated line energies: Fe Kα1 6.404 keV, Pb Lα1 10.551 keV, Au Lα1 9.713 keV; Fe Lα
    // (0.705 keV) is below what the detector sees, Au and Pb K lines above 40 keV.
    const QVector<BeamPlot::LineMark> marks
            = BeamPlot::lineMarks({ "Pb", "Fe", "Xx", "Au", "Fe" }, 0.0, 40.0);
    QStringList names;
    for (const auto &mark : marks)
        names << mark.element + ' ' + mark.line;
    QCOMPARE(names, (QStringList { "Fe Kα", "Au Lα", "Pb Lα" }));
    QVERIFY(qAbs(marks.at(0).energyKeV - 6.404) < 0.005);
    QVERIFY(qAbs(marks.at(1).energyKeV - 9.713) < 0.005);
    QVERIFY(qAbs(marks.at(2).energyKeV - 10.551) < 0.005);
    QVERIFY(BeamPlot::lineMarks({ "Fe" }, 0.0, 6.0).isEmpty());
}

void TestPdfExport::failuresLeaveNoFile()
{
    QTemporaryDir dir;
    const QList<QJsonObject> results
            = { sampleJson("01-stainless-316", 11), sampleJson("05-brass-repeat", 12),
                sampleJson("07-copper-awkward-texts", 13) };
    const QString input = dir.filePath("results.jsonl");
    QVERIFY(writeJsonLines(input, results));
    QDir().mkpath(dir.filePath("out"));
    const auto leftovers
            = [&]() { return QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden); };

    Js2Pdf pdf;
    pdf.serialNumber = serial;
    QString base = dir.filePath("out/report");
    int written = 0;
    QVERIFY(!pdf.startJson2Pdf(
            input, &base, [&]() { return written >= 1; }, [&](int done, int) { written = done; }));
    QCOMPARE(pdf.errorCode(), XrfErrorInfo::OperationAborted);
    QCOMPARE(pdf.lastTestId(), 11);
    QCOMPARE(leftovers(), QStringList());
    QVERIFY(pdf.files().isEmpty());

    // The same converter after an abort: a whole report.
    QVERIFY2(pdf.startJson2Pdf(input, &base), qPrintable(pdf.errorString()));
    QCOMPARE(leftovers(), QStringList { "report.pdf" });
    QCOMPARE(pdfInfo(base + ".pdf", "Pages").toInt(), pdf.pageCount());
    QVERIFY(pdf.pageCount() >= 3);

    // A folder that cannot hold files (even for root): one under a plain file.
    QVERIFY(TestSupport::writeFile(dir.filePath("plain"), "x"));
    QString blocked = dir.filePath("plain/sub/report");
    QVERIFY(!pdf.startJson2Pdf(input, &blocked));
    QCOMPARE(pdf.errorCode(), XrfErrorInfo::FileCreateFailed);
    QVERIFY(!QFileInfo::exists(blocked + ".pdf"));
    QVERIFY(pdf.files().isEmpty());

    // No name, and a line that is no result.
    QString empty;
    QVERIFY(!pdf.startJson2Pdf(input, &empty));
    QCOMPARE(pdf.errorCode(), XrfErrorInfo::InvalidArgument);
    QVERIFY(TestSupport::writeFile(input,
                                   QJsonDocument(results.first()).toJson(QJsonDocument::Compact)
                                           + "\n{\"chemistry\": []}\n"));
    QVERIFY(!pdf.startJson2Pdf(input, &base));
    QCOMPARE(pdf.errorCode(), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(leftovers(), QStringList { "report.pdf" });
}

void TestPdfExport::withoutGuiApplication()
{
    QTemporaryDir dir;
    const QString input = dir.filePath("results.jsonl");
    QVERIFY(writeJsonLines(input, { sampleJson("02-rohs-abs-housing", 5) }));
    QProcess host;
    host.start(QCoreApplication::applicationFilePath(),
               { "--core-host", input, dir.filePath("report") });
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
    QCOMPARE(host.readAllStandardOutput().trimmed(),
             QByteArray::number(int(XrfErrorInfo::NotImplemented)));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { "results.jsonl" });
}

// Also a host of its own: with --core-host it converts under a QCoreApplication and prints the
// error code.
int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--core-host") == 0) {
        QCoreApplication app(argc, argv);
        Js2Pdf pdf;
        QString base = QString::fromLocal8Bit(argv[3]);
        const bool done = pdf.startJson2Pdf(QString::fromLocal8Bit(argv[2]), &base);
        printf("%d\n", done ? 0 : int(pdf.errorCode()));
        return 0;
    }
    const auto app = makeReportApplication(argc, argv);
    TestPdfExport test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pdfexport.moc"
