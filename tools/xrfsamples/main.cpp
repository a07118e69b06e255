// xrfsamples: writes the sample results (one JSON file each) and their camera images (JPEG)
// kept in samples/, so that hosts, tests and demos have results a user would recognise.
//
//     xrfsamples OUTDIR
//
// The output is deterministic: fixed dates, and noise from a seeded generator of our own
// (the std:: distributions differ between standard libraries). Every written file is read
// back and must give the same result; the exit code is 0 only when all of them do.
//
// Doubles that the database writes as text with 6 significant digits (spectrum and
// calibration check values, image geometry) are given at most 6 here, so that a stored and
// reread sample still equals its file.

#include "xrfkorviresult.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonDocument>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr int kChannels = 2048;
constexpr int kImageWidth = 320;
constexpr int kImageHeight = 240;
constexpr quint64 kSeed = 20261123;

// Method family numbers of the method service; only coating's is fixed by the model.
constexpr int kAlloyFamily = 0;
constexpr int kMiningFamily = 2;
constexpr int kPlasticsFamily = 6;

// Empty lists as "[]", the way the files have always had them; Qt spreads them over two lines.
QByteArray withShortEmptyLists(const QByteArray &json)
{
    static const QRegularExpression empty(QStringLiteral("\\[\\n *\\]"));
    return QString::fromUtf8(json).replace(empty, QStringLiteral("[]")).toUtf8();
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

// splitmix64: small, and the same sequence on every platform.
class Rng
{
public:
    explicit Rng(quint64 seed) : m_state(seed) { }

    quint64 next()
    {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // In (0, 1], so that log() never sees 0.
    double uniform() { return double((next() >> 11) + 1) * (1.0 / 9007199254740992.0); }

    double normal()
    {
        const double u1 = uniform();
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
    }

    quint32 poisson(double mean)
    {
        if (mean <= 0.0)
            return 0;
        if (mean < 30.0) {
            const double limit = std::exp(-mean);
            double product = uniform();
            quint32 k = 0;
            while (product > limit) {
                product *= uniform();
                ++k;
            }
            return k;
        }
        const double value = std::round(mean + std::sqrt(mean) * normal());
        return value < 0.0 ? 0 : quint32(value);
    }

private:
    quint64 m_state;
};

double sig6(double value)
{
    return QString::number(value, 'g', 6).toDouble();
}

QDateTime utc(const char *text)
{
    const QString s = QString::fromLatin1(text);
    return QDateTime(QDate::fromString(s.left(10), QStringLiteral("yyyy-MM-dd")),
                     QTime::fromString(s.mid(11), QStringLiteral("hh:mm:ss.zzz")), Qt::UTC);
}

// ---------------------------------------------------------------------------------------------
// Spectra

// Emission lines in keV. Elements below Ag are seen by their K lines only, W and heavier by
// their L lines only; Ag to Ba show both.
struct Element
{
    const char *symbol;
    int z;
    double kEdge, ka, kb;
    double l3Edge, la, lb, lg;
};

const Element kElements[] = {
    { "Al", 13, 1.560, 1.487, 1.557, 0, 0, 0, 0 },
    { "Si", 14, 1.839, 1.740, 1.836, 0, 0, 0, 0 },
    { "P", 15, 2.146, 2.014, 2.139, 0, 0, 0, 0 },
    { "S", 16, 2.472, 2.308, 2.464, 0, 0, 0, 0 },
    { "Cl", 17, 2.822, 2.622, 2.816, 0, 0, 0, 0 },
    { "K", 19, 3.608, 3.314, 3.590, 0, 0, 0, 0 },
    { "Ca", 20, 4.038, 3.692, 4.013, 0, 0, 0, 0 },
    { "Ti", 22, 4.966, 4.511, 4.932, 0, 0, 0, 0 },
    { "V", 23, 5.465, 4.952, 5.427, 0, 0, 0, 0 },
    { "Cr", 24, 5.989, 5.415, 5.947, 0, 0, 0, 0 },
    { "Mn", 25, 6.539, 5.899, 6.490, 0, 0, 0, 0 },
    { "Fe", 26, 7.112, 6.404, 7.058, 0, 0, 0, 0 },
    { "Co", 27, 7.709, 6.930, 7.649, 0, 0, 0, 0 },
    { "Ni", 28, 8.333, 7.478, 8.265, 0, 0, 0, 0 },
    { "Cu", 29, 8.979, 8.048, 8.905, 0, 0, 0, 0 },
    { "Zn", 30, 9.659, 8.639, 9.572, 0, 0, 0, 0 },
    { "As", 33, 11.867, 10.544, 11.726, 0, 0, 0, 0 },
    { "Br", 35, 13.474, 11.924, 13.291, 0, 0, 0, 0 },
    { "Rb", 37, 15.200, 13.395, 14.961, 0, 0, 0, 0 },
    { "Sr", 38, 16.105, 14.165, 15.835, 0, 0, 0, 0 },
    { "Zr", 40, 17.998, 15.775, 17.668, 0, 0, 0, 0 },
    { "Nb", 41, 18.986, 16.615, 18.623, 0, 0, 0, 0 },
    { "Mo", 42, 20.000, 17.479, 19.608, 0, 0, 0, 0 },
    { "Ag", 47, 25.514, 22.163, 24.942, 3.351, 2.984, 3.151, 3.519 },
    { "Cd", 48, 26.711, 23.174, 26.095, 3.538, 3.134, 3.317, 3.716 },
    { "Sn", 50, 29.200, 25.271, 28.486, 3.929, 3.444, 3.663, 4.131 },
    { "Sb", 51, 30.491, 26.359, 29.726, 4.132, 3.605, 3.843, 4.347 },
    { "Ba", 56, 37.441, 32.194, 36.378, 5.247, 4.466, 4.828, 5.531 },
    { "W", 74, 0, 0, 0, 10.207, 8.398, 9.672, 11.286 },
    { "Au", 79, 0, 0, 0, 11.919, 9.713, 11.443, 13.382 },
    { "Hg", 80, 0, 0, 0, 12.284, 9.989, 11.823, 13.830 },
    { "Pb", 82, 0, 0, 0, 13.035, 10.551, 12.614, 14.765 },
};

const Element *findElement(const QString &symbol)
{
    for (const Element &e : kElements)
        if (symbol == QLatin1String(e.symbol))
            return &e;
    return nullptr;
}

// How the sample matrix absorbs and scatters: mass attenuation A * E^-2.7 + 0.18 cm2/g,
// divided by the jump below the absorption edge of the main element (a metal's own lines
// lie below its edge and escape from deep), and the coherent and incoherent scatter cross
// sections.
struct Matrix
{
    double absorption;
    double edge;
    double jump;
    double coherent;
    double incoherent;
};

const Matrix kSteel { 85000, 7.112, 8.0, 0.06, 0.10 };
const Matrix kBrass { 105000, 8.979, 7.5, 0.07, 0.10 };
const Matrix kCopper { 100000, 8.979, 7.5, 0.07, 0.10 };
const Matrix kPlastic { 3500, 0.0, 1.0, 0.02, 0.17 };
const Matrix kSoil { 20000, 7.112, 1.3, 0.04, 0.15 };
const Matrix kPlated { 140000, 11.919, 2.5, 0.09, 0.08 };

using Composition = QVector<QPair<QString, double>>; // element, percent

// One exposure: the beam and what the instrument reports besides the counts.
struct Exposure
{
    double kV = 40;
    double microAmps = 10;
    XrfFilterProperties filter;
    int filterPosition = 0;
    double outputRate = 50000; // counts per second into the spectrum
    double realTime = 10.0;
    double energySlope = 0.019987;
    double energyOffset = -0.0124;
    double probeTemperature = -25.1;
    int ambientPressure = 1008;
    int colMultiplier = 1;
    XrfDriftCorrection drift;
};

XrfFilterProperties filter(quint16 z, quint16 thickness, quint16 diameter, bool collimator)
{
    XrfFilterProperties f;
    f.setMaterialAtomicNumber(z);
    f.setThicknessInMicrons(thickness);
    f.setDiameterInMicrons(diameter);
    f.setHasCollimator(collimator);
    return f;
}

XrfDriftCorrection drift(const char *timeStamp, double gain, double shift)
{
    XrfDriftCorrection d;
    d.setTimeStampUtc(QString::fromLatin1(timeStamp));
    d.setGainFactor(gain);
    d.setOffsetShift(shift);
    return d;
}

// Transmission of the beam filter; Al and Cu are the materials of the filter wheel.
double filterTransmission(const XrfFilterProperties &f, double e)
{
    const double cm = f.thicknessInMicrons() * 1e-4;
    const double scale = std::pow(10.0 / e, 2.8);
    double massAtt = 0.0;
    double density = 0.0;
    switch (f.materialAtomicNumber()) {
    case 13:
        massAtt = 26.2 * scale;
        density = 2.70;
        break;
    case 29:
        massAtt = (e > 8.979 ? 215.0 : 27.6) * scale;
        density = 8.96;
        break;
    default:
        return 1.0;
    }
    return std::exp(-massAtt * density * cm);
}

// Be window and air path at low energy, the thickness of the silicon at high energy.
double detectorEfficiency(double e)
{
    return std::exp(-std::pow(1.6 / e, 3.0)) * (1.0 - std::exp(-std::pow(28.0 / e, 2.7)));
}

double attenuation(const Matrix &m, double e)
{
    return m.absorption * std::pow(e, -2.7) / (e < m.edge ? m.jump : 1.0) + 0.18;
}

// Detector resolution: electronic noise and Fano statistics, 140 eV FWHM at Mn K-alpha.
double resolutionSigma(double e)
{
    return std::sqrt(0.0011 + 0.000414 * e);
}

// Tube (Kramers) continuum after the filter, per keV, unnormalised.
double beam(const Exposure &x, double e)
{
    return e >= x.kV ? 0.0 : (x.kV - e) / e * filterTransmission(x.filter, e);
}

// Primary photons absorbed by a shell with the given edge, weighted by how deep the
// fluorescence of energy lineE still escapes.
double excitation(const Exposure &x, const Matrix &m, double edge, double tauAtEdge, double lineE)
{
    if (edge <= 0.0 || edge >= x.kV)
        return 0.0;
    constexpr double step = 0.05;
    double sum = 0.0;
    for (double e = edge + step / 2; e < x.kV; e += step) {
        const double tau = tauAtEdge * std::pow(edge / e, 2.7);
        sum += beam(x, e) * tau / (attenuation(m, e) + attenuation(m, lineE)) * step;
    }
    return sum;
}

struct Peak
{
    double energy;
    double area;
    double sigma;
};

// Gaussian with a short exponential low-energy tail and a flat shelf down to 0.3 keV
// (incomplete charge collection), integrated over each channel.
void renderPeak(QVector<double> &expected, const Exposure &x, const Peak &p)
{
    constexpr double tailFraction = 0.03;
    constexpr double tailLength = 0.25;
    constexpr double shelfFraction = 0.002;
    constexpr double shelfStart = 0.3;
    const double gauss = p.area * (1.0 - tailFraction - shelfFraction);
    auto cdf = [&](double e) {
        return 0.5 * (1.0 + std::erf((e - p.energy) / (p.sigma * M_SQRT2)));
    };
    for (int ch = 0; ch < kChannels; ++ch) {
        const double lo = x.energyOffset + x.energySlope * (ch - 0.5);
        const double hi = lo + x.energySlope;
        if (lo > p.energy + 8 * p.sigma)
            break;
        double counts = gauss * (cdf(hi) - cdf(lo));
        if (lo < p.energy) {
            const double top = std::min(hi, p.energy);
            counts += p.area * tailFraction
                    * (std::exp((top - p.energy) / tailLength)
                       - std::exp((lo - p.energy) / tailLength));
            const double from = std::max(lo, shelfStart);
            if (top > from && p.energy > shelfStart)
                counts += p.area * shelfFraction * (top - from) / (p.energy - shelfStart);
        }
        expected[ch] += counts;
    }
}

// Simulates the spectrum of a composition: fluorescence lines, scattered continuum, the
// Rayleigh and Compton peaks of the Ag tube lines, Si escape and pile-up peaks, then counting
// noise. Returns the spectrum with its acquisition values.
XrfSpectrum simulate(Rng &rng, const Composition &composition, const Matrix &m, const Exposure &x,
                     int exposureNumber, int totalExposures)
{
    QVector<Peak> peaks;
    QVector<double> expected(kChannels, 0.0);

    // K emission of each element: excited by the tube, and again by the K-alpha photons of
    // the other elements above its edge (Fe K-alpha lifts Cr in steel).
    struct Source
    {
        const Element *el;
        double fraction;
        double kYield;
        double kEmission;
    };
    QVector<Source> sources;
    for (const auto &part : composition) {
        if (const Element *el = findElement(part.first)) {
            const double z4 = std::pow(double(el->z), 4.0);
            const double fraction = part.second / 100.0;
            const double yield = z4 / (z4 + 1.0e6);
            const double emission = el->kEdge > 0.0
                    ? fraction * yield * excitation(x, m, el->kEdge, 2800.0 / el->kEdge, el->ka)
                    : 0.0;
            sources.append({ el, fraction, yield, emission });
        }
    }
    QVector<double> secondary(sources.size(), 0.0);
    for (int i = 0; i < sources.size(); ++i) {
        const Element *el = sources[i].el;
        for (const Source &other : sources) {
            if (el->kEdge <= 0.0 || other.el == el || other.el->ka <= el->kEdge)
                continue;
            const double tau = 2800.0 / el->kEdge * std::pow(el->kEdge / other.el->ka, 2.7);
            secondary[i] += 0.25 * other.kEmission * sources[i].fraction * tau
                    / attenuation(m, other.el->ka) * sources[i].kYield;
        }
    }

    for (int i = 0; i < sources.size(); ++i) {
        const Element *el = sources[i].el;
        const double fraction = sources[i].fraction;
        if (el->kEdge > 0.0) {
            const double kbRatio = std::min(0.22, 0.135 * (el->z - 12) / 14.0);
            const double ka = (sources[i].kEmission + secondary[i]) / (1.0 + kbRatio);
            // K-beta escapes from a little deeper than K-alpha.
            const double depth = (attenuation(m, el->kEdge * 1.3) + attenuation(m, el->ka))
                    / (attenuation(m, el->kEdge * 1.3) + attenuation(m, el->kb));
            const double kb = ka * kbRatio * depth;
            peaks.append({ el->ka, ka * detectorEfficiency(el->ka), resolutionSigma(el->ka) });
            peaks.append({ el->kb, kb * detectorEfficiency(el->kb), resolutionSigma(el->kb) });
        }
        if (el->l3Edge > 0.0) {
            const double z4 = std::pow(double(el->z), 4.0);
            const double yield = z4 / (z4 + 8.9e7);
            const double lines[3][2] = { { el->la, 1.0 }, { el->lb, 0.8 }, { el->lg, 0.12 } };
            for (const auto &line : lines) {
                const double area = fraction * yield * line[1] / 1.92
                        * excitation(x, m, el->l3Edge, 1500.0 / el->l3Edge, line[0]);
                peaks.append(
                        { line[0], area * detectorEfficiency(line[0]), resolutionSigma(line[0]) });
            }
        }
    }

    // Scattered tube continuum.
    for (int ch = 0; ch < kChannels; ++ch) {
        const double e = x.energyOffset + x.energySlope * ch;
        if (e <= 0.2)
            continue;
        expected[ch] += beam(x, e) * (m.coherent + m.incoherent) / (2.0 * attenuation(m, e))
                * detectorEfficiency(e) * x.energySlope;
    }

    // Tube lines, elastically (Rayleigh) and inelastically (Compton, ~130 degrees) scattered.
    auto tubeLine = [&](double energy, double edge, double strength) {
        if (x.kV <= edge)
            return;
        const double intensity = strength * std::pow(x.kV / edge - 1.0, 1.6)
                * filterTransmission(x.filter, energy);
        const double compton = energy / (1.0 + energy / 511.0 * 1.643);
        const double sigma = resolutionSigma(energy);
        peaks.append({ energy,
                       intensity * m.coherent / (2.0 * attenuation(m, energy))
                               * detectorEfficiency(energy),
                       sigma });
        peaks.append({ compton,
                       intensity * m.incoherent / (attenuation(m, energy) + attenuation(m, compton))
                               * detectorEfficiency(compton),
                       std::sqrt(sigma * sigma + 0.28 * 0.28) });
    };
    tubeLine(22.163, 25.514, 4.0);
    tubeLine(24.942, 25.514, 0.8);
    tubeLine(2.984, 3.351, 1.5);
    tubeLine(3.151, 3.351, 0.6);

    // Normalise to the counts of the live time.
    const double liveTime
            = sig6(x.realTime * (1.0 - x.outputRate * 1.0e-6) - 0.0004 * exposureNumber);
    const double total = x.outputRate * liveTime;
    double sum = std::accumulate(expected.cbegin(), expected.cend(), 0.0);
    for (const Peak &p : peaks)
        sum += p.area;
    const double scale = total / sum;
    for (double &v : expected)
        v *= scale;
    for (Peak &p : peaks)
        p.area *= scale;

    // Argon of the air path.
    peaks.append({ 2.957, total * (x.kV < 20 ? 0.004 : 0.0004), resolutionSigma(2.957) });

    // Si escape peaks and pile-up of the two strongest peaks.
    const double pileFraction = x.outputRate * 0.3e-6;
    QVector<Peak> extra;
    for (const Peak &p : peaks)
        if (p.energy > 1.84)
            extra.append({ p.energy - 1.74, p.area * 0.02 * 1.84 / p.energy, p.sigma });
    QVector<Peak> sorted = peaks;
    std::sort(sorted.begin(), sorted.end(),
              [](const Peak &a, const Peak &b) { return a.area > b.area; });
    for (int i = 0; i < 2 && i < sorted.size(); ++i)
        for (int j = i; j < 2 && j < sorted.size(); ++j)
            extra.append(
                    { sorted[i].energy + sorted[j].energy,
                      pileFraction * sorted[i].area * sorted[j].area / total * (i == j ? 1 : 2),
                      std::hypot(sorted[i].sigma, sorted[j].sigma) });
    peaks += extra;
    for (const Peak &p : peaks)
        renderPeak(expected, x, p);

    QVector<quint32> channels(kChannels);
    quint64 counted = 0;
    for (int ch = 0; ch < kChannels; ++ch) {
        const double e = x.energyOffset + x.energySlope * ch;
        // Below the lower level discriminator nothing is counted; a few stray counts up high.
        const double mean = e < 0.4 ? 0.0 : expected[ch] + 0.15;
        channels[ch] = rng.poisson(mean);
        counted += channels[ch];
    }

    XrfSpectrum s;
    s.setExposureNumber(exposureNumber);
    s.setTotalExposureNumber(totalExposures);
    s.setStepIndex(exposureNumber);
    s.setStepTotal(totalExposures);
    s.setEnergySlope(x.energySlope);
    s.setEnergyOffset(x.energyOffset);
    s.setLiveTime(liveTime);
    s.setLiveTimeFromHardware(sig6(liveTime + 0.0021));
    s.setRealTime(x.realTime);
    s.setResetTime(sig6(0.0142 + 0.0003 * exposureNumber));
    const double rate = counted / liveTime;
    s.setFastCounts(quint64(std::llround(rate * x.realTime * 1.024)));
    s.setFirstRate(sig6(std::round(rate * 10.04) / 10.0));
    s.setLastRate(sig6(std::round(rate * 9.97) / 10.0));
    s.setProbeSerialNumber(41877);
    s.setVacuumPressure(0);
    s.setAmbientPressureMillibars(x.ambientPressure);
    s.setProbeTemperature(x.probeTemperature);
    s.setTubeCurrentSet(x.microAmps);
    s.setTubeCurrentMonitor(sig6(x.microAmps * 0.9974));
    s.setTubeVoltageSet(x.kV);
    s.setTubeVoltageMonitor(sig6(x.kV - 0.04));
    s.setLtMultiplier(1);
    s.setColMultiplier(x.colMultiplier);
    s.setFilterPosition(x.filterPosition);
    s.setPileups(int(std::lround(counted * pileFraction)));
    s.setClipBottom(int(std::lround(rate * 0.0021)));
    s.setClipTop(int(std::lround(rate * 0.00035)));
    s.setTopResets(int(std::lround(x.realTime * (1500 + rate * 0.02))));
    s.setFilter(x.filter);
    s.setDriftCorrection(x.drift);
    s.setChannels(channels);
    return s;
}

// The beams of the analyser: 40 kV through a filter for the K lines from Ti up and the L
// lines of heavy elements, 15 kV unfiltered for the light elements.
Exposure beam(double kV, double microAmps, const XrfFilterProperties &beamFilter, int position,
              double rate)
{
    Exposure x;
    x.kV = kV;
    x.microAmps = microAmps;
    x.filter = beamFilter;
    x.filterPosition = position;
    x.outputRate = rate;
    return x;
}

Exposure mainBeam(double rate)
{
    return beam(40, 12, filter(13, 100, 8000, false), 1, rate);
}

Exposure lightBeam(double rate)
{
    return beam(15, 50, filter(0, 0, 8000, false), 0, rate);
}

Exposure heavyBeam(double rate)
{
    return beam(40, 40, filter(29, 100, 8000, false), 2, rate);
}

// ---------------------------------------------------------------------------------------------
// Camera images

enum class Look { BrushedSteel, SteelMacro, BlackPlastic, Connector, Coupon, Brass, Soil, Copper };

QRgb shade(double r, double g, double b)
{
    auto c = [](double v) { return int(std::clamp(v, 0.0, 255.0)); };
    return qRgb(c(r), c(g), c(b));
}

// Lightness across a cylinder lying along x, 0 at the edges, 1 on the axis.
double cylinder(int y, int top, int bottom)
{
    const double t = (2.0 * (y - top) / double(bottom - top)) - 1.0;
    return std::sqrt(std::max(0.0, 1.0 - t * t));
}

QImage photo(Look look, Rng &rng, const XrfImageInfo &info, double spotRadius)
{
    QImage image(kImageWidth, kImageHeight, QImage::Format_RGB32);
    // Brushing marks: one smoothed random offset per row.
    QVector<double> streak(kImageHeight);
    double s = 0.0;
    for (double &v : streak) {
        s = 0.7 * s + 0.3 * rng.normal() * 10.0;
        v = s;
    }
    for (int y = 0; y < kImageHeight; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < kImageWidth; ++x) {
            const double n = rng.normal();
            QRgb rgb = 0;
            switch (look) {
            case Look::BrushedSteel:
                if (y < 28 || y > 212) {
                    rgb = shade(46 + 3 * n, 48 + 3 * n, 52 + 3 * n);
                } else {
                    const double v = 95 + 110 * cylinder(y, 28, 212) + streak[y] + 4 * n
                            - 0.06 * std::abs(x - 160);
                    rgb = shade(v - 3, v, v + 5);
                }
                break;
            case Look::SteelMacro: {
                const double v = 150 + 2.5 * streak[y] + 6 * n + 30.0 * x / kImageWidth;
                rgb = shade(v - 3, v, v + 5);
                break;
            }
            case Look::BlackPlastic: {
                const double v = 34 + 28.0 * (x + y) / (kImageWidth + kImageHeight) + 2 * n
                        + (x > 250 ? 16 : 0);
                rgb = shade(v, v, v + 3);
                break;
            }
            case Look::Connector: {
                const double v = 28 + 3 * n;
                rgb = shade(v, v + 2, v);
                break;
            }
            case Look::Coupon:
                rgb = shade(64 + 3 * n, 62 + 3 * n, 60 + 3 * n);
                break;
            case Look::Brass: {
                const double c = y < 50 || y > 190 ? 0.0 : cylinder(y, 50, 190);
                if (c <= 0.0) {
                    rgb = shade(200 + 3 * n, 200 + 3 * n, 196 + 3 * n);
                } else {
                    const double v = 0.45 + 0.65 * c + 0.004 * streak[y] + 0.02 * n;
                    rgb = shade(190 * v, 158 * v, 84 * v);
                }
                break;
            }
            case Look::Soil: {
                const double grain = rng.uniform() < 0.03 ? 70.0 : 0.0;
                rgb = shade(122 + 14 * n + grain, 88 + 11 * n + grain, 58 + 9 * n + grain);
                break;
            }
            case Look::Copper: {
                const double c = y < 70 || y > 170 ? 0.0 : cylinder(y, 70, 170);
                if (c <= 0.0) {
                    rgb = shade(212 + 3 * n, 212 + 3 * n, 214 + 3 * n);
                } else {
                    const double v = 0.4 + 0.7 * c + 0.003 * streak[y] + 0.02 * n;
                    rgb = shade(186 * v, 112 * v, 60 * v);
                }
                break;
            }
            }
            line[x] = rgb;
        }
    }

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    switch (look) {
    case Look::Connector:
        // Gold plated contact pins in a black body.
        for (int i = 0; i < 6; ++i) {
            const double left = 28 + i * 46;
            QLinearGradient g(left, 0, left + 26, 0);
            g.setColorAt(0.0, QColor(120, 92, 30));
            g.setColorAt(0.45, QColor(246, 214, 120));
            g.setColorAt(1.0, QColor(138, 104, 34));
            p.fillRect(QRectF(left, 30, 26, 180), g);
        }
        break;
    case Look::Coupon: {
        QRadialGradient g(QPointF(140, 100), 150);
        g.setColorAt(0.0, QColor(214, 216, 220));
        g.setColorAt(1.0, QColor(120, 122, 126));
        p.setPen(QPen(QColor(40, 40, 42), 2));
        p.setBrush(g);
        p.drawEllipse(QPointF(160, 120), 104, 104);
        break;
    }
    case Look::Soil: {
        // Sample cup: the soil shows through a round film window.
        QPainterPath outside;
        outside.addRect(0, 0, kImageWidth, kImageHeight);
        QPainterPath window;
        window.addEllipse(QPointF(160, 120), 108, 108);
        p.fillPath(outside.subtracted(window), QColor(226, 228, 232));
        p.setPen(QPen(QColor(170, 172, 178), 5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(160, 120), 110, 110);
        break;
    }
    default:
        break;
    }
    if (info.imageHasCircle()) {
        const QPointF spot(info.collimatorSpotX(), info.collimatorSpotY());
        p.setPen(QPen(QColor(228, 28, 28), 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(spot, spotRadius, spotRadius);
        p.drawLine(spot - QPointF(4, 0), spot + QPointF(4, 0));
        p.drawLine(spot - QPointF(0, 4), spot + QPointF(0, 4));
    }
    p.end();
    return image;
}

// ---------------------------------------------------------------------------------------------
// Result parts

struct Sample
{
    QString fileName;
    XrfKorviResult result;
    QList<QImage> photos; // one per entry of result.images()
};

void addChemistry(XrfKorviResult &r, const char *element, double percent, double error)
{
    XrfChemistryResult c;
    c.setElementName(QString::fromLatin1(element));
    c.setConcentration(float(percent));
    c.setError(float(error));
    r.chemistry().append(c);
}

Composition composition(const XrfKorviResult &r)
{
    Composition parts;
    for (const XrfChemistryResult &c : r.chemistry())
        parts.append({ c.elementName(), c.concentration() });
    return parts;
}

void addTestInfo(XrfKorviResult &r, const QString &key, const QString &value)
{
    r.testInfo().append(
            QJsonObject { { QStringLiteral("key"), key }, { QStringLiteral("value"), value } });
}

struct SpecRow
{
    const char *element;
    double min, max;
    const char *result;
};

void addGrade(XrfKorviResult &r, const char *name, double matchNumber, double nSigma,
              const char *message, std::initializer_list<SpecRow> rows)
{
    XrfGradeMatch g;
    g.setGradeName(QString::fromLatin1(name));
    g.setMatchNumber(float(matchNumber));
    g.setMatchNSigma(float(nSigma));
    g.setCompGrade(0);
    g.setNominalFactor(1.0f);
    g.setPassFailCutOff(2.0f);
    g.setPassFailNSigma(3.0f);
    g.setPassFailShowMatchNumber(true);
    g.setMatchMessage(QString::fromLatin1(message));
    for (const SpecRow &row : rows) {
        XrfGradeMatchSpec spec;
        spec.setElementName(QString::fromLatin1(row.element));
        spec.setMin(float(row.min));
        spec.setMax(float(row.max));
        spec.setResult(QString::fromLatin1(row.result));
        g.gradeSpec().append(spec);
    }
    r.gradeMatch().append(g);
}

XrfImageInfo imageInfo(const QString &name, int type, double top, double left, double width,
                       double height, double spotX, double spotY, bool circle)
{
    XrfImageInfo i;
    i.setName(name);
    i.setType(type);
    i.setCropAreaTop(top);
    i.setCropAreaLeft(left);
    i.setCropAreaWidth(width);
    i.setCropAreaHeight(height);
    i.setCollimatorSpotX(spotX);
    i.setCollimatorSpotY(spotY);
    i.setImageHasCircle(circle);
    return i;
}

// The inline camera's view: the window's spot in the middle, cropped to the window.
void addInlinePhoto(Sample &s, Rng &rng, Look look, int number, double spotRadius = 26)
{
    const QString name
            = QStringLiteral("cam-%1-%2.jpeg").arg(s.result.analysis().tidName()).arg(number);
    const XrfImageInfo info = imageInfo(name, 0, 24, 40, 240, 192, 160, 120, true);
    s.result.images().append(info);
    s.photos.append(photo(look, rng, info, spotRadius));
}

XrfAnalysisResult &header(XrfKorviResult &r, const char *dateTime, int dailyId,
                          const char *testType, const char *tidName, const char *user)
{
    XrfAnalysisResult &a = r.analysis();
    a.setTestDateTime(utc(dateTime));
    a.setDailyId(dailyId);
    a.setTestType(QString::fromLatin1(testType));
    a.setTidName(QString::fromUtf8(tidName));
    a.setUserId(QString::fromLatin1(user));
    a.setStatusId(0);
    a.setFinal(true);
    a.setCollimatedStatusInt(0);
    a.setCollimated(false);
    return a;
}

void alloyMethod(XrfAnalysisResult &a)
{
    a.setMethodId(QStringLiteral("Alloy-General"));
    a.setMethodDispName(QStringLiteral("General Metals"));
    a.setMethodFamilyName(kAlloyFamily);
    a.setGradeCompareEnable(1);
}

// ---------------------------------------------------------------------------------------------
// The samples

void addStainlessChemistry(XrfKorviResult &r)
{
    addChemistry(r, "Fe", 67.50, 0.21);
    addChemistry(r, "Cr", 16.94, 0.09);
    addChemistry(r, "Ni", 10.72, 0.08);
    addChemistry(r, "Mo", 2.08, 0.02);
    addChemistry(r, "Mn", 1.62, 0.05);
    addChemistry(r, "Si", 0.48, 0.06);
    addChemistry(r, "Cu", 0.38, 0.02);
    addChemistry(r, "Co", 0.17, 0.03);
    addChemistry(r, "V", 0.071, 0.012);
    addChemistry(r, "W", 0.024, 0.011);
    addChemistry(r, "Nb", 0.011, 0.004);
}

Sample stainless316()
{
    Rng rng(kSeed + 1);
    Sample s;
    s.fileName = QStringLiteral("01-stainless-316.json");
    XrfKorviResult &r = s.result;
    XrfAnalysisResult &a
            = header(r, "2026-11-23 08:15:42.318", 1, "NORMAL", "316-bar-0042", "operator");
    alloyMethod(a);
    a.setLatitude(51.4344);
    a.setLongitude(6.7623);
    a.setElevation(31.5);
    a.setTiTemplateName(QStringLiteral("Scrap intake"));
    a.setPseudoElementConfigName(QStringLiteral("Stainless indices"));
    a.setPseudoElementGradeMatchEnable(0);
    a.setDigitalIOStateBefore(0);
    a.setDigitalIOStateAfter(1);

    addStainlessChemistry(r);

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

    addGrade(r, "316", 0.42, 1.1, "Match",
             { { "Cr", 16.0, 18.0, "OK" },
               { "Ni", 10.0, 14.0, "OK" },
               { "Mo", 2.0, 3.0, "OK" },
               { "Mn", 0.0, 2.0, "OK" },
               { "Si", 0.0, 0.75, "OK" },
               { "Cu", 0.0, 0.5, "OK" } });
    addGrade(r, "316L", 0.47, 1.3, "Possible match",
             { { "Cr", 16.0, 18.0, "OK" },
               { "Ni", 10.0, 14.0, "OK" },
               { "Mo", 2.0, 3.0, "OK" },
               { "Mn", 0.0, 2.0, "OK" },
               { "Si", 0.0, 0.75, "OK" },
               { "Cu", 0.0, 0.35, "HIGH" } });
    addGrade(r, "317L", 3.85, 4.6, "No match",
             { { "Cr", 18.0, 20.0, "LOW" },
               { "Ni", 11.0, 15.0, "LOW" },
               { "Mo", 3.0, 4.0, "LOW" },
               { "Mn", 0.0, 2.0, "OK" } });

    addTestInfo(r, QStringLiteral("Heat Number"), QStringLiteral("H-44127"));
    addTestInfo(r, QStringLiteral("Customer"), QString::fromUtf8("Müller Schrott GmbH"));
    addTestInfo(r, QStringLiteral("Lot"), QStringLiteral("L-2026-311"));

    Exposure main = mainBeam(52000);
    main.drift = drift("2026-11-23 07:51:09.662", 1.00042, -0.0031);
    r.spectra().append(simulate(rng, composition(r), kSteel, main, 1, 2));
    r.spectra().append(simulate(rng, composition(r), kSteel, lightBeam(24000), 2, 2));

    addInlinePhoto(s, rng, Look::BrushedSteel, 1);
    // The macro camera: a close-up of the surface, without the spot marked.
    const XrfImageInfo macro = imageInfo(QStringLiteral("cam-316-bar-0042-2.jpeg"), 1, 0, 0, 320,
                                         240, 158, 118, false);
    r.images().append(macro);
    s.photos.append(photo(Look::SteelMacro, rng, macro, 0));
    return s;
}

Sample rohsPlastic()
{
    Rng rng(kSeed + 2);
    Sample s;
    s.fileName = QStringLiteral("02-rohs-abs-housing.json");
    XrfKorviResult &r = s.result;
    XrfAnalysisResult &a
            = header(r, "2026-11-23 10:02:07.045", 2, "NORMAL", "ABS-housing-17", "operator");
    a.setMethodId(QStringLiteral("RoHS-Plastics"));
    a.setMethodDispName(QStringLiteral("RoHS Plastics"));
    a.setMethodFamilyName(kPlasticsFamily);
    a.setTiTemplateName(QStringLiteral("RoHS lot"));
    a.setRohsClassificationEnum(XrfAnalysisResult::RohsInconclusive);
    a.setRohsActionLevelEnum(0);
    a.setRohsActionLevelName(QStringLiteral("IEC 62321 screening"));
    a.setPythonPluginResult(QStringLiteral(
            "{\"plugin\":\"rohs_verdict\",\"version\":\"1.2\",\"verdict\":\"INCONCLUSIVE\","
            "\"reason\":\"Br 452 ppm above 300 ppm screening limit\"}"));

    // The instrument stores percent: 0.0012 % is 12 ppm.
    addChemistry(r, "Ca", 1.18, 0.04);
    addChemistry(r, "Ti", 0.852, 0.021);
    addChemistry(r, "Sb", 0.118, 0.006);
    addChemistry(r, "Br", 0.0452, 0.0011);
    addChemistry(r, "Zn", 0.0296, 0.0015);
    addChemistry(r, "Fe", 0.0183, 0.0022);
    addChemistry(r, "Pb", 0.0085, 0.0006);
    addChemistry(r, "Cr", 0.0041, 0.0013);
    addChemistry(r, "Cd", 0.0012, 0.0004);
    addChemistry(r, "Hg", 0.0002, 0.0003);

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

    addTestInfo(r, QStringLiteral("Part Number"), QStringLiteral("ENC-2231-BK"));
    addTestInfo(r, QStringLiteral("Supplier"), QStringLiteral("Shenzhen Polymer Co."));
    addTestInfo(r, QStringLiteral("Colour"), QStringLiteral("black"));

    Exposure main = heavyBeam(61000);
    main.microAmps = 50;
    r.spectra().append(simulate(rng, composition(r), kPlastic, main, 1, 2));
    r.spectra().append(simulate(rng, composition(r), kPlastic, lightBeam(18000), 2, 2));

    addInlinePhoto(s, rng, Look::BlackPlastic, 1);
    return s;
}

Sample coating()
{
    Rng rng(kSeed + 3);
    Sample s;
    s.fileName = QStringLiteral("03-coating-au-ni-cu.json");
    XrfKorviResult &r = s.result;
    XrfAnalysisResult &a
            = header(r, "2026-11-24 09:41:30.502", 1, "NORMAL", "USB-C-pin-A7", "a.nakamura");
    a.setMethodId(QStringLiteral("Coating"));
    a.setMethodDispName(QStringLiteral("Coating Thickness"));
    a.setMethodFamilyName(XrfAnalysisResult::CoatingMethodFamily);
    a.setCollimatedStatusInt(1);
    a.setCollimated(true);
    a.setCoatingConfigName(QStringLiteral("Au/Ni/Cu connector"));
    a.setCoatingDisplayUnitEnum(3); // micrometres
    a.setAuPlatingEnum(1);

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

    addTestInfo(r, QStringLiteral("Part Number"), QStringLiteral("CN-USB-C-24P"));
    addTestInfo(r, QStringLiteral("Requirement"),
                QString::fromUtf8("Au ≥ 0.76 µm over Ni ≥ 2.5 µm"));

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
    r.spectra().append(simulate(rng, seen, kPlated, x, 1, 2));
    r.spectra().append(simulate(rng, seen, kPlated, x, 2, 2));

    const XrfImageInfo info = imageInfo(QStringLiteral("cam-USB-C-pin-A7-1.jpeg"), 1, 30, 64, 192,
                                        180, 179, 120, true);
    r.images().append(info);
    s.photos.append(photo(Look::Connector, rng, info, 9));
    return s;
}

Sample calCheck()
{
    Rng rng(kSeed + 4);
    Sample s;
    s.fileName = QStringLiteral("04-calibration-check.json");
    XrfKorviResult &r = s.result;
    XrfAnalysisResult &a
            = header(r, "2026-11-25 07:58:03.914", 1, "CALCHECK", "SysCheck-1125", "operator");
    a.setMethodId(QStringLiteral("CalCheck"));
    a.setMethodDispName(QStringLiteral("System Check"));

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

    addTestInfo(r, QStringLiteral("Check Standard"), QStringLiteral("316 coupon S/N 0917"));

    XrfKorviResult coupon;
    addStainlessChemistry(coupon);
    Exposure x = mainBeam(48215);
    x.energySlope = 0.019991;
    x.energyOffset = -0.0131;
    x.probeTemperature = -24.8;
    r.spectra().append(simulate(rng, composition(coupon), kSteel, x, 1, 1));
    // The measured rate is that of the check spectrum, in whole counts per second.
    const QVector<quint32> &counts = r.spectra().constFirst().channels();
    c->setRate(std::round(std::accumulate(counts.cbegin(), counts.cend(), 0.0)
                          / r.spectra().constFirst().liveTime()));

    addInlinePhoto(s, rng, Look::Coupon, 1);
    return s;
}

Sample brassRepeat()
{
    Rng rng(kSeed + 5);
    Sample s;
    s.fileName = QStringLiteral("05-brass-repeat.json");
    XrfKorviResult &r = s.result;
    XrfAnalysisResult &a
            = header(r, "2026-11-25 11:20:16.733", 3, "REPEAT", "brass-fitting-12", "j.kowalski");
    alloyMethod(a);
    a.setRepeatTestIndex(2);
    a.setRepeatTestTotal(3);
    a.setUserFactorName(QStringLiteral("Brass shop"));
    // Averaging multiplies by it: a factor near 1, as a user's normalisation is.
    a.setUserFactorNormalizeFactor(1.0);
    a.setDigitalIOStateBefore(2);
    a.setDigitalIOStateAfter(2);

    addChemistry(r, "Cu", 61.84, 0.11);
    addChemistry(r, "Zn", 35.21, 0.10);
    addChemistry(r, "Pb", 2.78, 0.04);
    addChemistry(r, "Fe", 0.118, 0.012);
    addChemistry(r, "Sn", 0.041, 0.009);
    addChemistry(r, "Ni", 0.012, 0.005);

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

    addGrade(r, "C36000", 0.31, 0.9, "Match",
             { { "Cu", 60.0, 63.0, "OK" },
               { "Pb", 2.5, 3.7, "OK" },
               { "Fe", 0.0, 0.35, "OK" },
               { "Zn", 32.2, 37.5, "OK" } });
    addGrade(r, "C37700", 2.9, 3.8, "No match",
             { { "Cu", 58.0, 61.0, "HIGH" },
               { "Pb", 1.5, 2.5, "HIGH" },
               { "Fe", 0.0, 0.3, "OK" },
               { "Zn", 36.2, 40.5, "LOW" } });

    addTestInfo(r, QStringLiteral("Job"), QStringLiteral("Fittings lot 7"));

    r.spectra().append(simulate(rng, composition(r), kBrass, mainBeam(58000), 1, 2));
    r.spectra().append(simulate(rng, composition(r), kBrass, lightBeam(21000), 2, 2));

    addInlinePhoto(s, rng, Look::Brass, 1);
    return s;
}

Sample soilRegression()
{
    Rng rng(kSeed + 6);
    Sample s;
    s.fileName = QStringLiteral("06-soil-regression.json");
    XrfKorviResult &r = s.result;
    XrfAnalysisResult &a
            = header(r, "2026-11-26 14:05:51.090", 4, "REGRESSION", "SOIL-REF-B14", "m.okafor");
    a.setMethodId(QStringLiteral("Soil-Mining"));
    a.setMethodDispName(QStringLiteral("Soil"));
    a.setMethodFamilyName(kMiningFamily);
    a.setLatitude(47.2692);
    a.setLongitude(11.4041);
    a.setElevation(574.5);
    a.setCompoundTemplateName(QStringLiteral("Oxides"));
    a.setCompoundSuppress100Warning(true);
    a.setLeadPaintActionLevel(1.0);

    r.regressionInfo().setHistoricalTestId(3);
    r.regressionInfo().setHistoricalDateTime(QStringLiteral("2026-11-02 09:03:11.207"));
    r.regressionInfo().setHistoricalDailyId(1);
    r.regressionInfo().setHistoricalTidName(QStringLiteral("SOIL-REF-B14"));

    addChemistry(r, "Si", 27.9, 0.35);
    addChemistry(r, "Al", 6.85, 0.41);
    addChemistry(r, "Fe", 3.21, 0.04);
    addChemistry(r, "Ca", 1.85, 0.03);
    addChemistry(r, "K", 1.72, 0.03);
    addChemistry(r, "Ti", 0.382, 0.011);
    addChemistry(r, "P", 0.082, 0.021);
    addChemistry(r, "Mn", 0.0612, 0.0031);
    addChemistry(r, "Ba", 0.0512, 0.0062);
    addChemistry(r, "S", 0.031, 0.009);
    addChemistry(r, "Zr", 0.0254, 0.0004);
    addChemistry(r, "Sr", 0.0231, 0.0003);
    addChemistry(r, "Zn", 0.0158, 0.0006);
    addChemistry(r, "Cl", 0.012, 0.004);
    addChemistry(r, "Rb", 0.0098, 0.0002);
    addChemistry(r, "V", 0.0095, 0.0021);
    addChemistry(r, "Cr", 0.0089, 0.0018);
    addChemistry(r, "Pb", 0.0087, 0.0004);
    addChemistry(r, "Cu", 0.0041, 0.0004);
    addChemistry(r, "Ni", 0.0036, 0.0009);
    addChemistry(r, "As", 0.0012, 0.0003);
    addChemistry(r, "Nb", 0.0011, 0.0002);
    addChemistry(r, "Sn", 0.0006, 0.0003);
    addChemistry(r, "Mo", 0.0002, 0.0002);

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

    addTestInfo(r, QStringLiteral("Site"), QStringLiteral("Field B14"));
    addTestInfo(r, QStringLiteral("Depth"), QStringLiteral("0-30 cm"));
    addTestInfo(r, QStringLiteral("Preparation"), QStringLiteral("dried, sieved < 2 mm, cup"));

    Exposure main = mainBeam(45000);
    main.ambientPressure = 951;
    main.drift = drift("2026-11-26 13:40:22.507", 0.99968, 0.0027);
    Exposure light = lightBeam(16000);
    light.ambientPressure = 951;
    Exposure heavy = heavyBeam(30000);
    heavy.ambientPressure = 951;
    heavy.drift = drift("2026-11-26 13:40:22.507", 0.99971, 0.0025);
    r.spectra().append(simulate(rng, composition(r), kSoil, main, 1, 3));
    r.spectra().append(simulate(rng, composition(r), kSoil, light, 2, 3));
    r.spectra().append(simulate(rng, composition(r), kSoil, heavy, 3, 3));

    addInlinePhoto(s, rng, Look::Soil, 1);
    return s;
}

// Texts that must survive storage, quoting and encoding unchanged.
Sample awkwardTexts()
{
    Rng rng(kSeed + 7);
    Sample s;
    s.fileName = QStringLiteral("07-copper-awkward-texts.json");
    XrfKorviResult &r = s.result;
    XrfAnalysisResult &a
            = header(r, "2026-11-26 15:33:08.006", 5, "NORMAL", "O'Brien pipe 3", "operator");
    alloyMethod(a);
    a.setTestErrorInfo(QStringLiteral("Sample didn't cover the window fully"));

    addChemistry(r, "Cu", 99.959, 0.05);
    addChemistry(r, "P", 0.028, 0.006);
    addChemistry(r, "Fe", 0.006, 0.002);
    addChemistry(r, "Ag", 0.004, 0.001);
    addChemistry(r, "Pb", 0.003, 0.001);

    addGrade(r, "C12200", 0.18, 0.6, "Match",
             { { "Cu", 99.9, 100.0, "OK" }, { "P", 0.015, 0.04, "OK" } });

    addTestInfo(r, QStringLiteral("Customer"),
                QString::fromUtf8("Renée Sørensen-Müller / 中山金属回收"));
    addTestInfo(r, QStringLiteral("Note"),
                QStringLiteral("3/4\" elbow; photos in C:\\xrf\\lot7\\"));
    addTestInfo(r, QString::fromUtf8("Prüfer"), QString::fromUtf8("Zoë Ødegård"));

    r.spectra().append(simulate(rng, composition(r), kCopper, mainBeam(56000), 1, 1));

    // The camera names its file itself; the test name is not part of it.
    const XrfImageInfo info = imageInfo(QStringLiteral("cam-obrien-pipe-3-1.jpeg"), 0, 24, 40, 240,
                                        192, 160, 120, true);
    r.images().append(info);
    s.photos.append(photo(Look::Copper, rng, info, 26));
    return s;
}

// ---------------------------------------------------------------------------------------------

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    return file.flush();
}

// Reads the file back as a host would and checks that nothing was lost.
bool verifyResult(const QString &path, const XrfKorviResult &built, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read it back");
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        *why = QStringLiteral("not a JSON object: ") + parseError.errorString();
        return false;
    }
    const QJsonObject object = doc.object();
    if (!XrfKorviResult::isValidResultJson(object, why))
        return false;
    XrfKorviResult loaded;
    loaded.fromJsonObject(object);
    if (loaded.toJsonObject() != object) {
        *why = QStringLiteral("loaded result does not give the file's JSON again");
        return false;
    }
    if (!(loaded == built)) {
        *why = QStringLiteral("loaded result differs from the one written");
        return false;
    }
    return true;
}

bool writeImage(const QString &path, const QImage &image, QString *why)
{
    QImageWriter writer(path, "jpeg");
    writer.setQuality(85);
    if (!writer.write(image)) {
        *why = writer.errorString();
        return false;
    }
    QImageReader reader(path);
    const QImage back = reader.read();
    if (back.isNull() || back.size() != image.size()) {
        *why = QStringLiteral("cannot read it back: ") + reader.errorString();
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 || args.at(1).startsWith(QLatin1Char('-'))) {
        err() << "usage: xrfsamples OUTDIR\n"
                 "Writes the sample results (*.json) to OUTDIR and their camera images to "
                 "OUTDIR/images.\n";
        return 1;
    }
    if (!QImageWriter::supportedImageFormats().contains("jpeg")) {
        err() << "xrfsamples: this Qt has no JPEG writer\n";
        return 2;
    }
    const QDir out(args.at(1));
    if (!QDir().mkpath(out.filePath(QStringLiteral("images")))) {
        err() << "xrfsamples: cannot create " << out.filePath(QStringLiteral("images")) << '\n';
        return 2;
    }

    const QList<Sample> samples = { stainless316(), rohsPlastic(),    coating(),     calCheck(),
                                    brassRepeat(),  soilRegression(), awkwardTexts() };
    QTextStream log(stdout);
    int failures = 0;
    for (const Sample &sample : samples) {
        QString why;
        const QString path = out.filePath(sample.fileName);
        const QByteArray json
                = withShortEmptyLists(QJsonDocument(sample.result.toJsonObject()).toJson());
        if (!writeFile(path, json)) {
            why = QStringLiteral("cannot write it");
        } else if (verifyResult(path, sample.result, &why)) {
            const QList<XrfImageInfo> &infos = sample.result.images();
            for (int i = 0; i < infos.size() && why.isEmpty(); ++i) {
                const QString name = infos.at(i).name();
                if (name.contains(QLatin1Char('/')))
                    why = QStringLiteral("image name %1 holds a '/'").arg(name);
                else if (!writeImage(out.filePath(QStringLiteral("images/") + name),
                                     sample.photos.at(i), &why))
                    why = name + QStringLiteral(": ") + why;
            }
        }
        if (!why.isEmpty()) {
            err() << "xrfsamples: " << path << ": " << why << '\n';
            ++failures;
            continue;
        }
        const XrfAnalysisResult &a = sample.result.analysis();
        log << sample.fileName << "  " << a.testType() << "  " << a.tidName() << "  "
            << a.dateTimeString() << "  spectra " << sample.result.spectra().size() << "  images "
            << sample.result.images().size() << '\n';
    }
    log.flush();
    return failures == 0 ? 0 : 3;
}
