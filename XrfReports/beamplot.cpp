#include "beamplot.h"

#include "xrfspectrum.h"

#include <QFontMetricsF>
#include <QLocale>
#include <QPaintDevice>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

#include <xraylib.h>

namespace {

const QColor curveColour(0x1f, 0x4e, 0x79);
const QColor markColour(0xb0, 0x3a, 0x2e);
const QColor gridColour(0xdd, 0xdd, 0xdd);

// Label rows above the curve at most; marks that find no free place share the emptiest row.
constexpr int maxLabelRows = 4;
// Columns the counts are reduced to: finer than any page shows, coarser than 2048 channels.
constexpr int curveColumns = 500;

// 1, 2 or 5 times a power of ten, so that about `ticks` steps cover `range`.
double niceStep(double range, int ticks)
{
    if (!(range > 0.0))
        return 1.0;
    const double raw = range / ticks;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / magnitude;
    return (f <= 1.0 ? 1.0 : f <= 2.0 ? 2.0 : f <= 5.0 ? 5.0 : 10.0) * magnitude;
}

QString tickText(double value)
{
    return QLocale::c().toString(value, 'g', 6);
}

} // namespace

double BeamPlot::slopeKeV(const XrfSpectrum &spectrum)
{
    const double slope = spectrum.energySlope();
    return std::abs(slope) > maxKeVPerChannel ? slope / 1000.0 : slope;
}

double BeamPlot::offsetKeV(const XrfSpectrum &spectrum)
{
    const double offset = spectrum.energyOffset();
    return std::abs(spectrum.energySlope()) > maxKeVPerChannel ? offset / 1000.0 : offset;
}

double BeamPlot::channelEnergyKeV(const XrfSpectrum &spectrum, double channel)
{
    return offsetKeV(spectrum) + slopeKeV(spectrum) * channel;
}

double BeamPlot::topEnergyKeV(const XrfSpectrum &spectrum)
{
    const int channels = spectrum.channels().size();
    if (channels == 0 || !(slopeKeV(spectrum) > 0.0))
        return 0.0;
    const double last = channelEnergyKeV(spectrum, channels - 1);
    const double tube = spectrum.tubeVoltageSet();
    return tube > 0.0 && tube < last ? tube : last;
}

QVector<BeamPlot::LineMark> BeamPlot::lineMarks(const QStringList &elements, double fromKeV,
                                                double toKeV)
{
    static const struct
    {
        int line;
        const char *name;
    } lines[] = { { KA1_LINE, "K\u03b1" }, { LA1_LINE, "L\u03b1" } };
    const double from = std::max(fromKeV, lowestLineKeV);
    QVector<LineMark> marks;
    QStringList seen;
    for (const QString &element : elements) {
        if (seen.contains(element))
            continue;
        seen << element;
        const int z = SymbolToAtomicNumber(element.toLatin1().constData(), nullptr);
        if (z <= 0)
            continue;
        for (const auto &line : lines) {
            const double energy = LineEnergy(z, line.line, nullptr);
            if (energy > 0.0 && energy >= from && energy <= toKeV)
                marks.append({ element, QString::fromUtf8(line.name), energy });
        }
    }
    std::sort(marks.begin(), marks.end(),
              [](const LineMark &a, const LineMark &b) { return a.energyKeV < b.energyKeV; });
    return marks;
}

void BeamPlot::draw(QPainter *painter, const QRectF &area, const QFont &font,
                    const XrfSpectrum &spectrum, const QStringList &elements, const QString &title)
{
    painter->save();
    QPaintDevice *device = painter->device();
    const double pt = device->logicalDpiY() / 72.0;
    QFont titleFont = font;
    titleFont.setBold(true);
    QFont small = font;
    small.setPointSizeF(font.pointSizeF() * 0.75);
    const QFontMetricsF titleMetrics(titleFont, device);
    const QFontMetricsF smallMetrics(small, device);
    const double rowHeight = smallMetrics.height();

    painter->setFont(titleFont);
    painter->setPen(Qt::black);
    painter->drawText(QPointF(area.left(), area.top() + titleMetrics.ascent()),
                      titleMetrics.elidedText(title, Qt::ElideRight, area.width()));
    const double labelsTop = area.top() + titleMetrics.height() * 1.15;

    const QVector<quint32> &counts = spectrum.channels();
    const double top = topEnergyKeV(spectrum);
    int firstChannel = 0;
    int lastChannel = -1;
    quint32 highest = 0;
    const double slope = slopeKeV(spectrum);
    const double offset = offsetKeV(spectrum);
    if (top > 0.0) {
        firstChannel = std::max(0, int(std::ceil(-offset / slope)));
        lastChannel = std::min(counts.size() - 1, int(std::floor((top - offset) / slope)));
        for (int c = firstChannel; c <= lastChannel; ++c)
            highest = std::max(highest, counts.at(c));
    }

    const double yStep = niceStep(std::max<double>(highest, 10.0), 4);
    const double yTop = std::ceil(std::max<double>(highest, 10.0) / yStep) * yStep;
    const QString countsLabel = QStringLiteral("Counts");
    const double yLabelWidth = std::max(smallMetrics.horizontalAdvance(tickText(yTop)),
                                        smallMetrics.horizontalAdvance(countsLabel))
            + 2.0 * pt;
    const double plotLeft = area.left() + yLabelWidth + 2.0 * pt;
    const double plotWidth = area.width() - yLabelWidth - 4.0 * pt;

    // Element lines: each label a flag to the right of its line (to the left at the right
    // edge), in the first row where it touches no other label. Rows above a label stay closed
    // up to its end, so that no later line, which runs down from its own label, crosses it.
    struct Placed
    {
        double x, left;
        QString text;
        int row;
    };
    QVector<Placed> placed;
    if (top > 0.0 && lastChannel >= firstChannel) {
        double rowEnd[maxLabelRows];
        std::fill(std::begin(rowEnd), std::end(rowEnd), -1e300);
        for (const LineMark &mark :
             lineMarks(elements, channelEnergyKeV(spectrum, firstChannel), top)) {
            const double x = plotLeft + mark.energyKeV / top * plotWidth;
            const QString text = mark.element + QLatin1Char(' ') + mark.line;
            const double w = smallMetrics.horizontalAdvance(text);
            const double left = x + pt + w <= plotLeft + plotWidth ? x + pt : x - pt - w;
            int row = 0;
            while (row < maxLabelRows && rowEnd[row] + 2.0 * pt > left)
                ++row;
            if (row == maxLabelRows)
                row = int(std::min_element(std::begin(rowEnd), std::end(rowEnd)) - rowEnd);
            for (int above = 0; above <= row; ++above)
                rowEnd[above] = std::max(rowEnd[above], left + w);
            placed.append({ x, left, text, row });
        }
    }
    int rows = 0;
    for (const Placed &p : qAsConst(placed))
        rows = std::max(rows, p.row + 1);

    const double plotTop = labelsTop + std::max(rows, 1) * rowHeight;
    const QRectF plot(plotLeft, plotTop, plotWidth, area.bottom() - 2.1 * rowHeight - plotTop);
    if (plot.width() <= 0.0 || plot.height() <= 0.0) {
        painter->restore();
        return;
    }

    painter->setFont(small);
    painter->setPen(Qt::black);
    painter->drawText(QPointF(area.left(), plot.top() - rowHeight * 0.6), countsLabel);
    if (lastChannel < firstChannel) {
        painter->setPen(QPen(Qt::black, 0.5 * pt));
        painter->drawRect(plot);
        painter->drawText(plot, Qt::AlignCenter, QStringLiteral("no channel data"));
        painter->restore();
        return;
    }

    const auto xOf = [&](double keV) { return plot.left() + keV / top * plot.width(); };
    const auto yOf = [&](double n) { return plot.bottom() - n / yTop * plot.height(); };

    // Grid and ticks.
    const double xStep = niceStep(top, 8);
    painter->setPen(QPen(gridColour, 0.4 * pt));
    for (double e = xStep; e < top; e += xStep)
        painter->drawLine(QPointF(xOf(e), plot.top()), QPointF(xOf(e), plot.bottom()));
    for (double n = yStep; n < yTop; n += yStep)
        painter->drawLine(QPointF(plot.left(), yOf(n)), QPointF(plot.right(), yOf(n)));
    painter->setPen(Qt::black);
    for (double e = 0.0; e <= top + xStep * 1e-9; e += xStep) {
        const QString text = tickText(e);
        const double w = smallMetrics.horizontalAdvance(text);
        painter->drawText(QPointF(xOf(e) - w / 2.0, plot.bottom() + smallMetrics.ascent() + pt),
                          text);
    }
    for (double n = 0.0; n <= yTop + yStep * 1e-9; n += yStep) {
        const QString text = tickText(n);
        const double w = smallMetrics.horizontalAdvance(text);
        painter->drawText(QPointF(plot.left() - w - 2.0 * pt,
                                  yOf(n) + smallMetrics.ascent() / 2.0 - smallMetrics.descent()),
                          text);
    }
    const QString energyLabel = QStringLiteral("Energy (keV)");
    painter->drawText(QPointF(plot.right() - smallMetrics.horizontalAdvance(energyLabel),
                              plot.bottom() + rowHeight + smallMetrics.ascent() + pt),
                      energyLabel);

    // The counts, reduced to the lowest and highest of each column in the order they came.
    QPolygonF curve;
    curve.reserve(2 * curveColumns + 2);
    int column = -1;
    quint32 low = 0, high = 0;
    bool lowFirst = true;
    const auto flush = [&]() {
        if (column < 0)
            return;
        const double x = plot.left() + (column + 0.5) * plot.width() / curveColumns;
        curve << QPointF(x, yOf(lowFirst ? low : high));
        if (low != high)
            curve << QPointF(x, yOf(lowFirst ? high : low));
    };
    for (int c = firstChannel; c <= lastChannel; ++c) {
        const double e = offset + slope * c;
        const int col = std::min(curveColumns - 1, std::max(0, int(e / top * curveColumns)));
        const quint32 n = counts.at(c);
        if (col != column) {
            flush();
            column = col;
            low = high = n;
            lowFirst = true;
        } else if (n < low) {
            low = n;
            lowFirst = false;
        } else if (n > high) {
            high = n;
        }
    }
    flush();
    painter->setPen(QPen(curveColour, 0.6 * pt, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->drawPolyline(curve);

    for (const Placed &p : qAsConst(placed)) {
        const double baseline = labelsTop + p.row * rowHeight + smallMetrics.ascent();
        painter->setPen(QPen(markColour, 0.4 * pt, Qt::DashLine));
        painter->drawLine(QPointF(p.x, baseline - smallMetrics.ascent()),
                          QPointF(p.x, plot.bottom()));
        painter->setPen(markColour);
        painter->drawText(QPointF(p.left, baseline), p.text);
    }

    painter->setPen(QPen(Qt::black, 0.5 * pt));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(plot);
    painter->restore();
}
