#ifndef XRFAVERAGEINFO_H
#define XRFAVERAGEINFO_H

// One source test of an averaged result. testDateTime is display text.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_AVERAGEINFO_FIELDS(X)                                                                  \
    X(V, int, testId, TestId, -1, "testId")                                                        \
    X(V, QString, testDateTime, TestDateTime, {}, "testDateTime")                                  \
    X(V, int, dailyId, DailyId, -1, "dailyId")                                                     \
    X(V, QString, tidName, TidName, {}, "tidName")

class XRFCOMMON_EXPORT XrfAverageInfo
{
    XRF_FIELDS_DECLARE(XrfAverageInfo, XRF_AVERAGEINFO_FIELDS)
};

Q_DECLARE_METATYPE(XrfAverageInfo)

#endif // XRFAVERAGEINFO_H
