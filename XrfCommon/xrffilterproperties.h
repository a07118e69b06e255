#ifndef XRFFILTERPROPERTIES_H
#define XRFFILTERPROPERTIES_H

// The beam filter of an exposure: material by atomic number, sizes in micrometres.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_FILTERPROPERTIES_FIELDS(X)                                                             \
    X(V, quint16, materialAtomicNumber, MaterialAtomicNumber, 0, "materialAtomicNumber")           \
    X(V, quint16, diameterInMicrons, DiameterInMicrons, 0, "diameterInMicrons")                    \
    X(V, quint16, thicknessInMicrons, ThicknessInMicrons, 0, "thicknessInMicrons")                 \
    X(V, bool, hasCollimator, HasCollimator, false, "hasCollimator")

class XRFCOMMON_EXPORT XrfFilterProperties
{
    XRF_FIELDS_DECLARE(XrfFilterProperties, XRF_FILTERPROPERTIES_FIELDS)
};

Q_DECLARE_METATYPE(XrfFilterProperties)

#endif // XRFFILTERPROPERTIES_H
