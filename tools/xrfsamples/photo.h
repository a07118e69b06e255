#ifndef PHOTO_H
#define PHOTO_H

// The camera pictures of the samples, drawn rather than kept as files so that they come
// from the same seed as the rest of a sample and are written again with it.

#include <QImage>

class Rng;
class XrfImageInfo;

// What the camera looks at.
enum class Look { BrushedSteel, SteelMacro, BlackPlastic, Connector, Coupon, Brass, Soil, Copper };

// A 320x240 picture of the look, with the collimator spot drawn where the image info puts
// it when it says the image has a circle.
QImage photo(Look look, Rng &rng, const XrfImageInfo &info, double spotRadius);

#endif // PHOTO_H
