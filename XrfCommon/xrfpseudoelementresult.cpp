#include "xrfpseudoelementresult.h"

XRF_FIELDS_DEFINE(XrfPseudoElementResult, XRF_PSEUDOELEMENTRESULT_FIELDS)
