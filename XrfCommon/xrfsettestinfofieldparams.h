#ifndef XRFSETTESTINFOFIELDPARAMS_H
#define XRFSETTESTINFOFIELDPARAMS_H

// An edit of one test info field of a stored test. testId is text, as requests send it.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_SETTESTINFOFIELDPARAMS_FIELDS(X)                                                       \
    X(V, QString, testId, TestId, {}, "testId")                                                    \
    X(V, QString, fieldName, FieldName, {}, "fieldName")                                           \
    X(V, QString, fieldValue, FieldValue, {}, "fieldValue")

class XRFCOMMON_EXPORT XrfSetTestInfoFieldParams
{
    XRF_FIELDS_DECLARE(XrfSetTestInfoFieldParams, XRF_SETTESTINFOFIELDPARAMS_FIELDS)
};

Q_DECLARE_METATYPE(XrfSetTestInfoFieldParams)

#endif // XRFSETTESTINFOFIELDPARAMS_H
