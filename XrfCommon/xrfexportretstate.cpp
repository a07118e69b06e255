#include "xrfexportretstate.h"

XRF_FIELDS_DEFINE(XrfExportRetState, XRF_EXPORTRETSTATE_FIELDS)
