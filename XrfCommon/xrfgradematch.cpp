#include "xrfgradematch.h"

XRF_FIELDS_DEFINE(XrfGradeMatch, XRF_GRADEMATCH_FIELDS)
