#include "xrfchemistryresult.h"

XRF_FIELDS_DEFINE(XrfChemistryResult, XRF_CHEMISTRYRESULT_FIELDS)
