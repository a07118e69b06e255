#ifndef XRFKORVIRESULTPRETTY_H
#define XRFKORVIRESULTPRETTY_H

// A result in the form a screen or a report shows it: rounded values with their units and
// texts, readable labels, the elements in the method's order.
//
//     XrfKorviResultPretty pretty(result);
//     pretty.prettify(&settings); // or nullptr: the defaults of MethodDisplaySettings
//     const QJsonObject shown = pretty.toJsonObject();
//
// toJsonObject() gives every member below, each list possibly empty; "calCheck" only when
// the result holds a calibration check:
//   "testId"          number; null when the result has none yet
//   "tidName", "testType", "operator" (the user id)   texts
//   "dateTimeUtc"     the stored UTC text, "yyyy-MM-dd hh:mm:ss.zzz"; "" when not set
//   "dateTimeLocal"   local wall-clock time, "yyyy-MM-dd hh:mm:ss"; "" when not set
//   "method"          the method's display name, else its id
//   "chemistry"       [reading], the element order of the settings first
//   "pseudoElements"  [reading + "formula": text, "notApplicable": bool], same order rule
//   "coating"         [{"element", "layer": number, "substrate": bool, "value", "error",
//                       "unit": "µm", "text"}], from the top layer down, the substrate last
//                     with value and error null and text "substrate"
//   "gradeMatch"      [{"grade", "matchNumber" (2 decimals), "message",
//                       "limits": [{"element", "min", "max", "result"}]}]
//   "testInfo"        [{"label", "info"}], in entry order
//   "averagedFrom"    [{"testId", "tidName", "dateTime"}], the source tests of an averaged
//                     result
//   "calCheck"        {"errorCode": number, "items": [{"label", "measured", "expected"}]},
//                     "expected" null where the instrument expects nothing (the peaks)
// A reading is {"element": "Cr", "value": 18.21, "error": 0.09, "unit": "%",
// "text": "18.21 ± 0.09 %"}:
// - The settings are those for the result's method (MethodDisplaySettings::forMethod). An
//   element whose unit they state is in it: ppm in whole ppm ("1500 ± 6 ppm"), % as below.
//   Otherwise, and for pseudo elements, values whose magnitude is below the ppm threshold are
//   in whole ppm ("995 ± 40 ppm"). % values below 1 % have smallPercentDecimals, the rest
//   percentDecimals. Thicknesses have thicknessDecimals. The error is rounded like its value,
//   in its unit.
// - Rounding is half away from zero on the decimal digits the value is stored with (those of
//   the result JSON), not on its binary neighbour: 99.995 is "100.00", -0.0995 is "-995 ppm",
//   and nothing rounds to "-0".
// - "value" and "error" are the rounded numbers. A value that is NaN or infinite, or a pseudo
//   element that is not applicable, has value and error null, unit "" and text "n/a"; an error
//   that is NaN or infinite is null and left out of the text ("18.21 %").
// - Pseudo elements are rounded like element concentrations of no stated unit.
// Numbers that are shown but not rounded (limits, cal check values) are null when not finite.

#include "xrfcommon_global.h"
#include "xrfkorviresult.h"
#include "xrfmethoddisplaysettings.h"

#include <QJsonObject>

class XRFCOMMON_EXPORT XrfKorviResultPretty
{
public:
    // Prettified with the default settings.
    explicit XrfKorviResultPretty(const XrfKorviResult &result);

    // Builds the display form again with these settings; nullptr means the defaults.
    void prettify(const MethodDisplaySettings *settings);
    QJsonObject toJsonObject() const { return m_display; }

private:
    XrfKorviResult m_result;
    QJsonObject m_display;
};

#endif // XRFKORVIRESULTPRETTY_H
