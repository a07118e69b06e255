#ifndef BEAMPLOT_H
#define BEAMPLOT_H

// The channel counts of one exposure drawn against energy, with the Kα and Lα lines of the
// reported elements marked and labelled. Line energies come from xraylib.
//
// Energy = offset + slope × channel. The analyser stores slope and offset in keV; a slope
// above maxKeVPerChannel can only be eV per channel (no detector has channels that wide), and
// then the offset is taken as eV too.
//
// Stateless: every call gets what it draws, so one page holds one exposure at a time.

#include "xrfreports_global.h"

#include <QString>
#include <QStringList>
#include <QVector>

class QPainter;
class QRectF;
class QFont;
class XrfSpectrum;

class XRFREPORTS_EXPORT BeamPlot
{
public:
    struct LineMark
    {
        QString element;
        QString line; // "Kα" or "Lα"
        double energyKeV = 0.0;
    };

    static constexpr double maxKeVPerChannel = 0.5;
    // Lines below this are absorbed in air before they reach a hand-held detector.
    static constexpr double lowestLineKeV = 1.0;

    static double slopeKeV(const XrfSpectrum &spectrum);
    static double offsetKeV(const XrfSpectrum &spectrum);
    static double channelEnergyKeV(const XrfSpectrum &spectrum, double channel);
    // The energy the plot runs to: the last channel's, or the tube voltage when lower (nothing
    // above it comes from the sample).
    static double topEnergyKeV(const XrfSpectrum &spectrum);

    // The Kα1 and Lα1 lines of the elements that lie in [max(fromKeV, lowestLineKeV), toKeV],
    // in order of energy. Symbols xraylib does not know are skipped.
    static QVector<LineMark> lineMarks(const QStringList &elements, double fromKeV, double toKeV);

    // Title, axes, the counts of the exposure and the marks of the elements in `area`.
    static void draw(QPainter *painter, const QRectF &area, const QFont &font,
                     const XrfSpectrum &spectrum, const QStringList &elements,
                     const QString &title);
};

#endif // BEAMPLOT_H
