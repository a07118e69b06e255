#ifndef XRFDRIFTCORRECTION_H
#define XRFDRIFTCORRECTION_H

// The energy drift correction applied to an exposure: energy = raw * gainFactor +
// offsetShift (keV). An empty timeStampUtc means that no correction was made.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_DRIFTCORRECTION_FIELDS(X)                                                              \
    X(V, QString, timeStampUtc, TimeStampUtc, {}, "timeStampUtc")                                  \
    X(V, double, gainFactor, GainFactor, 1.0, "gainFactor")                                        \
    X(V, double, offsetShift, OffsetShift, 0.0, "offsetShift")

class XRFCOMMON_EXPORT XrfDriftCorrection
{
    XRF_FIELDS_DECLARE(XrfDriftCorrection, XRF_DRIFTCORRECTION_FIELDS)
};

Q_DECLARE_METATYPE(XrfDriftCorrection)

#endif // XRFDRIFTCORRECTION_H
