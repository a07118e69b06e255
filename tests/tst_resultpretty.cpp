// The display form of a result: rounding and units, the order of the elements, values that
// are not numbers, and the samples as a screen would show them.

#include "xrfkorviresultpretty.h"
#include "xrfmethoddisplaysettings.h"

#include <QJsonDocument>
#include <QtTest>

#include "libraryfixture.h"

#include <ctime>

namespace {

XrfKorviResult withChemistry(const QList<QPair<QString, float>> &elements)
{
    XrfKorviResult result;
    for (const auto &e : elements) {
        XrfChemistryResult c;
        c.setElementName(e.first);
        c.setConcentration(e.second);
        result.chemistry() << c;
    }
    return result;
}

QJsonArray shown(const XrfKorviResult &result, const QString &list,
                 const MethodDisplaySettings *settings = nullptr)
{
    XrfKorviResultPretty pretty(result);
    pretty.prettify(settings);
    return pretty.toJsonObject().value(list).toArray();
}

QStringList texts(const QJsonArray &entries, const QString &key = QStringLiteral("text"))
{
    QStringList list;
    for (const QJsonValue &entry : entries)
        list << entry.toObject().value(key).toString();
    return list;
}

} // namespace

class TestResultPretty : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rounding_data();
    void rounding();
    void unitsFollowTheSettings();
    void statedUnits();
    void elementOrder();
    void valuesThatAreNotNumbers();
    void samples();
    void settingsJson();
};

void TestResultPretty::initTestCase()
{
    // An hour from UTC in November, so that local time shows.
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void TestResultPretty::rounding_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<float>("error");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("number");
    QTest::newRow("percent") << 67.5f << 0.2f << "67.50 ± 0.20 %" << 67.5;
    QTest::newRow("half up to a hundred") << 99.995f << 0.005f << "100.00 ± 0.01 %" << 100.0;
    QTest::newRow("half below binary") << 2.675f << 0.125f << "2.68 ± 0.13 %" << 2.68;
    QTest::newRow("below one percent") << 0.9994f << 0.02f << "0.999 ± 0.020 %" << 0.999;
    QTest::newRow("at the threshold") << 0.1f << 0.01f << "0.100 ± 0.010 %" << 0.1;
    QTest::newRow("below the threshold") << 0.0995f << 0.004f << "995 ± 40 ppm" << 995.0;
    QTest::newRow("ppm rounds up") << 0.09995f << 0.00004f << "1000 ± 0 ppm" << 1000.0;
    QTest::newRow("zero") << 0.0f << 0.0f << "0 ± 0 ppm" << 0.0;
    QTest::newRow("negative percent") << -1.235f << 0.1f << "-1.24 ± 0.10 %" << -1.24;
    QTest::newRow("negative ppm") << -0.0995f << 0.004f << "-995 ± 40 ppm" << -995.0;
    QTest::newRow("no negative zero") << -0.00004f << 0.0001f << "0 ± 1 ppm" << 0.0;
    QTest::newRow("no error") << 18.21f << float(qQNaN()) << "18.21 %" << 18.21;
}

void TestResultPretty::rounding()
{
    QFETCH(float, value);
    QFETCH(float, error);
    QFETCH(QString, text);
    QFETCH(double, number);
    XrfKorviResult result = withChemistry({ { "Cr", value } });
    result.chemistry()[0].setError(error);
    const QJsonObject reading = shown(result, "chemistry").at(0).toObject();
    QCOMPARE(reading.value("element").toString(), QStringLiteral("Cr"));
    QCOMPARE(reading.value("text").toString(), text);
    QCOMPARE(reading.value("value").toDouble(), number);
    QCOMPARE(reading.value("unit").toString(), text.section(' ', -1));
    if (qIsNaN(error))
        QVERIFY(reading.value("error").isNull());
    else
        QCOMPARE(reading.value("error").toDouble(), text.section(' ', 2, 2).toDouble());
}

void TestResultPretty::unitsFollowTheSettings()
{
    const XrfKorviResult result = withChemistry({ { "Fe", 18.25f },
                                                  { "Cr", 0.125f },
                                                  { "Ni", 0.0995f },
                                                  { "Mo", 0.005f },
                                                  { "V", 0.7f } });
    MethodDisplaySettings settings;
    settings.setPercentDecimals(1);
    settings.setSmallPercentDecimals(2);
    settings.setPpmThreshold(0.01);
    QCOMPARE(texts(shown(result, "chemistry", &settings)),
             (QStringList { "18.3 ± 0.0 %", "0.13 ± 0.00 %", "0.10 ± 0.00 %", "50 ± 0 ppm",
                            "0.70 ± 0.00 %" }));
    // A value equal to the threshold in its own digits is not below it, though 0.7f is.
    settings.setPpmThreshold(0.7);
    QCOMPARE(texts(shown(result, "chemistry", &settings)).last(), QStringLiteral("0.70 ± 0.00 %"));
    settings.setPpmThreshold(0);
    QCOMPARE(texts(shown(result, "chemistry", &settings), "unit"),
             (QStringList { "%", "%", "%", "%", "%" }));
}

void TestResultPretty::statedUnits()
{
    XrfKorviResult result = withChemistry(
            { { "Pb", 0.15f }, { "Cd", 0.0012f }, { "Fe", 0.05f }, { "Ca", 1.18f } });
    const float errors[] = { 0.0006f, 0.0004f, 0.002f, 0.04f };
    for (int i = 0; i < 4; ++i)
        result.chemistry()[i].setError(errors[i]);
    XrfPseudoElementResult sum;
    sum.setElementName("Pb+Cd");
    sum.setConcentration(0.0412f);
    result.pseudoElement() << sum;
    result.analysis().setMethodId("RoHS-Plastics");
    const MethodDisplaySettings settings
            = MethodDisplaySettings::fromJsonObject(QJsonDocument::fromJson(R"({
                "concentrationUnit": "%",
                "methods": { "RoHS-Plastics": { "elementUnits": { "Pb": "ppm", "Cd": "ppm" } },
                             "Soil": { "concentrationUnit": "ppm" } } })")
                                                            .object());
    // A stated unit wins over the threshold either way; the error is in its value's unit.
    QCOMPARE(texts(shown(result, "chemistry", &settings)),
             (QStringList { "1500 ± 6 ppm", "12 ± 4 ppm", "0.050 ± 0.002 %", "1.18 ± 0.04 %" }));
    // Pseudo elements keep the threshold.
    QCOMPARE(texts(shown(result, "pseudoElements", &settings)), QStringList { "412 ± 0 ppm" });

    // Another method's results: what the settings state for all.
    result.analysis().setMethodId("Alloy-General");
    QCOMPARE(texts(shown(result, "chemistry", &settings)),
             (QStringList { "0.150 ± 0.001 %", "0.001 ± 0.000 %", "0.050 ± 0.002 %",
                            "1.18 ± 0.04 %" }));
    result.analysis().setMethodId("Soil");
    QCOMPARE(texts(shown(result, "chemistry", &settings), "unit"),
             (QStringList { "ppm", "ppm", "ppm", "ppm" }));
    // Nothing stated: the threshold decides.
    result.analysis().setMethodId("RoHS-Plastics");
    QCOMPARE(texts(shown(result, "chemistry")),
             (QStringList { "0.150 ± 0.001 %", "12 ± 4 ppm", "500 ± 20 ppm", "1.18 ± 0.04 %" }));
}

void TestResultPretty::elementOrder()
{
    XrfKorviResult result = withChemistry(
            { { "Fe", 70.f }, { "Cr", 18.f }, { "Mn", 1.f }, { "Ni", 9.f }, { "Co", 0.2f } });
    for (const char *name : { "PREN", "Cr+Ni" }) {
        XrfPseudoElementResult p;
        p.setElementName(name);
        result.pseudoElement() << p;
    }
    MethodDisplaySettings settings;
    settings.setElementOrder({ "Ni", "Cr+Ni", "Cr", "W", "Ni", "CO" });
    QCOMPARE(texts(shown(result, "chemistry", &settings), "element"),
             (QStringList { "Ni", "Cr", "Fe", "Mn", "Co" }));
    QCOMPARE(texts(shown(result, "pseudoElements", &settings), "element"),
             (QStringList { "Cr+Ni", "PREN" }));
}

void TestResultPretty::valuesThatAreNotNumbers()
{
    XrfKorviResult result = withChemistry(
            { { "Fe", float(qQNaN()) }, { "Cr", float(qInf()) }, { "Ni", float(-qInf()) } });
    XrfPseudoElementResult ce;
    ce.setNotApplicable(true);
    ce.setConcentration(12.f);
    result.pseudoElement() << ce;
    XrfCoatingResult au;
    au.setLayerOrder(1);
    au.setThickness(qQNaN());
    result.coating() << au;
    XrfGradeMatch grade;
    grade.setMatchNumber(qInf());
    result.gradeMatch() << grade;
    result.setHasCalCheck(true);
    result.calCheck()->setRate(qQNaN());

    const QJsonObject o = XrfKorviResultPretty(result).toJsonObject();
    for (const char *list : { "chemistry", "pseudoElements", "coating" }) {
        for (const QJsonValue &v : o.value(list).toArray()) {
            QCOMPARE(v.toObject().value("text").toString(), QStringLiteral("n/a"));
            QVERIFY(v.toObject().value("value").isNull() && v.toObject().value("error").isNull());
        }
    }
    QVERIFY(o.value("gradeMatch").toArray().at(0).toObject().value("matchNumber").isNull());
    const QJsonArray items = o.value("calCheck").toObject().value("items").toArray();
    QVERIFY(items.at(0).toObject().value("measured").isNull());
    // The text form is valid JSON and reads back the same.
    QJsonParseError error;
    QCOMPARE(QJsonDocument::fromJson(QJsonDocument(o).toJson(), &error).object(), o);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void TestResultPretty::samples()
{
    const QJsonObject o
            = XrfKorviResultPretty(TestSupport::sample("01-stainless-316")).toJsonObject();
    // The sample's element list, read from the file apart from the model.
    QFile file(TestSupport::samplePath("01-stainless-316.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList elements;
    for (const QJsonValue &c : QJsonDocument::fromJson(file.readAll())["chemistry"].toArray())
        elements << c.toObject().value("elementName").toString();
    QCOMPARE(elements.size(), 11);
    QCOMPARE(texts(o.value("chemistry").toArray(), "element"), elements);
    QCOMPARE(texts(o.value("chemistry").toArray()),
             (QStringList { "67.50 ± 0.21 %", "16.94 ± 0.09 %", "10.72 ± 0.08 %", "2.08 ± 0.02 %",
                            "1.62 ± 0.05 %", "0.480 ± 0.060 %", "0.380 ± 0.020 %",
                            "0.170 ± 0.030 %", "710 ± 120 ppm", "240 ± 110 ppm", "110 ± 40 ppm" }));
    QCOMPARE(texts(o.value("pseudoElements").toArray()),
             (QStringList { "23.80 ± 0.11 %", "27.66 ± 0.12 %", "n/a" }));
    QVERIFY(o.value("testId").isNull());
    QCOMPARE(o.value("dateTimeUtc").toString(), QStringLiteral("2026-11-23 08:15:42.318"));
    QCOMPARE(o.value("dateTimeLocal").toString(), QStringLiteral("2026-11-23 09:15:42"));
    QCOMPARE(o.value("method").toString(), QStringLiteral("General Metals"));
    QVERIFY(!o.contains("calCheck"));

    // Stored as Au 1, Ni 2, Cu 0: shown from the top down, the substrate last.
    MethodDisplaySettings settings;
    settings.setThicknessDecimals(3);
    const QJsonArray layers
            = shown(TestSupport::sample("03-coating-au-ni-cu"), "coating", &settings);
    QCOMPARE(texts(layers), (QStringList { "0.810 ± 0.030 µm", "3.180 ± 0.120 µm", "substrate" }));
}

void TestResultPretty::settingsJson()
{
    MethodDisplaySettings settings;
    settings.setElementOrder({ "Fe", "Cr" });
    settings.setPercentDecimals(1);
    settings.setSmallPercentDecimals(4);
    settings.setPpmThreshold(0.05);
    settings.setThicknessDecimals(0);
    settings.setConcentrationUnit(MethodDisplaySettings::Unit::Percent);
    settings.setElementUnits({ { "Cd", MethodDisplaySettings::Unit::Ppm } });
    settings.setMethodSettings({ { "RoHS", QJsonObject { { "percentDecimals", 3 } } } });
    const QJsonObject method { { "displaySettings", settings.toJsonObject() } };
    QCOMPARE(MethodDisplaySettings::fromMethodJson(method), settings);
    QCOMPARE(MethodDisplaySettings::fromMethodJson({}), MethodDisplaySettings());

    // Unusable members keep the defaults; usable ones beside them are read.
    const MethodDisplaySettings odd
            = MethodDisplaySettings::fromJsonObject(QJsonDocument::fromJson(R"({
                "elementOrder": ["Ni", 3, "Ni", "Mo"], "percentDecimals": 2.5,
                "smallPercentDecimals": 7, "thicknessDecimals": "1", "ppmThreshold": -1,
                "concentrationUnit": "mg/kg", "elementUnits": {"Cd": "ppm", "Pb": 3, "Hg": "PPM"},
                "methods": {"RoHS": {"concentrationUnit": "ppm"}, "Soil": "ppm"}})")
                                                            .object());
    QCOMPARE(odd.elementOrder(), (QStringList { "Ni", "Mo" }));
    QCOMPARE(odd.percentDecimals(), 2);
    QCOMPARE(odd.smallPercentDecimals(), 3);
    QCOMPARE(odd.thicknessDecimals(), 2);
    QCOMPARE(odd.ppmThreshold(), 0.1);
    QCOMPARE(odd.concentrationUnit(), MethodDisplaySettings::Unit::Automatic);
    QCOMPARE(odd.elementUnits(),
             (QMap<QString, MethodDisplaySettings::Unit> {
                     { "Cd", MethodDisplaySettings::Unit::Ppm } }));
    // A method's members over the others, the rest kept; an unknown method changes nothing.
    const MethodDisplaySettings rohs = odd.forMethod("RoHS");
    QCOMPARE(rohs.concentrationUnit(), MethodDisplaySettings::Unit::Ppm);
    QCOMPARE(rohs.elementOrder(), odd.elementOrder());
    QCOMPARE(rohs.elementUnits(), odd.elementUnits());
    QVERIFY(rohs.methodSettings().isEmpty());
    QCOMPARE(odd.forMethod("Soil").concentrationUnit(), MethodDisplaySettings::Unit::Automatic);
    QCOMPARE(odd.forMethod("Other").elementUnits(), odd.elementUnits());
}

QTEST_GUILESS_MAIN(TestResultPretty)
#include "tst_resultpretty.moc"
