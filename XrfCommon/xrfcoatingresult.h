#ifndef XRFCOATINGRESULT_H
#define XRFCOATINGRESULT_H

// One coating layer. Layer order 0 is the substrate.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_COATINGRESULT_FIELDS(X)                                                                \
    X(V, QString, element, Element, {}, "element")                                                 \
    X(V, int, layerOrder, LayerOrder, 0, "layerOrder")                                             \
    X(V, float, factor, Factor, 0.0f, "factor")                                                    \
    X(V, float, thickness, Thickness, 0.0f, "thickness")                                           \
    X(V, float, error, Error, 0.0f, "error")

class XRFCOMMON_EXPORT XrfCoatingResult
{
    XRF_FIELDS_DECLARE(XrfCoatingResult, XRF_COATINGRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfCoatingResult)

#endif // XRFCOATINGRESULT_H
