#include "xrfuserfactorresult.h"

XRF_FIELDS_DEFINE(XrfUserFactorResult, XRF_USERFACTORRESULT_FIELDS)
