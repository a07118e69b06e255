#ifndef XRFCOMPOUNDRESULT_H
#define XRFCOMPOUNDRESULT_H

// The factor that turns an element concentration into that of a compound (Fe -> Fe2O3).

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_COMPOUNDRESULT_FIELDS(X)                                                               \
    X(V, QString, elementName, ElementName, {}, "elementName")                                     \
    X(V, QString, compoundName, CompoundName, {}, "compoundName")                                  \
    X(V, float, factor, Factor, 0.0f, "factor")

class XRFCOMMON_EXPORT XrfCompoundResult
{
    XRF_FIELDS_DECLARE(XrfCompoundResult, XRF_COMPOUNDRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfCompoundResult)

#endif // XRFCOMPOUNDRESULT_H
