#include "xrfcoatingresult.h"

XRF_FIELDS_DEFINE(XrfCoatingResult, XRF_COATINGRESULT_FIELDS)
