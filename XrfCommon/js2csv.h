#ifndef JS2CSV_H
#define JS2CSV_H

// Results as a CSV table for spreadsheets: one row per result, one column per
// template field, and beside it a table of the beam data (one row per result
// and exposure, the channel counts in the last columns).
//
//     Js2Csv csv;
//     csv.serialNumber = "XL5-70312";
//     csv.setExportsInfo(folder, "2026-11-23_chemistry", &exportSettings, exportTemplate);
//     if (!csv.performCsvExport(resultsFile, aborted, progress))
//         report(csv.errorCode(), csv.errorString());
//     // csv.files(): <base>.csv and, when a result has beam data,
//     // <base with "chemistry" -> "beamspectra" in the file name>.csv
//
// Files: UTF-8, RFC 4180 (CRLF rows; cells holding the separator, a quote or a
// line break are quoted, quotes doubled). Numbers are plain decimals, never
// exponents; text that starts with = + - @, a tab or a CR gets a leading "'",
// so that a spreadsheet does not run it as a formula (numbers are numbers, a
// negative one stays a number). A non-empty "customHeader" of the template is
// the first line, one cell: spreadsheets show it as a title row, but table
// readers (pandas, LIMS imports) take it for the header and the rest for
// ragged rows, so without it the header is the first line.
//
// The template: its members in key order, each a field name, except
// "settings" and "customHeader". Fields and their columns:
//   analysis.<member>        one column, the member of the analysis header;
//                            testDate / testTime: local date (yyyy-MM-dd) and
//                            time (hh:mm:ss) of the stored UTC testDateTime
//   chemistry.concentration  one column per element and unit, "Fe (%)"; an
//                            element in ppm (setDisplaySettings) has a
//                            column "Cd (ppm)" of its own, whatever
//                            unitsInHeader says
//   chemistry.error          one column per element and unit, "Fe ± (1σ)",
//                            "Cd (ppm) ± (1σ)", in the unit of its value
//   chemistry.nameConcError  name, concentration and error of each element
//                            of the row, as many triplets as the longest
//                            chemistry has ("Element 1", "Element 1 (%)",
//                            "Element 1 ± (1σ)", ...); always in %, as the
//                            elements of a column differ
//   pseudoElement.concentration / .error   one column per pseudo element;
//                            empty where it is not applicable
//   goldResult.auPlating / .karat   analysis.auPlating / analysis.auKarat
//   coating.thickness / .error   one column per layer above the substrate,
//                            "Layer 1 Au (µm)"
//   gradeMatch.gradeName / .matchNumber   of the first (best) grade match
//   actionLevel              one column per element with an action level,
//                            "Cd Action Level": its verdict in words
//   analysis.rohsClassificationEnum   "RoHS Result", the verdict of the test
//                            in words (XrfAnalysisResult::rohsVerdictText)
//   testInfo                 one column per label, the value of that label
//   instrumentSerialNum      the serialNumber member, else the result's
//   model, tubeAnode         the result's member of that name, else the
//                            instrumentModel / tubeAnode members here
//   spectra, images          no column (the beam data have their table)
//   anything else            an empty column headed by the name
// Results may be whole or as the export filter leaves them.
// Units: the display settings of the method that made each result
// (MethodDisplaySettings::forMethod of its analysis.methodId) give the unit
// of its elements: "ppm" is % x 10000 (to the 7 digits of a stored float),
// errors and detection limits too; "%" and "auto" leave the stored %.
// Elements, pseudo elements, layers and labels are the union over all results
// in order of first appearance. performCsvExport() reads the results file
// twice: once for those columns, once for the rows; only one result is held
// at a time. begin/writeResult/finish used directly take the columns from
// the first result.
//
// Options, members of the export settings' "export" object [default]:
//   csvSeparator            "," or ";" ["," ; ";" with decimalComma]
//   decimalComma            bool: "67,5" instead of "67.5" [false]
//   csvByteOrderMark        bool: a UTF-8 byte order mark first, for
//                           spreadsheets that take a file without it for
//                           ANSI [false]
//   unitsInHeader           bool: "Fe (%)", "Layer 1 Au (µm)", "Live Time (s)"
//                           [true]. Error headers never have units: they are
//                           those of their value.
//   errorSigma              number > 0: errors are multiplied by it and the
//                           header says "± (2σ)" [1]
//   detectionLimitMultiple  number, 0 = off: an element whose concentration is
//                           below multiple × its stored (1σ) error is written
//                           as text "< x", x = multiple × error [0]

#include "xrfcommon_global.h"
#include "xrfexportwriter.h"

#include <QJsonObject>
#include <QScopedPointer>
#include <QString>

class Js2CsvPrivate;
class MethodDisplaySettings;

class XRFCOMMON_EXPORT Js2Csv : public XrfExportWriter
{
public:
    Js2Csv();
    ~Js2Csv() override;

    // For the "model" and "tubeAnode" fields of results that carry none.
    QString instrumentModel;
    QString tubeAnode;

    // The units of the elements; without them every concentration is in %.
    void setDisplaySettings(const MethodDisplaySettings &settings);

    // The output is exportFolder/base (base alone when it is absolute). The
    // settings are copied; nullptr means every option at its default. The
    // folder must exist.
    void setExportsInfo(const QString &exportFolder, const QString &base,
                        const QJsonObject *exportSettings, const QJsonObject &exportTemplate);
    // Two passes over the results file (columns, then rows), as convert().
    bool performCsvExport(const QString &resultsFile, const AbortCheck &aborted = AbortCheck(),
                          const Progress &progress = Progress());

    // The beam data file of a base path: "chemistry" in the file name becomes
    // "beamspectra" ("_beamspectra" is appended when it has none), + ".csv".
    static QString beamDataPath(const QString &base);

protected:
    bool doBegin() override;
    bool doWriteResult(const QJsonObject &result) override;
    bool doFinish() override;

private:
    friend class Js2CsvPrivate;
    QScopedPointer<Js2CsvPrivate> d;
};

#endif // JS2CSV_H
