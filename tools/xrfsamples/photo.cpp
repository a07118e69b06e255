// Each look is a texture computed pixel by pixel from the generator (brushing marks along the
// rows, grains of soil), with a few shapes painted on top: pins, a coupon, the sample cup and
// the collimator spot. The pixels are visited in one fixed order, as the noise depends on it.

#include "photo.h"

#include "rng.h"
#include "xrfimageinfo.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kImageWidth = 320;
constexpr int kImageHeight = 240;

QRgb shade(double r, double g, double b)
{
    auto c = [](double v) { return int(std::clamp(v, 0.0, 255.0)); };
    return qRgb(c(r), c(g), c(b));
}

// Lightness across a cylinder lying along x, 0 at the edges, 1 on the axis.
double cylinder(int y, int top, int bottom)
{
    const double t = (2.0 * (y - top) / double(bottom - top)) - 1.0;
    return std::sqrt(std::max(0.0, 1.0 - t * t));
}

// A round bar lying along x on a light bench, lit along its axis.
struct Bar
{
    int top, bottom;
    double bench[3];
    double colour[3];
    double dark, lit, streak; // lightness at the edges, gained on the axis, of the brushing
};

const Bar kBrassBar { 50, 190, { 200, 200, 196 }, { 190, 158, 84 }, 0.45, 0.65, 0.004 };
const Bar kCopperBar { 70, 170, { 212, 212, 214 }, { 186, 112, 60 }, 0.4, 0.7, 0.003 };

QRgb bar(const Bar &b, int y, double streak, double n)
{
    const double c = y < b.top || y > b.bottom ? 0.0 : cylinder(y, b.top, b.bottom);
    if (c <= 0.0)
        return shade(b.bench[0] + 3 * n, b.bench[1] + 3 * n, b.bench[2] + 3 * n);
    const double v = b.dark + b.lit * c + b.streak * streak + 0.02 * n;
    return shade(b.colour[0] * v, b.colour[1] * v, b.colour[2] * v);
}

} // namespace

QImage photo(Look look, Rng &rng, const XrfImageInfo &info, double spotRadius)
{
    QImage image(kImageWidth, kImageHeight, QImage::Format_RGB32);
    // Brushing marks: one smoothed random offset per row.
    QVector<double> streak(kImageHeight);
    double s = 0.0;
    for (double &v : streak) {
        s = 0.7 * s + 0.3 * rng.normal() * 10.0;
        v = s;
    }
    for (int y = 0; y < kImageHeight; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < kImageWidth; ++x) {
            const double n = rng.normal();
            QRgb rgb = 0;
            switch (look) {
            case Look::BrushedSteel:
                if (y < 28 || y > 212) {
                    rgb = shade(46 + 3 * n, 48 + 3 * n, 52 + 3 * n);
                } else {
                    const double v = 95 + 110 * cylinder(y, 28, 212) + streak[y] + 4 * n
                            - 0.06 * std::abs(x - 160);
                    rgb = shade(v - 3, v, v + 5);
                }
                break;
            case Look::SteelMacro: {
                const double v = 150 + 2.5 * streak[y] + 6 * n + 30.0 * x / kImageWidth;
                rgb = shade(v - 3, v, v + 5);
                break;
            }
            case Look::BlackPlastic: {
                const double v = 34 + 28.0 * (x + y) / (kImageWidth + kImageHeight) + 2 * n
                        + (x > 250 ? 16 : 0);
                rgb = shade(v, v, v + 3);
                break;
            }
            case Look::Connector: {
                const double v = 28 + 3 * n;
                rgb = shade(v, v + 2, v);
                break;
            }
            case Look::Coupon:
                rgb = shade(64 + 3 * n, 62 + 3 * n, 60 + 3 * n);
                break;
            case Look::Brass:
                rgb = bar(kBrassBar, y, streak[y], n);
                break;
            case Look::Soil: {
                const double grain = rng.uniform() < 0.03 ? 70.0 : 0.0;
                rgb = shade(122 + 14 * n + grain, 88 + 11 * n + grain, 58 + 9 * n + grain);
                break;
            }
            case Look::Copper:
                rgb = bar(kCopperBar, y, streak[y], n);
                break;
            }
            line[x] = rgb;
        }
    }

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    switch (look) {
    case Look::Connector:
        // Gold plated contact pins in a black body.
        for (int i = 0; i < 6; ++i) {
            const double left = 28 + i * 46;
            QLinearGradient g(left, 0, left + 26, 0);
            g.setColorAt(0.0, QColor(120, 92, 30));
            g.setColorAt(0.45, QColor(246, 214, 120));
            g.setColorAt(1.0, QColor(138, 104, 34));
            p.fillRect(QRectF(left, 30, 26, 180), g);
        }
        break;
    case Look::Coupon: {
        QRadialGradient g(QPointF(140, 100), 150);
        g.setColorAt(0.0, QColor(214, 216, 220));
        g.setColorAt(1.0, QColor(120, 122, 126));
        p.setPen(QPen(QColor(40, 40, 42), 2));
        p.setBrush(g);
        p.drawEllipse(QPointF(160, 120), 104, 104);
        break;
    }
    case Look::Soil: {
        // Sample cup: the soil shows through a round film window.
        QPainterPath outside;
        outside.addRect(0, 0, kImageWidth, kImageHeight);
        QPainterPath window;
        window.addEllipse(QPointF(160, 120), 108, 108);
        p.fillPath(outside.subtracted(window), QColor(226, 228, 232));
        p.setPen(QPen(QColor(170, 172, 178), 5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(160, 120), 110, 110);
        break;
    }
    default:
        break;
    }
    if (info.imageHasCircle()) {
        const QPointF spot(info.collimatorSpotX(), info.collimatorSpotY());
        p.setPen(QPen(QColor(228, 28, 28), 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(spot, spotRadius, spotRadius);
        p.drawLine(spot - QPointF(4, 0), spot + QPointF(4, 0));
        p.drawLine(spot - QPointF(0, 4), spot + QPointF(0, 4));
    }
    p.end();
    return image;
}
