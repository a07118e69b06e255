#ifndef SPECTRUM_H
#define SPECTRUM_H

// Simulated spectra: what the analyser would count for a composition under one beam, with
// the acquisition values it reports alongside. The physics is rough on purpose, just enough
// for line ratios, matrix effects, scatter and artefacts to look right to a user.

#include <QPair>
#include <QString>
#include <QVector>

#include "xrfdriftcorrection.h"
#include "xrffilterproperties.h"
#include "xrfspectrum.h"

class Rng;

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

inline constexpr Matrix kSteel { 85000, 7.112, 8.0, 0.06, 0.10 };
inline constexpr Matrix kBrass { 105000, 8.979, 7.5, 0.07, 0.10 };
inline constexpr Matrix kCopper { 100000, 8.979, 7.5, 0.07, 0.10 };
inline constexpr Matrix kPlastic { 3500, 0.0, 1.0, 0.02, 0.17 };
inline constexpr Matrix kSoil { 20000, 7.112, 1.3, 0.04, 0.15 };
inline constexpr Matrix kPlated { 140000, 11.919, 2.5, 0.09, 0.08 };

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

XrfFilterProperties filter(quint16 z, quint16 thickness, quint16 diameter, bool collimator);
XrfDriftCorrection drift(const char *timeStamp, double gain, double shift);

// The beams of the analyser at the given output rate.
Exposure mainBeam(double rate);
Exposure lightBeam(double rate);
Exposure heavyBeam(double rate);

XrfSpectrum simulate(Rng &rng, const Composition &composition, const Matrix &m, const Exposure &x,
                     int exposureNumber, int totalExposures);

#endif // SPECTRUM_H
