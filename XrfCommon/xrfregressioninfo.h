#ifndef XRFREGRESSIONINFO_H
#define XRFREGRESSIONINFO_H

// The stored test that a regression test was compared with. historicalDateTime is
// the stored text; historicalTestId -1 is none.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_REGRESSIONINFO_FIELDS(X)                                                               \
    X(V, int, historicalTestId, HistoricalTestId, -1, "historicalTestId")                          \
    X(V, QString, historicalDateTime, HistoricalDateTime, {}, "historicalDateTime")                \
    X(V, int, historicalDailyId, HistoricalDailyId, -1, "historicalDailyId")                       \
    X(V, QString, historicalTidName, HistoricalTidName, {}, "historicalTidName")

class XRFCOMMON_EXPORT XrfRegressionInfo
{
    XRF_FIELDS_DECLARE(XrfRegressionInfo, XRF_REGRESSIONINFO_FIELDS)
};

Q_DECLARE_METATYPE(XrfRegressionInfo)

#endif // XRFREGRESSIONINFO_H
