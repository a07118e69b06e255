#ifndef XRFSPECTRUM_H
#define XRFSPECTRUM_H

// One exposure of a test: the acquisition values, the filter, the drift correction and the
// channel counts. Times are in seconds, rates in counts per second, pressures in millibars.

#include "xrfcommon_global.h"
#include "xrfdriftcorrection.h"
#include "xrffields.h"
#include "xrffilterproperties.h"

#define XRF_SPECTRUM_FIELDS(X)                                                                     \
    X(V, int, exposureNumber, ExposureNumber, 0, "exposureNumber")                                 \
    X(V, int, totalExposureNumber, TotalExposureNumber, 0, "totalExposureNumber")                  \
    X(V, double, energySlope, EnergySlope, 0.0, "energySlope")                                     \
    X(V, double, energyOffset, EnergyOffset, 0.0, "energyOffset")                                  \
    X(V, double, liveTime, LiveTime, 0.0, "liveTime")                                              \
    X(V, double, liveTimeFromHardware, LiveTimeFromHardware, 0.0, "liveTimeFromHardware")          \
    X(V, double, resetTime, ResetTime, 0.0, "resetTime")                                           \
    X(V, quint64, fastCounts, FastCounts, 0, "fastCounts")                                         \
    X(V, int, probeSerialNumber, ProbeSerialNumber, 0, "probeSerialNumber")                        \
    X(V, double, firstRate, FirstRate, 0.0, "firstRate")                                           \
    X(V, double, lastRate, LastRate, 0.0, "lastRate")                                              \
    X(V, double, realTime, RealTime, 0.0, "realTime")                                              \
    X(V, int, vacuumPressure, VacuumPressure, 0, "vacuumPressure")                                 \
    X(V, int, ambientPressureMillibars, AmbientPressureMillibars, 0, "ambientPressure")            \
    X(V, double, probeTemperature, ProbeTemperature, 0.0, "probeTemperature")                      \
    X(V, double, tubeCurrentSet, TubeCurrentSet, 0.0, "tubeCurrentSet")                            \
    X(V, double, tubeCurrentMonitor, TubeCurrentMonitor, 0.0, "tubeCurrentMonitor")                \
    X(V, double, tubeVoltageSet, TubeVoltageSet, 0.0, "tubeVoltageSet")                            \
    X(V, double, tubeVoltageMonitor, TubeVoltageMonitor, 0.0, "tubeVoltageMonitor")                \
    X(V, int, ltMultiplier, LtMultiplier, 0, "ltMultiplier")                                       \
    X(V, int, colMultiplier, ColMultiplier, 0, "colMultiplier")                                    \
    X(V, int, filterPosition, FilterPosition, 0, "filterPosition")                                 \
    X(V, int, pileups, Pileups, 0, "pileups")                                                      \
    X(V, int, clipBottom, ClipBottom, 0, "clipBottom")                                             \
    X(V, int, clipTop, ClipTop, 0, "clipTop")                                                      \
    X(V, int, topResets, TopResets, 0, "topResets")                                                \
    X(V, int, stepIndex, StepIndex, 0, "stepIndex")                                                \
    X(V, int, stepTotal, StepTotal, 0, "stepTotal")                                                \
    X(R, XrfFilterProperties, filter, Filter, {}, "filter")                                        \
    X(R, XrfDriftCorrection, driftCorrection, DriftCorrection, {}, "driftCorrection")              \
    X(R, QVector<quint32>, channels, Channels, {}, "data")

class XRFCOMMON_EXPORT XrfSpectrum
{
public:
    // The channel counts as stored: 4 bytes per channel, little-endian.
    QByteArray binaryData() const;

    // Decodes stored bytes (4 little-endian bytes per channel; a trailing partial channel is
    // ignored). With replace true the decoded counts replace the channels; with replace false
    // they are appended after the present ones, so that data can be decoded in pieces.
    // Returns the number of channels decoded.
    int fromByteArrayToInt(const QByteArray &bytes, bool replace);

    XRF_FIELDS_DECLARE(XrfSpectrum, XRF_SPECTRUM_FIELDS)
};

Q_DECLARE_METATYPE(XrfSpectrum)

#endif // XRFSPECTRUM_H
