#include "xrfregressioninfo.h"

XRF_FIELDS_DEFINE(XrfRegressionInfo, XRF_REGRESSIONINFO_FIELDS)
