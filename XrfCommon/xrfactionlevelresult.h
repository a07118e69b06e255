#ifndef XRFACTIONLEVELRESULT_H
#define XRFACTIONLEVELRESULT_H

// The action level verdict of one element: an XrfAnalysisResult::RohsVerdict.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_ACTIONLEVELRESULT_FIELDS(X)                                                            \
    X(V, QString, elementName, ElementName, {}, "elementName")                                     \
    X(V, int, actionLevelEnum, ActionLevelEnum, 0, "actionLevelEnum")

class XRFCOMMON_EXPORT XrfActionLevelResult
{
    XRF_FIELDS_DECLARE(XrfActionLevelResult, XRF_ACTIONLEVELRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfActionLevelResult)

#endif // XRFACTIONLEVELRESULT_H
