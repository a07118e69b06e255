#ifndef XRFCHEMISTRYRESULT_H
#define XRFCHEMISTRYRESULT_H

// One element of the chemistry: its concentration and the error of it.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_CHEMISTRYRESULT_FIELDS(X)                                                              \
    X(V, QString, elementName, ElementName, {}, "elementName")                                     \
    X(V, float, concentration, Concentration, 0.0f, "concentration")                               \
    X(V, float, error, Error, 0.0f, "error")

class XRFCOMMON_EXPORT XrfChemistryResult
{
    XRF_FIELDS_DECLARE(XrfChemistryResult, XRF_CHEMISTRYRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfChemistryResult)

#endif // XRFCHEMISTRYRESULT_H
