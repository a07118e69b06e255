#ifndef XRFPSEUDOELEMENTRESULT_H
#define XRFPSEUDOELEMENTRESULT_H

// A pseudo element: a value computed by a formula over element concentrations.
// notApplicable marks a formula that could not be evaluated for this test.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_PSEUDOELEMENTRESULT_FIELDS(X)                                                          \
    X(V, QString, elementName, ElementName, {}, "elementName")                                     \
    X(V, QString, formula, Formula, {}, "formula")                                                 \
    X(V, bool, notApplicable, NotApplicable, false, "notApplicable")                               \
    X(V, float, concentration, Concentration, 0.0f, "concentration")                               \
    X(V, float, error, Error, 0.0f, "error")

class XRFCOMMON_EXPORT XrfPseudoElementResult
{
    XRF_FIELDS_DECLARE(XrfPseudoElementResult, XRF_PSEUDOELEMENTRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfPseudoElementResult)

#endif // XRFPSEUDOELEMENTRESULT_H
