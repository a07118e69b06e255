// Counts are drawn per channel from a Poisson distribution around an expected spectrum built
// from peak areas, so that one seed gives one spectrum. Values the database keeps as text
// with 6 significant digits are rounded to 6 here, so that a stored and reread sample still
// equals its file.

#include "spectrum.h"

#include "rng.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr int kChannels = 2048;

double sig6(double value)
{
    return QString::number(value, 'g', 6).toDouble();
}

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

// The beams of the analyser: 40 kV through a filter for the K lines from Ti up and the L
// lines of heavy elements, 15 kV unfiltered for the light elements.
Exposure exposure(double kV, double microAmps, const XrfFilterProperties &beamFilter, int position,
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

} // namespace

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

Exposure mainBeam(double rate)
{
    return exposure(40, 12, filter(13, 100, 8000, false), 1, rate);
}

Exposure lightBeam(double rate)
{
    return exposure(15, 50, filter(0, 0, 8000, false), 0, rate);
}

Exposure heavyBeam(double rate)
{
    return exposure(40, 40, filter(29, 100, 8000, false), 2, rate);
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
