#include "xrfexportparam.h"

XRF_FIELDS_DEFINE(XrfExportParam, XRF_EXPORTPARAM_FIELDS)
