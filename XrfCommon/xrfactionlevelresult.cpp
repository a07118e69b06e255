#include "xrfactionlevelresult.h"

XRF_FIELDS_DEFINE(XrfActionLevelResult, XRF_ACTIONLEVELRESULT_FIELDS)
