#include "xrfjsonmessage.h"

XRF_FIELDS_DEFINE(XrfJsonMessage, XRF_JSONMESSAGE_FIELDS)
