// xrfresults export and the demo's export as a person uses them: the real
// program on a temporary data folder, without a display, its files read back
// by Python's csv module, pdftotext and unzip.

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
    // A title row and a header may come first; every data row is as wide
    // as the header.
    QCOMPARE(rowsWith(rows, tidName(0)).size(), 1);
    QCOMPARE(rowsWith(rows, tidName(1)).size(), 1);
    QCOMPARE(rowsWith(rows, tidName(2)).size(), 0);
    QCOMPARE(rowsWith(rows, tidName(0)).first().size(), rows.last().size());
    int wide = 0;
    for (const QStringList &row : rows)
        wide += row.size() == rows.last().size() ? 1 : 0;
    QCOMPARE(wide, 3);

    const QString pdf = toolOutput("pdftotext", { "-layout", withSuffix(files, ".pdf"), "-" });
    QList<int> ids;
    QRegularExpressionMatchIterator it = QRegularExpression("Test id\\s+(\\d+)").globalMatch(pdf);
    while (it.hasNext())
        ids << it.next().captured(1).toInt();
    QCOMPARE(ids, (QList<int> { 1, 2 }));
    QVERIFY(pdf.contains(tidName(0)) && pdf.contains(tidName(1)) && !pdf.contains(tidName(2)));
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
    // The demo's last lines name the files.
    const QStringList lines = demo.out.trimmed().split('\n');
    const QString exports = QDir(m_dir->filePath("data/exports")).absolutePath();
    QStringList named;
    for (const QString &line : lines.mid(lines.size() - 4))
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
