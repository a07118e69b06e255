#include "xrfdatetimerange.h"

XRF_FIELDS_DEFINE(XrfDateTimeRange, XRF_DATETIMERANGE_FIELDS)
