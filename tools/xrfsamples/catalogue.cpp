// Values are those a user would recognise: real grades with their limits, plausible
// errors, sites and names. Doubles that the database writes as text with 6 significant
// digits (calibration check values, image geometry) are given with at most 6, so that a
// stored and reread sample still equals its file.

#include "catalogue.h"

#include <cmath>
#include <numeric>

namespace {

// Method family numbers of the method service; only coating's is fixed by the model.
constexpr int kAlloyFamily = 0;
constexpr int kMiningFamily = 2;
constexpr int kPlasticsFamily = 6;

constexpr Method kAlloyMethod { "Alloy-General", "General Metals", kAlloyFamily };
constexpr Method kRohsMethod { "RoHS-Plastics", "RoHS Plastics", kPlasticsFamily };
constexpr Method kCoatingMethod { "Coating", "Coating Thickness",
                                  XrfAnalysisResult::CoatingMethodFamily };
constexpr Method kCalCheckMethod { "CalCheck", "System Check", XrfAnalysisResult::NoMethodFamily };
constexpr Method kSoilMethod { "Soil-Mining", "Soil", kMiningFamily };

QVector<Concentration> stainless316Chemistry()
{
    return { { "Fe", 67.50, 0.21 }, { "Cr", 16.94, 0.09 }, { "Ni", 10.72, 0.08 },
             { "Mo", 2.08, 0.02 },  { "Mn", 1.62, 0.05 },  { "Si", 0.48, 0.06 },
             { "Cu", 0.38, 0.02 },  { "Co", 0.17, 0.03 },  { "V", 0.071, 0.012 },
             { "W", 0.024, 0.011 }, { "Nb", 0.011, 0.004 } };
}

Sample stainless316()
{
    SampleBuilder b({ 1, "01-stainless-316.json", "2026-11-23 08:15:42.318", 1, "NORMAL",
                      "316-bar-0042", "operator", kAlloyMethod });
    b.setLocation(51.4344, 6.7623, 31.5);
    XrfAnalysisResult &a = b.analysis();
    a.setTiTemplateName(QStringLiteral("Scrap intake"));
    a.setPseudoElementConfigName(QStringLiteral("Stainless indices"));
    a.setPseudoElementGradeMatchEnable(0);
    a.setDigitalIOStateBefore(0);
    a.setDigitalIOStateAfter(1);

    b.addChemistry(stainless316Chemistry());

    XrfKorviResult &r = b.result();
    auto pseudo = [&r](const char *name, const char *formula, bool na, double value, double error) {
        XrfPseudoElementResult p;
        p.setElementName(QString::fromLatin1(name));
        p.setFormula(QString::fromLatin1(formula));
        p.setNotApplicable(na);
        p.setConcentration(float(value));
        p.setError(float(error));
        r.pseudoElement().append(p);
    };
    pseudo("PREN", "Cr+3.3*Mo", false, 23.80, 0.11);
    pseudo("Cr+Ni", "Cr+Ni", false, 27.66, 0.12);
    // Needs carbon, which the analyser cannot measure.
    pseudo("CE", "C+Mn/6+(Cr+Mo+V)/5+(Ni+Cu)/15", true, 0.0, 0.0);

    b.addGrade("316", 0.42, 1.1, "Match",
               "Cr 16-18, Ni 10-14, Mo 2-3, Mn 0-2, Si 0-0.75, Cu 0-0.5");
    b.addGrade("316L", 0.47, 1.3, "Possible match",
               "Cr 16-18, Ni 10-14, Mo 2-3, Mn 0-2, Si 0-0.75, Cu 0-0.35");
    b.addGrade("317L", 3.85, 4.6, "No match", "Cr 18-20, Ni 11-15, Mo 3-4, Mn 0-2");

    b.addTestInfo({ { "Heat Number", "H-44127" },
                    { "Customer", "Müller Schrott GmbH" },
                    { "Lot", "L-2026-311" } });

    Exposure main = mainBeam(52000);
    main.drift = drift("2026-11-23 07:51:09.662", 1.00042, -0.0031);
    b.measure(kSteel, { main, lightBeam(24000) });

    b.addPhoto(Look::BrushedSteel);
    // The macro camera: a close-up of the surface, without the spot marked.
    b.addPhoto(Look::SteelMacro, { 1, 0, 0, 320, 240, 158, 118, false, 0 });
    return b.sample();
}

Sample rohsPlastic()
{
    SampleBuilder b({ 2, "02-rohs-abs-housing.json", "2026-11-23 10:02:07.045", 2, "NORMAL",
                      "ABS-housing-17", "operator", kRohsMethod });
    XrfAnalysisResult &a = b.analysis();
    a.setTiTemplateName(QStringLiteral("RoHS lot"));
    a.setRohsClassificationEnum(XrfAnalysisResult::RohsInconclusive);
    a.setRohsActionLevelEnum(0);
    a.setRohsActionLevelName(QStringLiteral("IEC 62321 screening"));
    a.setPythonPluginResult(QStringLiteral(
            "{\"plugin\":\"rohs_verdict\",\"version\":\"1.2\",\"verdict\":\"INCONCLUSIVE\","
            "\"reason\":\"Br 452 ppm above 300 ppm screening limit\"}"));

    // The instrument stores percent: 0.0012 % is 12 ppm.
    b.addChemistry({ { "Ca", 1.18, 0.04 },
                     { "Ti", 0.852, 0.021 },
                     { "Sb", 0.118, 0.006 },
                     { "Br", 0.0452, 0.0011 },
                     { "Zn", 0.0296, 0.0015 },
                     { "Fe", 0.0183, 0.0022 },
                     { "Pb", 0.0085, 0.0006 },
                     { "Cr", 0.0041, 0.0013 },
                     { "Cd", 0.0012, 0.0004 },
                     { "Hg", 0.0002, 0.0003 } });

    XrfKorviResult &r = b.result();
    const std::pair<const char *, int> levels[] = { { "Cd", XrfAnalysisResult::RohsPass },
                                                    { "Pb", XrfAnalysisResult::RohsPass },
                                                    { "Hg", XrfAnalysisResult::RohsPass },
                                                    { "Br", XrfAnalysisResult::RohsInconclusive },
                                                    { "Cr", XrfAnalysisResult::RohsPass } };
    for (const auto &level : levels) {
        XrfActionLevelResult l;
        l.setElementName(QString::fromLatin1(level.first));
        l.setActionLevelEnum(level.second);
        r.actionLevel().append(l);
    }

    b.addTestInfo({ { "Part Number", "ENC-2231-BK" },
                    { "Supplier", "Shenzhen Polymer Co." },
                    { "Colour", "black" } });

    Exposure main = heavyBeam(61000);
    main.microAmps = 50;
    b.measure(kPlastic, { main, lightBeam(18000) });

    b.addPhoto(Look::BlackPlastic);
    return b.sample();
}

Sample coating()
{
    SampleBuilder b({ 3, "03-coating-au-ni-cu.json", "2026-11-24 09:41:30.502", 1, "NORMAL",
                      "USB-C-pin-A7", "a.nakamura", kCoatingMethod });
    XrfAnalysisResult &a = b.analysis();
    a.setCollimatedStatusInt(1);
    a.setCollimated(true);
    a.setCoatingConfigName(QStringLiteral("Au/Ni/Cu connector"));
    a.setCoatingDisplayUnitEnum(3); // micrometres
    a.setAuPlatingEnum(1);

    XrfKorviResult &r = b.result();
    auto layer = [&r](const char *element, int order, double thickness, double error) {
        XrfCoatingResult c;
        c.setElement(QString::fromLatin1(element));
        c.setLayerOrder(order);
        c.setFactor(1.0f);
        c.setThickness(float(thickness));
        c.setError(float(error));
        r.coating().append(c);
    };
    layer("Au", 1, 0.81, 0.03);
    layer("Ni", 2, 3.18, 0.12);
    layer("Cu", 0, 0.0, 0.0);

    b.addTestInfo({ { "Part Number", "CN-USB-C-24P" },
                    { "Requirement", "Au ≥ 0.76 µm over Ni ≥ 2.5 µm" } });

    // What the detector sees through the thin layers, roughly.
    const Composition seen = { { QStringLiteral("Au"), 28.0 },
                               { QStringLiteral("Ni"), 38.0 },
                               { QStringLiteral("Cu"), 34.0 } };
    // Two exposures of one setting through the 3 mm collimator, averaged by the method.
    Exposure x = mainBeam(38000);
    x.microAmps = 40;
    x.filter = filter(13, 100, 3000, true);
    x.filterPosition = 3;
    x.colMultiplier = 4;
    b.measure(seen, kPlated, { x, x });

    b.addPhoto(Look::Connector, { 1, 30, 64, 192, 180, 179, 120, true, 9 });
    return b.sample();
}

Sample calCheck()
{
    SampleBuilder b({ 4, "04-calibration-check.json", "2026-11-25 07:58:03.914", 1, "CALCHECK",
                      "SysCheck-1125", "operator", kCalCheckMethod });
    XrfKorviResult &r = b.result();
    r.setHasCalCheck(true);
    XrfCalCheckResult *c = r.calCheck();
    // Peaks are channels: Fe K-alpha and the Ag K-alpha of the tube on the check coupon.
    c->setResolution(142);
    c->setPeak1(321);
    c->setPeak2(1109);
    c->setOffset(-0.0131);
    c->setSlope(0.019991);
    c->setErrorCode(0);
    c->setRestandardizeType(1);
    c->setExpectedSlope(0.019987);
    c->setExpectedOffset(-0.0124);
    c->setExpectedRate(48000);
    c->setExpectedResolution(145);

    b.addTestInfo({ { "Check Standard", "316 coupon S/N 0917" } });

    Exposure x = mainBeam(48215);
    x.energySlope = 0.019991;
    x.energyOffset = -0.0131;
    x.probeTemperature = -24.8;
    b.measure(composition(stainless316Chemistry()), kSteel, { x });
    // The measured rate is that of the check spectrum, in whole counts per second.
    const QVector<quint32> &counts = r.spectra().constFirst().channels();
    c->setRate(std::round(std::accumulate(counts.cbegin(), counts.cend(), 0.0)
                          / r.spectra().constFirst().liveTime()));

    b.addPhoto(Look::Coupon);
    return b.sample();
}

Sample brassRepeat()
{
    SampleBuilder b({ 5, "05-brass-repeat.json", "2026-11-25 11:20:16.733", 3, "REPEAT",
                      "brass-fitting-12", "j.kowalski", kAlloyMethod });
    XrfAnalysisResult &a = b.analysis();
    a.setRepeatTestIndex(2);
    a.setRepeatTestTotal(3);
    a.setUserFactorName(QStringLiteral("Brass shop"));
    // Averaging multiplies by it: a factor near 1, as a user's normalisation is.
    a.setUserFactorNormalizeFactor(1.0);
    a.setDigitalIOStateBefore(2);
    a.setDigitalIOStateAfter(2);

    b.addChemistry({ { "Cu", 61.84, 0.11 },
                     { "Zn", 35.21, 0.10 },
                     { "Pb", 2.78, 0.04 },
                     { "Fe", 0.118, 0.012 },
                     { "Sn", 0.041, 0.009 },
                     { "Ni", 0.012, 0.005 } });

    XrfKorviResult &r = b.result();
    auto factor = [&r](const char *element, double f, double offset, bool entered) {
        XrfUserFactorResult u;
        u.setElementName(QString::fromLatin1(element));
        u.setFactor(float(f));
        u.setOffset(float(offset));
        u.setUserEntered(entered);
        r.userFactor().append(u);
    };
    factor("Cu", 1.012, -0.15, true);
    factor("Zn", 0.994, 0.08, true);
    factor("Pb", 1.0, 0.0, false);

    b.addGrade("C36000", 0.31, 0.9, "Match", "Cu 60-63, Pb 2.5-3.7, Fe 0-0.35, Zn 32.2-37.5");
    b.addGrade("C37700", 2.9, 3.8, "No match", "Cu 58-61, Pb 1.5-2.5, Fe 0-0.3, Zn 36.2-40.5");

    b.addTestInfo({ { "Job", "Fittings lot 7" } });

    b.measure(kBrass, { mainBeam(58000), lightBeam(21000) });

    b.addPhoto(Look::Brass);
    return b.sample();
}

Sample soilRegression()
{
    SampleBuilder b({ 6, "06-soil-regression.json", "2026-11-26 14:05:51.090", 4, "REGRESSION",
                      "SOIL-REF-B14", "m.okafor", kSoilMethod });
    b.setLocation(47.2692, 11.4041, 574.5);
    XrfAnalysisResult &a = b.analysis();
    a.setCompoundTemplateName(QStringLiteral("Oxides"));
    a.setCompoundSuppress100Warning(true);
    a.setLeadPaintActionLevel(1.0);

    XrfKorviResult &r = b.result();
    r.regressionInfo().setHistoricalTestId(3);
    r.regressionInfo().setHistoricalDateTime(QStringLiteral("2026-11-02 09:03:11.207"));
    r.regressionInfo().setHistoricalDailyId(1);
    r.regressionInfo().setHistoricalTidName(QStringLiteral("SOIL-REF-B14"));

    b.addChemistry(
            { { "Si", 27.9, 0.35 },     { "Al", 6.85, 0.41 },     { "Fe", 3.21, 0.04 },
              { "Ca", 1.85, 0.03 },     { "K", 1.72, 0.03 },      { "Ti", 0.382, 0.011 },
              { "P", 0.082, 0.021 },    { "Mn", 0.0612, 0.0031 }, { "Ba", 0.0512, 0.0062 },
              { "S", 0.031, 0.009 },    { "Zr", 0.0254, 0.0004 }, { "Sr", 0.0231, 0.0003 },
              { "Zn", 0.0158, 0.0006 }, { "Cl", 0.012, 0.004 },   { "Rb", 0.0098, 0.0002 },
              { "V", 0.0095, 0.0021 },  { "Cr", 0.0089, 0.0018 }, { "Pb", 0.0087, 0.0004 },
              { "Cu", 0.0041, 0.0004 }, { "Ni", 0.0036, 0.0009 }, { "As", 0.0012, 0.0003 },
              { "Nb", 0.0011, 0.0002 }, { "Sn", 0.0006, 0.0003 }, { "Mo", 0.0002, 0.0002 } });

    const std::pair<const char *, std::pair<const char *, double>> oxides[] = {
        { "Si", { "SiO2", 2.1393 } }, { "Al", { "Al2O3", 1.8895 } }, { "Fe", { "Fe2O3", 1.4297 } },
        { "Ca", { "CaO", 1.3992 } },  { "K", { "K2O", 1.2046 } },    { "Ti", { "TiO2", 1.6681 } },
        { "P", { "P2O5", 2.2914 } },  { "Mn", { "MnO", 1.2912 } },
    };
    for (const auto &oxide : oxides) {
        XrfCompoundResult c;
        c.setElementName(QString::fromLatin1(oxide.first));
        c.setCompoundName(QString::fromLatin1(oxide.second.first));
        c.setFactor(float(oxide.second.second));
        r.compound().append(c);
    }

    b.addTestInfo({ { "Site", "Field B14" },
                    { "Depth", "0-30 cm" },
                    { "Preparation", "dried, sieved < 2 mm, cup" } });

    Exposure main = mainBeam(45000);
    main.ambientPressure = 951;
    main.drift = drift("2026-11-26 13:40:22.507", 0.99968, 0.0027);
    Exposure light = lightBeam(16000);
    light.ambientPressure = 951;
    Exposure heavy = heavyBeam(30000);
    heavy.ambientPressure = 951;
    heavy.drift = drift("2026-11-26 13:40:22.507", 0.99971, 0.0025);
    b.measure(kSoil, { main, light, heavy });

    b.addPhoto(Look::Soil);
    return b.sample();
}

// Texts that must survive storage, quoting and encoding unchanged.
Sample awkwardTexts()
{
    SampleBuilder b({ 7, "07-copper-awkward-texts.json", "2026-11-26 15:33:08.006", 5, "NORMAL",
                      "O'Brien pipe 3", "operator", kAlloyMethod });
    b.analysis().setTestErrorInfo(QStringLiteral("Sample didn't cover the window fully"));

    b.addChemistry({ { "Cu", 99.959, 0.05 },
                     { "P", 0.028, 0.006 },
                     { "Fe", 0.006, 0.002 },
                     { "Ag", 0.004, 0.001 },
                     { "Pb", 0.003, 0.001 } });

    b.addGrade("C12200", 0.18, 0.6, "Match", "Cu 99.9-100, P 0.015-0.04");

    b.addTestInfo({ { "Customer", "Renée Sørensen-Müller / 中山金属回收" },
                    { "Note", "3/4\" elbow; photos in C:\\xrf\\lot7\\" },
                    { "Prüfer", "Zoë Ødegård" } });

    b.measure(kCopper, { mainBeam(56000) });

    // The camera names its file itself; the test name is not part of it.
    b.addPhoto(Look::Copper, kInlineCamera, QStringLiteral("cam-obrien-pipe-3-1.jpeg"));
    return b.sample();
}

} // namespace

QList<Sample> sampleCatalogue()
{
    return { stainless316(), rohsPlastic(),    coating(),     calCheck(),
             brassRepeat(),  soilRegression(), awkwardTexts() };
}
