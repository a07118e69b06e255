#include "xrftestsselected.h"

XRF_FIELDS_DEFINE(XrfTestsSelected, XRF_TESTSSELECTED_FIELDS)
