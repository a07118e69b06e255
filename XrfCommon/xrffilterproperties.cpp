#include "xrffilterproperties.h"

XRF_FIELDS_DEFINE(XrfFilterProperties, XRF_FILTERPROPERTIES_FIELDS)
