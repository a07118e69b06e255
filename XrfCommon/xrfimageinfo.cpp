#include "xrfimageinfo.h"

XRF_FIELDS_DEFINE(XrfImageInfo, XRF_IMAGEINFO_FIELDS)
