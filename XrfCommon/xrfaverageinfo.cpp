#include "xrfaverageinfo.h"

XRF_FIELDS_DEFINE(XrfAverageInfo, XRF_AVERAGEINFO_FIELDS)
