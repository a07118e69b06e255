#ifndef XRFUSERFACTORRESULT_H
#define XRFUSERFACTORRESULT_H

// A user calibration of one element: concentration * factor + offset. The default is neutral.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_USERFACTORRESULT_FIELDS(X)                                                             \
    X(V, QString, elementName, ElementName, {}, "elementName")                                     \
    X(V, float, factor, Factor, 1.0f, "factor")                                                    \
    X(V, float, offset, Offset, 0.0f, "offset")                                                    \
    X(V, bool, userEntered, UserEntered, false, "userEntered")

class XRFCOMMON_EXPORT XrfUserFactorResult
{
    XRF_FIELDS_DECLARE(XrfUserFactorResult, XRF_USERFACTORRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfUserFactorResult)

#endif // XRFUSERFACTORRESULT_H
