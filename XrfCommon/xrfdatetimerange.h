#ifndef XRFDATETIMERANGE_H
#define XRFDATETIMERANGE_H

// A range of test date-times. The ends keep the time zone setting they were given, so that
// their text in the date-time format is the text of the request.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_DATETIMERANGE_FIELDS(X)                                                                \
    X(V, QDateTime, startDateTime, StartDateTime, {}, "startDateTime")                             \
    X(V, QDateTime, endDateTime, EndDateTime, {}, "endDateTime")

class XRFCOMMON_EXPORT XrfDateTimeRange
{
public:
    XrfDateTimeRange() = default;
    XrfDateTimeRange(const QDateTime &start, const QDateTime &end)
        : m_startDateTime(start), m_endDateTime(end)
    {
    }

    XRF_FIELDS_DECLARE(XrfDateTimeRange, XRF_DATETIMERANGE_FIELDS)
};

Q_DECLARE_METATYPE(XrfDateTimeRange)

#endif // XRFDATETIMERANGE_H
