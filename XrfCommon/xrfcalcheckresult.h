#ifndef XRFCALCHECKRESULT_H
#define XRFCALCHECKRESULT_H

// A calibration check: the measured values and those the instrument expects.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_CALCHECKRESULT_FIELDS(X)                                                               \
    X(V, double, rate, Rate, 0.0, "rate")                                                          \
    X(V, double, resolution, Resolution, 0.0, "resolution")                                        \
    X(V, double, peak1, Peak1, 0.0, "peak1")                                                       \
    X(V, double, peak2, Peak2, 0.0, "peak2")                                                       \
    X(V, double, offset, Offset, 0.0, "offset")                                                    \
    X(V, double, slope, Slope, 0.0, "slope")                                                       \
    X(V, int, errorCode, ErrorCode, 0, "errorCode")                                                \
    X(V, int, restandardizeType, RestandardizeType, 0, "restandardizeType")                        \
    X(V, double, expectedSlope, ExpectedSlope, 0.0, "expectedSlope")                               \
    X(V, double, expectedOffset, ExpectedOffset, 0.0, "expectedOffset")                            \
    X(V, double, expectedRate, ExpectedRate, 0.0, "expectedRate")                                  \
    X(V, double, expectedResolution, ExpectedResolution, 0.0, "expectedResolution")

class XRFCOMMON_EXPORT XrfCalCheckResult
{
    XRF_FIELDS_DECLARE(XrfCalCheckResult, XRF_CALCHECKRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfCalCheckResult)

#endif // XRFCALCHECKRESULT_H
