// The CSV, MSA and zip exports checked from outside: the tables read back by
// Python's csv module, the MSA files by a small reader here and by HyperSpy,
// the archives by unzip and libzip. Expected values come from the sample JSON
// itself.

#include <js2csv.h>
#include <js2msa.h>
#include <xrfmethoddisplaysettings.h>
#include <xrfutils.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <zip.h>

#include "libraryfixture.h"
#include "testsupport.h"

#include <cmath>

using TestSupport::csvRows;
using TestSupport::entries;
using TestSupport::runTool;
using TestSupport::sampleJson;

namespace {

QString resultsFile(const QString &folder, const QList<QJsonObject> &results)
{
    const QString path = folder + "/results.jsonl";
    return TestSupport::writeJsonLines(path, results) ? path : QString();
}

QVector<quint32> counts(const QJsonObject &spectrum)
{
    const QByteArray bytes = QByteArray::fromBase64(spectrum.value("data").toString().toLatin1());
    QVector<quint32> channels;
    for (int i = 0; i + 4 <= bytes.size(); i += 4)
        channels << qFromLittleEndian<quint32>(bytes.constData() + i);
    return channels;
}

// Each data row as header -> cell.
QList<QHash<QString, QString>> byHeader(const QList<QStringList> &rows, int headerRow)
{
    QList<QHash<QString, QString>> table;
    for (int r = headerRow + 1; r < rows.size(); ++r) {
        QHash<QString, QString> cells;
        for (int c = 0; c < rows.at(r).size() && c < rows.at(headerRow).size(); ++c)
            cells.insert(rows.at(headerRow).at(c), rows.at(r).at(c));
        table << cells;
    }
    return table;
}

double number(QString cell, QChar decimal = '.')
{
    if (cell.contains(decimal == '.' ? ',' : '.'))
        return qQNaN();
    bool ok = false;
    const double value = cell.replace(decimal, '.').toDouble(&ok);
    return ok ? value : qQNaN();
}

bool near(double a, double b)
{
    return std::fabs(a - b) <= 1e-9 * std::fabs(b);
}

// Keys sort as the column order: "01" ... "11".
QJsonObject csvTemplate()
{
    QJsonObject fields { { "customHeader", "XL5 alloy results" },
                         { "settings", QJsonObject { { "showNominalChemistry", true } } } };
    const QStringList names = QString("analysis.tidName analysis.testId analysis.testDate "
                                      "analysis.testTime chemistry.concentration chemistry.error "
                                      "gradeMatch.gradeName testInfo instrumentSerialNum "
                                      "pseudoElement.concentration no.such.field")
                                      .split(' ');
    for (int i = 0; i < names.size(); ++i)
        fields.insert(QString::number(i + 1).rightJustified(2, '0'), names[i]);
    return fields;
}

} // namespace

class TestCsvExport : public QObject
{
    Q_OBJECT

private slots:
    void tableReadsBack_data();
    void tableReadsBack();
    void formulasAndDetectionLimit();
    void unitsOfTheResultsMethod();
    void abortLeavesNoFile();
    void msaFilesReadBack();
    void msaFilesOpenInHyperSpy();
    void zipPacksFolderTree();
    void failedZipLeavesNoFile();
    void zipWithPassword();
};

void TestCsvExport::tableReadsBack_data()
{
    QTest::addColumn<QJsonObject>("options");
    QTest::addColumn<QString>("delimiter");
    QTest::addColumn<QChar>("decimal");
    QTest::addColumn<double>("sigma");
    QTest::newRow("defaults") << QJsonObject() << "," << QChar('.') << 1.0;
    QTest::newRow("decimal comma")
            << QJsonObject { { "decimalComma", true } } << ";" << QChar(',') << 1.0;
    QTest::newRow("semicolon, 2 sigma, BOM") << QJsonObject {
        { "csvSeparator", ";" }, { "errorSigma", 2 }, { "csvByteOrderMark", true }
    } << ";" << QChar('.') << 2.0;
}

void TestCsvExport::tableReadsBack()
{
    QFETCH(QJsonObject, options);
    QFETCH(QString, delimiter);
    QFETCH(QChar, decimal);
    QFETCH(double, sigma);
    QTemporaryDir dir;
    // "chemistry" becomes "beamspectra" in the file name, not in the folder's.
    QVERIFY(QDir(dir.path()).mkdir("chemistry"));
    const QList<QJsonObject> results { sampleJson("01-stainless-316", 101),
                                       sampleJson("05-brass-repeat", 102) };
    const QJsonObject settings { { "export", options } };
    Js2Csv csv;
    csv.serialNumber = "XL5-70312";
    csv.setExportsInfo(dir.filePath("chemistry"), "run_chemistry", &settings, csvTemplate());
    QVERIFY2(csv.performCsvExport(resultsFile(dir.path(), results)), qPrintable(csv.errorString()));
    const QString table = dir.filePath("chemistry/run_chemistry.csv");
    QCOMPARE(csv.files(), QStringList({ table, dir.filePath("chemistry/run_beamspectra.csv") }));
    QCOMPARE(csv.lastTestId(), 102);

    QFile raw(table);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    QCOMPARE(raw.peek(3) == "\xEF\xBB\xBF", options.value("csvByteOrderMark").toBool());

    QStringList elements, labels;
    for (const QJsonObject &result : results) {
        for (const QJsonValue &e : result.value("chemistry").toArray())
            if (!elements.contains(e["elementName"].toString()))
                elements << e["elementName"].toString();
        for (const QJsonValue &info : result.value("testInfo").toArray())
            labels << info["key"].toString();
    }
    QStringList header { "Test Name", "Test Id", "Date", "Time" };
    for (const QString &element : elements)
        header << element + " (%)";
    for (const QString &element : elements)
        header << element + QString(" \u00b1 (%1\u03c3)").arg(sigma);
    header << "Grade" << labels
           << QStringList { "Serial Number", "PREN", "Cr+Ni", "CE", "no.such.field" };

    const QList<QStringList> rows = csvRows(table, delimiter);
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows.at(0), QStringList { "XL5 alloy results" });
    QCOMPARE(rows.at(1), header);
    const auto table2 = byHeader(rows, 1);
    for (int r = 0; r < results.size(); ++r) {
        const QJsonObject result = results.at(r);
        const QHash<QString, QString> &row = table2.at(r);
        const QJsonObject analysis = result.value("analysis").toObject();
        QCOMPARE(rows.at(r + 2).size(), header.size());
        QCOMPARE(row["Test Name"], analysis["tidName"].toString());
        QCOMPARE(row["Test Id"], QString::number(101 + r));
        const QDateTime local = QDateTime::fromString(analysis["testDateTime"].toString(),
                                                      "yyyy-MM-dd hh:mm:ss.zzz");
        QDateTime utc = local;
        utc.setTimeSpec(Qt::UTC);
        QCOMPARE(row["Date"] + " " + row["Time"],
                 utc.toLocalTime().toString("yyyy-MM-dd hh:mm:ss"));
        QStringList missing = elements;
        for (const QJsonValue &e : result.value("chemistry").toArray()) {
            const QString name = e["elementName"].toString();
            missing.removeOne(name);
            QCOMPARE(number(row[name + " (%)"], decimal), e["concentration"].toDouble());
            QVERIFY(near(
                    number(row[header.at(4 + elements.size() + elements.indexOf(name))], decimal),
                    sigma * e["error"].toDouble()));
        }
        for (const QString &name : missing)
            QCOMPARE(row[name + " (%)"], QString());
        QCOMPARE(row["Grade"], result["gradeMatch"][0]["gradeName"].toString());
        for (const QJsonValue &info : result.value("testInfo").toArray())
            QCOMPARE(row[info["key"].toString()], info["value"].toString());
        QCOMPARE(row["Serial Number"], QString("XL5-70312"));
        QCOMPARE(row["no.such.field"], QString());
    }
    QCOMPARE(number(table2[0]["PREN"], decimal), 23.8);
    QCOMPARE(table2[0]["CE"], QString()); // not applicable
    QCOMPARE(table2[1]["Lot"], QString());
    QCOMPARE(table2[1]["PREN"], QString());

    // Beam data: one row per result and exposure, counts last.
    const QList<QStringList> beam = csvRows(csv.files().value(1), delimiter);
    QCOMPARE(beam.size(), 5);
    QCOMPARE(beam[0].mid(0, 9),
             QStringList({ "Test Id", "Test Name", "Exposure", "Live Time (s)", "Real Time (s)",
                           "Voltage (kV)", "Current (\u00b5A)", "Energy Slope (keV)",
                           "Energy Offset (keV)" }));
    const char *keys[] = { "exposureNumber", "liveTime",    "realTime",    "tubeVoltageSet",
                           "tubeCurrentSet", "energySlope", "energyOffset" };
    int r = 1;
    for (const QJsonObject &result : results) {
        for (const QJsonValue &spectrum : result["spectra"].toArray()) {
            const QStringList row = beam.at(r++);
            QCOMPARE(row.mid(0, 2),
                     QStringList({ QString::number(result["analysis"]["testId"].toInt()),
                                   result["analysis"]["tidName"].toString() }));
            for (int k = 0; k < 7; ++k)
                QCOMPARE(number(row[2 + k], decimal), spectrum[keys[k]].toDouble());
            const QVector<quint32> channels = counts(spectrum.toObject());
            QCOMPARE(row.size(), 9 + channels.size());
            for (int c = 0; c < channels.size(); ++c)
                QCOMPARE(row[9 + c].toUInt(), channels[c]);
        }
    }
}

void TestCsvExport::formulasAndDetectionLimit()
{
    QTemporaryDir dir;
    QJsonObject result = sampleJson("01-stainless-316", 7);
    QJsonObject analysis = result["analysis"].toObject();
    analysis["tidName"] = "=1+1";
    result["analysis"] = analysis;
    QJsonArray info = result["testInfo"].toArray();
    info << QJsonObject { { "key", "Note" }, { "value", "@SUM(A1)" } }
         << QJsonObject { { "key", "-x" }, { "value", "+1" } };
    result["testInfo"] = info;
    // A negative number is a number, not a formula.
    result["pseudoElement"] = QJsonArray { QJsonObject {
            { "elementName", "PREN" }, { "concentration", -0.5 }, { "error", 0.1 } } };

    const QJsonObject settings { { "export", QJsonObject { { "detectionLimitMultiple", 3 } } } };
    const QJsonObject fields { { "1", "analysis.tidName" },
                               { "2", "chemistry.concentration" },
                               { "3", "testInfo" },
                               { "4", "pseudoElement.concentration" },
                               { "5", "chemistry.nameConcError" } };
    Js2Csv csv;
    csv.setExportsInfo(dir.path(), "f", &settings, fields);
    QVERIFY(csv.performCsvExport(resultsFile(dir.path(), { result })));
    const QList<QStringList> rows = csvRows(dir.filePath("f.csv"), ",");
    QCOMPARE(rows.size(), 2);
    QVERIFY(rows[0].contains("'-x"));
    const QHash<QString, QString> row = byHeader(rows, 0).at(0);
    QCOMPARE(row["Test Name"], QString("'=1+1"));
    QCOMPARE(row["Note"], QString("'@SUM(A1)"));
    QCOMPARE(row["'-x"], QString("'+1"));
    QCOMPARE(row["PREN"], QString("-0.5"));

    int belowLimit = 0;
    const QJsonArray chemistry = result["chemistry"].toArray();
    for (int i = 0; i < chemistry.size(); ++i) {
        const double value = chemistry[i]["concentration"].toDouble();
        const double limit = 3 * chemistry[i]["error"].toDouble();
        const QString name = chemistry[i]["elementName"].toString();
        const QString element = QString("Element %1").arg(i + 1);
        QCOMPARE(row[element], name);
        for (const QString &cell : { row[name + " (%)"], row[element + " (%)"] }) {
            if (value < limit) {
                QVERIFY2(cell.startsWith("< "), qPrintable(cell));
                QVERIFY(near(number(cell.mid(2)), limit));
            } else {
                QCOMPARE(number(cell), value);
            }
        }
        belowLimit += value < limit;
    }
    QVERIFY(belowLimit > 0 && belowLimit < chemistry.size());
}

void TestCsvExport::unitsOfTheResultsMethod()
{
    // ppm for two elements of the RoHS method: the alloy's chromium stays in %.
    QTemporaryDir dir;
    const QJsonObject alloy = sampleJson("01-stainless-316", 1);
    const QJsonObject rohs = sampleJson("02-rohs-abs-housing", 2);
    const QJsonObject settings { { "export",
                                   QJsonObject { { "errorSigma", 2 },
                                                 { "detectionLimitMultiple", 3 },
                                                 { "unitsInHeader", false } } } };
    Js2Csv csv;
    csv.setExportsInfo(
            dir.path(), "u", &settings,
            QJsonObject { { "1", "chemistry.concentration" }, { "2", "chemistry.error" } });
    csv.setDisplaySettings(MethodDisplaySettings::fromJsonObject(QJsonObject {
            { "methods",
              QJsonObject { { "RoHS-Plastics",
                              QJsonObject { { "elementUnits",
                                              QJsonObject { { "Cr", "ppm" },
                                                            { "Hg", "ppm" } } } } } } } }));
    QVERIFY(csv.performCsvExport(resultsFile(dir.path(), { alloy, rohs })));
    const QList<QStringList> rows = csvRows(dir.filePath("u.csv"), ",");
    QCOMPARE(rows.size(), 3);
    const QList<QHash<QString, QString>> table = byHeader(rows, 0);
    const auto element = [](const QJsonObject &result, const QString &name) {
        for (const QJsonValue &e : result["chemistry"].toArray())
            if (e["elementName"].toString() == name)
                return e.toObject();
        return QJsonObject();
    };
    QCOMPARE(number(table[0]["Cr"]), element(alloy, "Cr")["concentration"].toDouble());
    QVERIFY(near(number(table[0]["Cr \u00b1 (2\u03c3)"]),
                 2 * element(alloy, "Cr")["error"].toDouble()));
    QCOMPARE(table[0]["Cr (ppm)"], QString());
    QCOMPARE(table[1]["Cr"], QString());
    // Errors and detection limits in the unit of their value.
    const QJsonObject cr = element(rohs, "Cr");
    QVERIFY(near(number(table[1]["Cr (ppm)"]), cr["concentration"].toDouble() * 10000));
    QVERIFY(near(number(table[1]["Cr (ppm) \u00b1 (2\u03c3)"]),
                 2 * cr["error"].toDouble() * 10000));
    const QJsonObject hg = element(rohs, "Hg");
    QVERIFY(hg["concentration"].toDouble() < 3 * hg["error"].toDouble());
    QVERIFY2(table[1]["Hg (ppm)"].startsWith("< "), qPrintable(table[1]["Hg (ppm)"]));
    QVERIFY(near(number(table[1]["Hg (ppm)"].mid(2)), 3 * hg["error"].toDouble() * 10000));
    QCOMPARE(number(table[1]["Ca"]), element(rohs, "Ca")["concentration"].toDouble());
}

void TestCsvExport::abortLeavesNoFile()
{
    QTemporaryDir dir;
    const QString input = resultsFile(
            dir.path(), { sampleJson("01-stainless-316", 1), sampleJson("05-brass-repeat", 2) });
    QDir out(dir.filePath("out"));
    QVERIFY(out.mkpath("."));
    int done = 0;
    auto progress = [&done](int written, int) { done = written; };
    auto aborted = [&done] { return done >= 1; };

    Js2Csv csv;
    csv.setExportsInfo(out.path(), "a_chemistry", nullptr, csvTemplate());
    QVERIFY(!csv.performCsvExport(input, aborted, progress));
    QCOMPARE(csv.errorCode(), XrfErrorInfo::OperationAborted);
    QCOMPARE(entries(out.path()), QStringList());

    done = 0;
    Js2Msa msa;
    QVERIFY(!msa.convert(input, out.filePath("a"), aborted, progress));
    QCOMPARE(msa.errorCode(), XrfErrorInfo::OperationAborted);
    QCOMPARE(entries(out.path()), QStringList());
}

void TestCsvExport::msaFilesReadBack()
{
    static const char *months[] = { "JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                    "JUL", "AUG", "SEP", "OCT", "NOV", "DEC" };
    QTemporaryDir dir;
    QJsonObject bare = sampleJson("03-coating-au-ni-cu", 103);
    bare["spectra"] = QJsonArray();
    const QList<QJsonObject> results { sampleJson("01-stainless-316", 101), bare,
                                       sampleJson("05-brass-repeat", 102) };
    Js2Msa msa;
    QVERIFY(msa.convert(resultsFile(dir.path(), results), dir.filePath("beam")));
    QStringList names = msa.files();
    names.sort();
    QCOMPARE(names,
             QStringList({ dir.filePath("beam-101-1.msa"), dir.filePath("beam-101-2.msa"),
                           dir.filePath("beam-102-1.msa"), dir.filePath("beam-102-2.msa") }));

    for (const QJsonObject &result : { results[0], results[2] }) {
        const QString dateTime = result["analysis"]["testDateTime"].toString();
        const QString date = QString("%1-%2-%3")
                                     .arg(dateTime.mid(8, 2),
                                          months[dateTime.mid(5, 2).toInt() - 1], dateTime.left(4));
        for (const QJsonValue &value : result["spectra"].toArray()) {
            const QJsonObject spectrum = value.toObject();
            QFile file(dir.filePath(QString("beam-%1-%2.msa")
                                            .arg(result["analysis"]["testId"].toInt())
                                            .arg(spectrum["exposureNumber"].toInt())));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            QVERIFY(text.endsWith("\r\n"));
            QStringList keywords;
            QHash<QString, QString> header;
            QVector<quint32> data;
            bool inData = false, ended = false;
            for (const QByteArray &line : text.chopped(1).split('\n')) {
                QVERIFY2(line.endsWith('\r') && line.size() <= 81, line.constData());
                const QString l = QString::fromLatin1(line.chopped(1));
                if (l.startsWith('#')) {
                    const QString keyword = l.section(':', 0, 0).trimmed();
                    keywords << keyword;
                    header.insert(keyword, l.section(':', 1).trimmed());
                    inData = keyword == "#SPECTRUM";
                    ended = keyword == "#ENDOFDATA";
                } else if (inData) {
                    data << l.trimmed().toUInt();
                }
            }
            QVERIFY(ended);
            // The words of the format, which readers look for.
            QCOMPARE(header["#SPECTRUM"], QString("Spectral Data Starts Here"));
            QCOMPARE(header["#ENDOFDATA"], QString("End Of Data and File"));
            QCOMPARE(keywords.mid(0, 7),
                     QStringList({ "#FORMAT", "#VERSION", "#TITLE", "#DATE", "#TIME", "#OWNER",
                                   "#NPOINTS" }));
            QCOMPARE(header["#DATE"], date);
            QCOMPARE(header["#TIME"], dateTime.mid(11, 5));
            QCOMPARE(header["#XPERCHAN"].toDouble(), spectrum["energySlope"].toDouble());
            QCOMPARE(header["#OFFSET"].toDouble(), spectrum["energyOffset"].toDouble());
            QCOMPARE(header["#LIVETIME"].toDouble(), spectrum["liveTime"].toDouble());
            QCOMPARE(header["#REALTIME"].toDouble(), spectrum["realTime"].toDouble());
            QCOMPARE(header["#BEAMKV"].toDouble(), spectrum["tubeVoltageSet"].toDouble());
            QCOMPARE(data, counts(spectrum));
            QCOMPARE(header["#NPOINTS"].toDouble(), double(data.size()));
        }
    }
}

void TestCsvExport::msaFilesOpenInHyperSpy()
{
    if (!TestSupport::pythonHas("hyperspy"))
        QSKIP("python3-hyperspy is not installed");
    QTemporaryDir dir;
    const QList<QJsonObject> results { sampleJson("01-stainless-316", 101),
                                       sampleJson("02-rohs-abs-housing", 102) };
    Js2Msa msa;
    QVERIFY(msa.convert(resultsFile(dir.path(), results), dir.filePath("beam")));
    QStringList files = msa.files();
    files.sort();
    QCOMPARE(files.size(), 4);

    QByteArray json;
    QCOMPARE(runTool(TestSupport::debianPython(),
                     QStringList { "-c",
                                   "import json, sys\n"
                                   "import hyperspy.api as hs\n"
                                   "loaded = []\n"
                                   "for path in sys.argv[1:]:\n"
                                   "    s = hs.load(path)\n"
                                   "    axis = s.axes_manager.signal_axes[0]\n"
                                   "    loaded.append({'counts': [int(c) for c in s.data],\n"
                                   "                   'offset': axis.offset,\n"
                                   "                   'scale': axis.scale,\n"
                                   "                   'units': axis.units})\n"
                                   "json.dump(loaded, sys.stdout)\n" }
                             + files,
                     &json),
             0);
    const QJsonArray loaded = QJsonDocument::fromJson(json).array();
    QCOMPARE(loaded.size(), files.size());
    int i = 0;
    for (const QJsonObject &result : results) {
        for (const QJsonValue &value : result["spectra"].toArray()) {
            const QJsonObject spectrum = value.toObject();
            const QJsonObject file = loaded.at(i).toObject();
            QVERIFY2(files.at(i).endsWith(QString("-%1-%2.msa")
                                                  .arg(result["analysis"]["testId"].toInt())
                                                  .arg(spectrum["exposureNumber"].toInt())),
                     qPrintable(files.at(i)));
            QVector<quint32> channels;
            for (const QJsonValue &count : file["counts"].toArray())
                channels << quint32(count.toDouble());
            QCOMPARE(channels, counts(spectrum));
            QCOMPARE(file["offset"].toDouble(), spectrum["energyOffset"].toDouble());
            QCOMPARE(file["scale"].toDouble(), spectrum["energySlope"].toDouble());
            QCOMPARE(file["units"].toString(), QString("keV"));
            ++i;
        }
    }
}

void TestCsvExport::zipPacksFolderTree()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("export");
    const QHash<QString, QByteArray> files { { "a.csv", "x,y\r\n1,2\r\n" },
                                             { "b.msa", QByteArray(70000, 'b') },
                                             { "sub/c.txt", "c" },
                                             { "sub/deeper/d.bin", QByteArray("\0\1\2", 3) } };
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY(TestSupport::writeFile(src + "/" + it.key(), it.value()));
    QVERIFY(QDir(src).mkpath("empty"));
    QVERIFY(QDir(dir.path()).mkdir("out"));
    const QString archive = dir.filePath("out/all.zip");

    QCOMPARE(XrfUtils::zip(src, "all.zip", dir.filePath("out"), true, true, false, QString()),
             XrfErrorInfo::NoError);
    QCOMPARE(runTool("unzip", { "-tq", archive }), 0);
    QByteArray listing;
    QCOMPARE(runTool("zipinfo", { "-1", archive }, &listing), 0);
    QStringList listed = QString::fromUtf8(listing).split('\n', Qt::SkipEmptyParts);
    listed.sort();
    QCOMPARE(
            listed,
            QStringList({ "export/", "export/a.csv", "export/b.msa", "export/empty/", "export/sub/",
                          "export/sub/c.txt", "export/sub/deeper/", "export/sub/deeper/d.bin" }));
    for (auto it = files.begin(); it != files.end(); ++it) {
        QByteArray content;
        QCOMPARE(runTool("unzip", { "-p", archive, "export/" + it.key() }, &content), 0);
        QCOMPARE(content, it.value());
    }
    QCOMPARE(entries(dir.filePath("out")), QStringList { "all.zip" });

    // Flat: only the files directly in the folder, no folder name.
    QCOMPARE(XrfUtils::zip(src, "top.zip", dir.filePath("out"), false, false, false, QString()),
             XrfErrorInfo::NoError);
    QCOMPARE(runTool("zipinfo", { "-1", dir.filePath("out/top.zip") }, &listing), 0);
    QCOMPARE(QString::fromUtf8(listing).split('\n', Qt::SkipEmptyParts),
             QStringList({ "a.csv", "b.msa" }));
}

void TestCsvExport::failedZipLeavesNoFile()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src");
    QVERIFY(TestSupport::writeFile(src + "/a.txt", "a"));

    // Read-only by its mode bits: refused even where root could write.
    const QString locked = dir.filePath("locked");
    QVERIFY(QDir(locked).mkpath("."));
    QVERIFY(QFile::setPermissions(locked,
                                  QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    QCOMPARE(XrfUtils::zip(src, "x.zip", locked, true, false, false, QString()),
             XrfErrorInfo::FileCreateFailed);
    QCOMPARE(entries(locked), QStringList());
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // A failure after the archive is complete: the old archive stays, no temporary remains.
    const QString out = dir.filePath("out");
    QVERIFY(TestSupport::writeFile(out + "/x.zip", "old"));
    qputenv("XRF_FAULT_POINT", "zip-rename");
    const auto code = XrfUtils::zip(src, "x.zip", out, true, false, false, QString());
    qunsetenv("XRF_FAULT_POINT");
    QCOMPARE(code, XrfErrorInfo::FileCreateFailed);
    QCOMPARE(entries(out), QStringList { "x.zip" });
    QCOMPARE(TestSupport::readFile(out + "/x.zip"), QByteArray("old"));
}

void TestCsvExport::zipWithPassword()
{
    QTemporaryDir dir;
    QVERIFY(TestSupport::writeFile(dir.filePath("src/secret.txt"), "lot 7 results"));
    QCOMPARE(XrfUtils::zip(dir.filePath("src"), "s.zip", dir.path(), false, false, false,
                           "pass word"),
             XrfErrorInfo::NoError);

    zip_t *archive
            = zip_open(QFile::encodeName(dir.filePath("s.zip")).constData(), ZIP_RDONLY, nullptr);
    QVERIFY(archive);
    zip_file_t *plain = zip_fopen(archive, "secret.txt", 0);
    QVERIFY(!plain); // no password, no content
    zip_file_t *file = zip_fopen_encrypted(archive, "secret.txt", 0, "pass word");
    QVERIFY(file);
    char buffer[64];
    const zip_int64_t read = zip_fread(file, buffer, sizeof buffer);
    zip_fclose(file);
    zip_discard(archive);
    QCOMPARE(QByteArray(buffer, int(read)), QByteArray("lot 7 results"));
}

QTEST_GUILESS_MAIN(TestCsvExport)
#include "tst_csvexport.moc"
