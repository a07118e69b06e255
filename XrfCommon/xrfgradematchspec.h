#ifndef XRFGRADEMATCHSPEC_H
#define XRFGRADEMATCHSPEC_H

// The limits of one element in a matched grade, and how the test compared.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_GRADEMATCHSPEC_FIELDS(X)                                                               \
    X(V, QString, elementName, ElementName, {}, "elementName")                                     \
    X(V, float, min, Min, 0.0f, "min")                                                             \
    X(V, float, max, Max, 0.0f, "max")                                                             \
    X(V, QString, result, Result, {}, "result")

class XRFCOMMON_EXPORT XrfGradeMatchSpec
{
    XRF_FIELDS_DECLARE(XrfGradeMatchSpec, XRF_GRADEMATCHSPEC_FIELDS)
};

Q_DECLARE_METATYPE(XrfGradeMatchSpec)

#endif // XRFGRADEMATCHSPEC_H
