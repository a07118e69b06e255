#include "xrfimage.h"

XRF_FIELDS_DEFINE(XrfImage, XRF_IMAGE_FIELDS)
