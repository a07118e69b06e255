#include "xrfgradematchspec.h"

XRF_FIELDS_DEFINE(XrfGradeMatchSpec, XRF_GRADEMATCHSPEC_FIELDS)
