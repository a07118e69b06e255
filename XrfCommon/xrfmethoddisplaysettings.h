#ifndef XRFMETHODDISPLAYSETTINGS_H
#define XRFMETHODDISPLAYSETTINGS_H

// How a method wants its results shown: the order of the elements, the decimals of
// concentrations and thicknesses, and below which concentration ppm is used instead of %.
// A method's JSON carries them as the object "displaySettings":
//
//     "displaySettings": {
//         "elementOrder": ["Fe", "Cr", "Ni"],  these first, in this order; the others follow
//                                              in the result's own order
//         "percentDecimals": 2,                % values of 1 % and more
//         "smallPercentDecimals": 3,           % values below 1 %
//         "ppmThreshold": 0.1,                 in %: a value whose magnitude is below it is
//                                              shown in whole ppm (% x 10000); 0 never
//         "thicknessDecimals": 2               coating thicknesses in µm
//     }
//
// Every member is optional. A missing member, one of the wrong type, and one out of range
// (decimals outside 0 to maxDecimals, a negative or non-finite threshold) keeps its default.
// Element names are matched exactly: "Co" is not "CO".

#include "xrfcommon_global.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

class XRFCOMMON_EXPORT MethodDisplaySettings
{
public:
    static constexpr int defaultPercentDecimals = 2;
    static constexpr int defaultSmallPercentDecimals = 3;
    static constexpr double defaultPpmThreshold = 0.1;
    static constexpr int defaultThicknessDecimals = 2;
    // Beyond this a float concentration has no more digits to show.
    static constexpr int maxDecimals = 6;

    // The member of a method's JSON that holds the display settings.
    static const QString methodKey;

    QStringList elementOrder() const { return m_elementOrder; }
    void setElementOrder(const QStringList &elements) { m_elementOrder = elements; }

    // The setters bound decimals to 0..maxDecimals; a negative or non-finite threshold is 0.
    int percentDecimals() const { return m_percentDecimals; }
    void setPercentDecimals(int decimals);
    int smallPercentDecimals() const { return m_smallPercentDecimals; }
    void setSmallPercentDecimals(int decimals);
    double ppmThreshold() const { return m_ppmThreshold; }
    void setPpmThreshold(double percent);
    int thicknessDecimals() const { return m_thicknessDecimals; }
    void setThicknessDecimals(int decimals);

    static MethodDisplaySettings fromJsonObject(const QJsonObject &object);
    // The settings under methodKey in a method's JSON; the defaults when it has none.
    static MethodDisplaySettings fromMethodJson(const QJsonObject &method);
    // Every member, so that the object also documents the defaults in force.
    QJsonObject toJsonObject() const;

    bool operator==(const MethodDisplaySettings &other) const;
    bool operator!=(const MethodDisplaySettings &other) const { return !(*this == other); }

private:
    QStringList m_elementOrder;
    int m_percentDecimals = defaultPercentDecimals;
    int m_smallPercentDecimals = defaultSmallPercentDecimals;
    double m_ppmThreshold = defaultPpmThreshold;
    int m_thicknessDecimals = defaultThicknessDecimals;
};

#endif // XRFMETHODDISPLAYSETTINGS_H
