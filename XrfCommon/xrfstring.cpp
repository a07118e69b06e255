#include "xrfstring.h"

XRF_FIELDS_DEFINE(XrfString, XRF_STRING_FIELDS)
