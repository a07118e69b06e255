#include "xrfcalcheckresult.h"

XRF_FIELDS_DEFINE(XrfCalCheckResult, XRF_CALCHECKRESULT_FIELDS)
