#ifndef XRFIMAGE_H
#define XRFIMAGE_H

// An image file handed to a caller: its name under the images folder and its bytes as
// lower-case hexadecimal text.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_IMAGE_FIELDS(X)                                                                        \
    X(V, int, testId, TestId, -1, "testId")                                                        \
    X(V, QString, imageFileName, ImageFileName, {}, "imageFileName")                               \
    X(V, QString, imageBuff, ImageBuff, {}, "imageBuff")

class XRFCOMMON_EXPORT XrfImage
{
    XRF_FIELDS_DECLARE(XrfImage, XRF_IMAGE_FIELDS)
};

Q_DECLARE_METATYPE(XrfImage)

#endif // XRFIMAGE_H
