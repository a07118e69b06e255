#include "xrfdriftcorrection.h"

XRF_FIELDS_DEFINE(XrfDriftCorrection, XRF_DRIFTCORRECTION_FIELDS)
