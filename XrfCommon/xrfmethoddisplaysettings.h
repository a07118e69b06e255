#ifndef XRFMETHODDISPLAYSETTINGS_H
#define XRFMETHODDISPLAYSETTINGS_H

// How a method wants its results shown: the order of the elements, the decimals of
// concentrations and thicknesses, the unit of each element's concentration, and below which
// concentration ppm is used instead of % where no unit is stated. A method's JSON carries them
// as the object "displaySettings":
//
//     "displaySettings": {
//         "elementOrder": ["Fe", "Cr", "Ni"],  these first, in this order; the others follow
//                                              in the result's own order
//         "percentDecimals": 2,                % values of 1 % and more
//         "smallPercentDecimals": 3,           % values below 1 %
//         "ppmThreshold": 0.1,                 in %: a value whose magnitude is below it is
//                                              shown in whole ppm (% x 10000); 0 never
//         "thicknessDecimals": 2,              coating thicknesses in µm
//         "concentrationUnit": "auto",         "%" or "ppm": every element's concentration in
//                                              that unit, in exports too; "auto": % in files,
//                                              on screen and in reports ppm below ppmThreshold
//         "elementUnits": {"Cd": "ppm"},       the unit of single elements, over
//                                              concentrationUnit ("%", "ppm" or "auto")
//         "methods": {                         for the results of one method id, members that
//             "RoHS-Plastics": {...}           replace those above (a result of any method may
//         }                                    be shown while one method is current)
//     }
//
// Every member is optional. A missing member, one of the wrong type, and one out of range
// (decimals outside 0 to maxDecimals, a negative or non-finite threshold, an unknown unit) keeps
// its default; an entry of "elementUnits" or "methods" of the wrong type is left out. Element
// names and method ids are matched exactly: "Co" is not "CO". Units apply to the elements of
// the chemistry, not to pseudo elements, whose values are sums and indices.
//
// The stored concentrations are in %; ppm is % x 10000, the error in the unit of its value.

#include "xrfcommon_global.h"

#include <QJsonObject>
#include <QMap>
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

    enum class Unit { Automatic, Percent, Ppm };
    // "auto", "%", "ppm".
    static QString unitName(Unit unit);
    // A stored concentration or error (in %) in this unit; Automatic leaves it in %.
    static double fromPercent(double percent, Unit unit);

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

    Unit concentrationUnit() const { return m_concentrationUnit; }
    void setConcentrationUnit(Unit unit) { m_concentrationUnit = unit; }
    QMap<QString, Unit> elementUnits() const { return m_elementUnits; }
    void setElementUnits(const QMap<QString, Unit> &units) { m_elementUnits = units; }
    // The element's own unit, else concentrationUnit().
    Unit unitOf(const QString &element) const;

    // Per method id, the members that replace these for its results.
    QMap<QString, QJsonObject> methodSettings() const { return m_methodSettings; }
    void setMethodSettings(const QMap<QString, QJsonObject> &settings)
    {
        m_methodSettings = settings;
    }
    // The settings for the results of this method (without methods of their own).
    MethodDisplaySettings forMethod(const QString &methodId) const;

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
    Unit m_concentrationUnit = Unit::Automatic;
    QMap<QString, Unit> m_elementUnits;
    QMap<QString, QJsonObject> m_methodSettings;
};

#endif // XRFMETHODDISPLAYSETTINGS_H
