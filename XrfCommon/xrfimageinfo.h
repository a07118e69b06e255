#ifndef XRFIMAGEINFO_H
#define XRFIMAGEINFO_H

// A camera image of a test. type 0 is the inline camera, any other the macro camera.
// name is the file name relative to the images folder.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_IMAGEINFO_FIELDS(X)                                                                    \
    X(V, QString, name, Name, {}, "fileName")                                                      \
    X(V, int, type, Type, 0, "imageType")                                                          \
    X(V, double, cropAreaTop, CropAreaTop, 0.0, "cropAreaTop")                                     \
    X(V, double, cropAreaLeft, CropAreaLeft, 0.0, "cropAreaLeft")                                  \
    X(V, double, cropAreaWidth, CropAreaWidth, 0.0, "cropAreaWidth")                               \
    X(V, double, cropAreaHeight, CropAreaHeight, 0.0, "cropAreaHeight")                            \
    X(V, double, collimatorSpotX, CollimatorSpotX, 0.0, "collimatorSpotX")                         \
    X(V, double, collimatorSpotY, CollimatorSpotY, 0.0, "collimatorSpotY")                         \
    X(V, bool, imageHasCircle, ImageHasCircle, false, "imageHasCircle")

class XRFCOMMON_EXPORT XrfImageInfo
{
    XRF_FIELDS_DECLARE(XrfImageInfo, XRF_IMAGEINFO_FIELDS)
};

Q_DECLARE_METATYPE(XrfImageInfo)

#endif // XRFIMAGEINFO_H
