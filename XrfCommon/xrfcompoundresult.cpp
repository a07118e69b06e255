#include "xrfcompoundresult.h"

XRF_FIELDS_DEFINE(XrfCompoundResult, XRF_COMPOUNDRESULT_FIELDS)
