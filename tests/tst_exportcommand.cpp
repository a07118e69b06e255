// xrfresults export and the demo's export as a person uses them: the real
// program on a temporary data folder, without a display, its files read back
// by Python's csv module, pandas, pdftotext and unzip.

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport.h"
#include "xrfresultsprocess.h"

using TestSupport::csvRows;
using TestSupport::toolOutput;
using XrfResultsProcess::Run;

namespace {

const QString sampleDir = QStringLiteral(XRF_SOURCE_DIR "/samples");
const QStringList samples { sampleDir + "/01-stainless-316.json",
                            sampleDir + "/02-rohs-abs-housing.json",
                            sampleDir + "/03-coating-au-ni-cu.json" };

QJsonObject sample(int index)
{
    return QJsonDocument::fromJson(TestSupport::readFile(samples.at(index))).object();
}

QString tidName(int index)
{
    return TestSupport::tidNameOf(sample(index));
}

// The rows that hold this cell.
QList<QStringList> rowsWith(const QList<QStringList> &rows, const QString &cell)
{
    QList<QStringList> found;
    for (const QStringList &row : rows)
        if (row.contains(cell))
            found << row;
    return found;
}

// A CSV file as pandas.read_csv takes it, with its defaults, as a LIMS import
// would: {"columns": [names], "types": [dtype names], "rows": [[cells]]}
// (empty cells null); an empty object when pandas cannot read it.
QJsonObject pandasTable(const QString &path)
{
    QByteArray json;
    TestSupport::runTool(TestSupport::debianPython(),
                         { "-c",
                           "import json, sys\n"
                           "import pandas\n"
                           "table = pandas.read_csv(sys.argv[1])\n"
                           "json.dump({'columns': list(table.columns),\n"
                           "           'types': [str(t) for t in table.dtypes],\n"
                           "           'rows': json.loads(table.to_json(orient='values'))},\n"
                           "          sys.stdout)\n",
                           path },
                         &json);
    return QJsonDocument::fromJson(json).object();
}

QString withSuffix(const QStringList &files, const QString &suffix)
{
    for (const QString &file : files)
        if (file.endsWith(suffix))
            return file;
    return QString();
}

} // namespace

class TestExportCommand : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
    }

    void everyFormatHoldsTheChosenResults();
    void defaultCsvReadsAsATable();
    void rohsElementsInPpm();
    void rohsSummaryInWords();
    void defaultPdfPlotsTheBeams();
    void zipPassesUnzip();
    void stagingOfAKilledExportGoesWithTheNextExport();
    void decimalCommaPartsCellsWithSemicolons();
    void badArgumentsExitWithOneLine();
    void demoSaysWhereItsExportIs();

private:
    // Without a display, as on a server or in CI.
    Run xr(const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
            env.remove(name);
        return XrfResultsProcess::run(QStringList { "--data", m_dir->filePath("data") } + args,
                                      300000, QString(), env);
    }
    void storeSamples()
    {
        const Run stored = xr(QStringList { "store" } + samples);
        QVERIFY2(stored.exitCode == 0 && stored.out.count('\n') == samples.size(),
                 qPrintable(stored.err + stored.out));
    }
    // The files an export printed, each checked to exist in the folder.
    QStringList exported(const Run &r, const QString &folder)
    {
        QTest::qVerify(r.exitCode == 0 && r.err.isEmpty(), "export", qPrintable(r.err), __FILE__,
                       __LINE__);
        const QStringList files = r.out.split('\n', Qt::SkipEmptyParts);
        for (const QString &file : files)
            QTest::qVerify(QFileInfo(file).isAbsolute() && QFileInfo(file).size() > 0
                                   && file.startsWith(folder + '/'),
                           "file", qPrintable(file), __FILE__, __LINE__);
        return files;
    }

    QScopedPointer<QTemporaryDir> m_dir;
};

void TestExportCommand::everyFormatHoldsTheChosenResults()
{
    storeSamples();
    const QString out = m_dir->filePath("out");
    const QStringList files = exported(
            xr({ "export", "--ids", "1,2", "--format", "json,csv,pdf", "--out", out }), out);

    // One array of the two results.
    const QJsonArray json
            = QJsonDocument::fromJson(TestSupport::readFile(withSuffix(files, ".json"))).array();
    QCOMPARE(json.size(), 2);

    const QString csv = withSuffix(files, ".csv");
    QVERIFY2(QFileInfo(csv).fileName().startsWith("chemistry"), qPrintable(files.join('\n')));
    const QList<QStringList> rows = csvRows(csv, ",");
    // The header, then one row per result, each as wide as the header.
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rowsWith(rows, tidName(0)).size(), 1);
    QCOMPARE(rowsWith(rows, tidName(1)).size(), 1);
    for (const QStringList &row : rows)
        QCOMPARE(row.size(), rows.first().size());

    const QString pdf = toolOutput("pdftotext", { "-layout", withSuffix(files, ".pdf"), "-" });
    QList<int> ids;
    QRegularExpressionMatchIterator it = QRegularExpression("Test id\\s+(\\d+)").globalMatch(pdf);
    while (it.hasNext())
        ids << it.next().captured(1).toInt();
    QCOMPARE(ids, (QList<int> { 1, 2 }));
    QVERIFY(pdf.contains(tidName(0)) && pdf.contains(tidName(1)) && !pdf.contains(tidName(2)));
}

void TestExportCommand::defaultCsvReadsAsATable()
{
    if (!TestSupport::pythonHas("pandas"))
        QSKIP("python3-pandas is not installed");
    storeSamples();
    const QString out = m_dir->filePath("table");
    const QStringList files
            = exported(xr({ "export", "--ids", "1,2", "--format", "csv", "--out", out }), out);
    const QJsonObject table = pandasTable(withSuffix(files, ".csv"));
    const QJsonArray columns = table["columns"].toArray();
    const QJsonArray rows = table["rows"].toArray();
    QVERIFY2(columns.contains("Test Name"), qPrintable(QJsonDocument(table).toJson()));
    QCOMPARE(rows.size(), 2);
    const auto cell = [&](int row, const QString &column) {
        return rows.at(row).toArray().at(columns.toVariantList().indexOf(column));
    };
    for (int r = 0; r < 2; ++r) {
        QCOMPARE(cell(r, "Test Name").toString(), tidName(r));
        QCOMPARE(cell(r, "Serial Number").toString(), QString("XL5-70312"));
    }
    // The alloy's elements, all in %.
    for (const QJsonValue &element : sample(0).value("chemistry").toArray()) {
        const QString column = element["elementName"].toString() + " (%)";
        QVERIFY2(columns.contains(column), qPrintable(column));
        // A column of numbers, not of text.
        QCOMPARE(table["types"].toArray().at(columns.toVariantList().indexOf(column)),
                 QJsonValue("float64"));
        QCOMPARE(cell(0, column).toDouble(), element["concentration"].toDouble());
    }
}

void TestExportCommand::rohsElementsInPpm()
{
    // The bundled RoHS method states ppm for its restricted elements. A housing over the lead
    // limit has 0.15 % Pb, which is 1500 ppm; the screen's threshold alone would give %.
    QJsonObject rohs = sample(1);
    QJsonObject analysis = rohs["analysis"].toObject();
    analysis["tidName"] = "ABS-housing-18";
    analysis["testDateTime"] = "2026-11-23 10:09:41.517";
    rohs["analysis"] = analysis;
    QJsonArray chemistry = rohs["chemistry"].toArray();
    QHash<QString, QJsonObject> rohsElements;
    for (int i = 0; i < chemistry.size(); ++i) {
        QJsonObject element = chemistry[i].toObject();
        if (element["elementName"] == "Pb")
            element["concentration"] = 0.15;
        chemistry[i] = element;
        rohsElements.insert(element["elementName"].toString(), element);
    }
    rohs["chemistry"] = chemistry;
    const QString rohsFile = m_dir->filePath("abs-housing-18.json");
    QVERIFY(TestSupport::writeFile(rohsFile, QJsonDocument(rohs).toJson()));
    const Run stored = xr({ "store", samples.at(0), rohsFile });
    QVERIFY2(stored.exitCode == 0, qPrintable(stored.err));

    const QString out = m_dir->filePath("ppm");
    const QStringList files
            = exported(xr({ "export", "--ids", "1,2", "--format", "csv,pdf", "--out", out }), out);
    const QList<QStringList> rows = csvRows(withSuffix(files, ".csv"), ",");
    QCOMPARE(rows.size(), 3);
    const auto cell = [&](int row, const QString &column) {
        const int at = rows.at(0).indexOf(column);
        return at < 0 ? QString("(no column %1)").arg(column) : rows.at(row).value(at);
    };
    const auto near = [](const QString &cell, double value) {
        return qAbs(cell.toDouble() - value) <= 1e-9 * qAbs(value);
    };
    // The alloy's chromium stays in %, the housing's is in ppm, each in a column of its unit.
    QCOMPARE(cell(1, "Test Name"), tidName(0));
    QCOMPARE(cell(1, "Cr (%)"), QString("16.94"));
    QCOMPARE(cell(1, "Cr (ppm)"), QString());
    QCOMPARE(cell(2, "Test Name"), QString("ABS-housing-18"));
    QCOMPARE(cell(2, "Cr (%)"), QString());
    for (const char *name : { "Cd", "Pb", "Hg", "Cr", "Br" }) {
        const QJsonObject element = rohsElements.value(name);
        const QString column = QString(name) + " (ppm)";
        QVERIFY2(near(cell(2, column), element["concentration"].toDouble() * 10000),
                 qPrintable(column + ": " + cell(2, column)));
        QVERIFY2(near(cell(2, column + " ± (1σ)"), element["error"].toDouble() * 10000),
                 qPrintable(column + " error: " + cell(2, column + " ± (1σ)")));
    }
    QCOMPARE(cell(2, "Ca (%)"), QString("1.18"));

    const QString pdf = toolOutput("pdftotext", { "-layout", withSuffix(files, ".pdf"), "-" });
    QVERIFY2(pdf.contains(QRegularExpression("Pb\\s+1500\\s+6\\s+ppm")), qPrintable(pdf));
    QVERIFY(pdf.contains(QRegularExpression("Cd\\s+12\\s+4\\s+ppm")));
    QVERIFY(pdf.contains(QRegularExpression("Ca\\s+1\\.180\\s+0\\.040\\s+%")));

    const Run shown = xr({ "show", "2" });
    QCOMPARE(shown.exitCode, 0);
    QVERIFY2(shown.out.contains(QRegularExpression("\\n +Pb +1500 ± 6 ppm\\n")),
             qPrintable(shown.out));
    QVERIFY(shown.out.contains(QRegularExpression("\\n +Hg +2 ± 3 ppm\\n")));
    QVERIFY(shown.out.contains(QRegularExpression("\\n +Ca +1\\.1800 ± 0\\.0400 %\\n")));
}

void TestExportCommand::rohsSummaryInWords()
{
    storeSamples();
    const QString out = m_dir->filePath("rohs");
    const QStringList files = exported(xr({ "export", "--ids", "2", "--format", "csv", "--template",
                                            "RohsSummary", "--out", out }),
                                       out);
    const QList<QStringList> rows = csvRows(withSuffix(files, ".csv"), ",");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(1).size(), rows.at(0).size());
    const auto cell = [&](const QString &column) {
        const int at = rows.at(0).indexOf(column);
        return at < 0 ? QString("(no column %1 in %2)").arg(column, rows.at(0).join('|'))
                      : rows.at(1).value(at);
    };
    // The instrument's plug-in gave the verdict of the whole test.
    const QJsonObject analysis = sample(1)["analysis"].toObject();
    const QString verdict
            = QJsonDocument::fromJson(analysis["pythonPluginResult"].toString().toUtf8())
                      .object()["verdict"]
                      .toString();
    QVERIFY(!verdict.isEmpty());
    QCOMPARE(cell("RoHS Result").toUpper(), verdict.toUpper());
    QCOMPARE(cell("Action Levels"), analysis["rohsActionLevelName"].toString());
    // Each element's verdict against its action level: below, between the levels, above.
    const QStringList words { "Pass", "Inconclusive", "Fail" };
    const QJsonArray levels = sample(1)["actionLevel"].toArray();
    QVERIFY(levels.size() >= 2);
    for (const QJsonValue &level : levels) {
        const QString column = level["elementName"].toString() + " Action Level";
        QCOMPARE(cell(column), words.value(level["actionLevelEnum"].toInt()));
    }
}

void TestExportCommand::defaultPdfPlotsTheBeams()
{
    storeSamples();
    const QString out = m_dir->filePath("plots");
    const QStringList files
            = exported(xr({ "export", "--ids", "1", "--format", "pdf", "--out", out }), out);
    const QString pdf = toolOutput("pdftotext", { "-layout", withSuffix(files, ".pdf"), "-" });
    // A plot per exposure, with its energy axis.
    const int exposures = sample(0)["spectra"].toArray().size();
    QVERIFY(exposures > 1);
    for (int i = 1; i <= exposures; ++i)
        QVERIFY2(pdf.contains(QString("Exposure %1 of %2").arg(i).arg(exposures)), qPrintable(pdf));
    QCOMPARE(pdf.count("Energy (keV)"), exposures);
}

void TestExportCommand::zipPassesUnzip()
{
    storeSamples();
    const QString out = m_dir->filePath("zipped");
    const QStringList files = exported(
            xr({ "export", "--all", "--format", "csv,pdf", "--zip", "--out", out }), out);
    QCOMPARE(files.size(), 1);
    QVERIFY(files.first().endsWith(".zip"));
    QCOMPARE(TestSupport::runTool("unzip", { "-tq", files.first() }), 0);
    const QString listing = toolOutput("unzip", { "-Z1", files.first() });
    QVERIFY2(listing.contains(".csv\n") && listing.contains(".pdf\n"), qPrintable(listing));
    // Nothing but the zip is left in the folder.
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList { QFileInfo(files.first()).fileName() });
}

void TestExportCommand::stagingOfAKilledExportGoesWithTheNextExport()
{
    storeSamples();
    const QString out = m_dir->filePath("again");
    // What a kill leaves: staged outputs, a zip's temporary file, the
    // time-stamp folders of zip runs; beside them a person's own files.
    const QStringList left { ".chemistry-X.csv.part", ".chemistry-X.pdf.part.Ab12Cd",
                             ".export-X.zip.AbC123.xY9z8w", "2026-01-01-10-00-00/.a-1.msa.part",
                             "2026-01-02-10-00-00(2)/.b.csv.part" };
    const QStringList kept { ".notes", "notes.part", "2026-01-02-10-00-00(2)/whole.csv" };
    for (const QString &name : left + kept)
        QVERIFY(TestSupport::writeFile(out + '/' + name, "x"));
    exported(xr({ "export", "--ids", "1", "--format", "csv", "--out", out }), out);
    for (const QString &name : left)
        QVERIFY2(!QFileInfo::exists(out + '/' + name), qPrintable(name));
    for (const QString &name : kept)
        QVERIFY2(QFileInfo::exists(out + '/' + name), qPrintable(name));
    // The emptied time-stamp folder goes, the one with a whole output stays.
    QVERIFY(!QFileInfo::exists(out + "/2026-01-01-10-00-00"));

    // Killed between its formats, or before its zip: what it had put in
    // place looks finished, and goes with the next export.
    const QStringList before = QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const auto &[point, args] :
         { std::make_pair(QStringLiteral("export-between-formats"),
                          QStringList { "--format", "json,csv,pdf" }),
           std::make_pair(QStringLiteral("export-before-zip"),
                          QStringList { "--format", "json,csv", "--zip" }) }) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XRF_CRASH_POINT", point);
        const Run killed
                = XrfResultsProcess::run(QStringList { "--data", m_dir->filePath("data"), "export",
                                                       "--ids", "1,2", "--out", out }
                                                 + args,
                                         300000, QString(), env);
        QCOMPARE(killed.status, QProcess::CrashExit);
        QVERIFY(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size()
                > before.size());
    }
    const QStringList next
            = exported(xr({ "export", "--ids", "1", "--format", "csv", "--out", out }), out);
    QStringList expected = before;
    for (const QString &file : next)
        expected << QFileInfo(file).fileName();
    expected.sort();
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), expected);
    QCOMPARE(QDir(out).entryList({ ".*.exporting" }, QDir::Files | QDir::Hidden), QStringList());
}

void TestExportCommand::decimalCommaPartsCellsWithSemicolons()
{
    storeSamples();
    const QString out = m_dir->filePath("comma");
    const QStringList files = exported(
            xr({ "export", "--ids", "1", "--format", "csv", "--decimal-comma", "--out", out }),
            out);
    const QList<QStringList> rows = rowsWith(csvRows(withSuffix(files, ".csv"), ";"), tidName(0));
    QCOMPARE(rows.size(), 1);
    QVERIFY(rows.first().size() > 10);
    for (const QJsonValue &element : sample(0).value("chemistry").toArray()) {
        const QString dotted
                = QString::number(element.toObject().value("concentration").toDouble());
        QVERIFY2(rows.first().contains(QString(dotted).replace('.', ',')),
                 qPrintable(dotted + " in " + rows.first().join('|')));
    }
    for (const QString &cell : rows.first())
        QVERIFY2(!QRegularExpression("^-?\\d+\\.\\d+$").match(cell).hasMatch(), qPrintable(cell));
}

void TestExportCommand::badArgumentsExitWithOneLine()
{
    const Run help = xr({ "--help" });
    QVERIFY2(help.exitCode == 0 && help.out.contains("export"), qPrintable(help.err));
    storeSamples();

    // The templates a user can pick: the files beside the configuration and
    // those of the method.
    QStringList templates;
    for (const QFileInfo &file :
         QDir(XRF_SOURCE_DIR "/config/templates/exports").entryInfoList({ "*.json" }, QDir::Files))
        templates << file.completeBaseName();
    templates << QJsonDocument::fromJson(
                         TestSupport::readFile(XRF_SOURCE_DIR "/config/method.json"))
                         .object()
                         .value("exportTemplates")
                         .toObject()
                         .keys();
    QVERIFY(templates.size() > 1);
    const Run unknown = xr({ "export", "--template", "Nope" });
    QVERIFY2((unknown.exitCode == 1 || unknown.exitCode == 2) && unknown.err.count('\n') == 1,
             qPrintable(unknown.err));
    for (const QString &name : templates)
        QVERIFY2(unknown.err.contains(name), qPrintable(name + ": " + unknown.err));

    const QString out = m_dir->filePath("refused");
    const QList<std::pair<QStringList, int>> refused {
        { { "--ids", "0" }, 1 },           { { "--ids", "1", "--all" }, 1 },
        { { "--day", "2026-02-30" }, 1 },  { { "--format", "docx" }, 1 },
        { { "--csv-separator", "|" }, 1 }, { { "--location", "moon" }, 1 },
        { { "--ids", "99" }, 2 },
    };
    for (const auto &[args, code] : refused) {
        const Run r = xr(QStringList { "export", "--out", out } + args);
        QVERIFY2(r.exitCode == code && r.err.count('\n') == 1 && r.out.isEmpty()
                         && (code == 1 || r.err.contains("ResultNotFound")),
                 qPrintable(args.join(' ') + " -> " + r.err));
    }
    QVERIFY(QDir(out).isEmpty());
}

void TestExportCommand::demoSaysWhereItsExportIs()
{
    const Run demo = xr({ "demo", "--generate", "2" });
    QVERIFY2(demo.exitCode == 0, qPrintable(demo.err));
    // The demo's last lines name the files, then how to browse what it stored.
    const QStringList lines = demo.out.trimmed().split('\n');
    QVERIFY2(lines.last().contains(" --data " + QDir(m_dir->filePath("data")).absolutePath()
                                   + " serve"),
             qPrintable(lines.last()));
    const QString exports = QDir(m_dir->filePath("data/exports")).absolutePath();
    QStringList named;
    for (const QString &line : lines.mid(lines.size() - 6, 4))
        named << line.trimmed();
    const QString csv = withSuffix(named, ".csv");
    const QString pdf = withSuffix(named, ".pdf");
    QVERIFY2(csv.startsWith(exports + '/') && pdf.startsWith(exports + '/'),
             qPrintable(demo.out.right(600)));
    QVERIFY(QFileInfo(csv).size() > 0);
    QVERIFY(TestSupport::readFile(pdf).startsWith("%PDF-"));
}

QTEST_GUILESS_MAIN(TestExportCommand)
#include "tst_exportcommand.moc"
