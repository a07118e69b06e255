#ifndef JS2PDF_H
#define JS2PDF_H

// The PDF report of a results file: one result per page (more when it needs them), laid out by
// a PDF template and the print settings, drawn with QPdfWriter and QPainter in the fonts of
// ReportFonts (DejaVu Sans, and WenQuanYi Micro Hei for Chinese, Japanese and Korean): a
// character that they cannot draw prints as U+FFFD, never as nothing.
//
//     Js2Pdf pdf;
//     pdf.serialNumber = "XL5-70312";
//     pdf.instrumentDataPath = dataPath;           // images under <path>/images/<name>
//     pdf.setTemplate(method["pdfTemplates"]["Standard"]);
//     pdf.setFormatSettings(method["printSettings"]);
//     QString base = folder + "/report";
//     if (!pdf.startJson2Pdf(resultsFile, &base))  // writes <base>.pdf
//         qWarning() << pdf.errorString();
//
// Fonts need a QGuiApplication (the offscreen platform is enough). In a process that has only
// a QCoreApplication, or none, every conversion fails with NotImplemented and writes nothing.
// A conversion may run on any one thread at a time.
//
// Template (setTemplate), every member optional:
//   "title"     text at the top of each result's first page ("Analysis Report")
//   "showLogo"  bool: <applicationRoot>/logo.png beside the title, when that file is there
//   "sections"  the blocks of a result in order, each at most once: "header" (instrument,
//               software, test id, name, type, date-times, operator, method, calibration
//               check), "chemistry" (elements, pseudo elements and coating layers with units
//               and errors), "gradeMatch", "testInfo", "images", "plot" (the channel counts of
//               each exposure); unknown names are ignored. Without the member: all six, in
//               this order.
// An object of named templates ({"Standard": {...}}) is accepted as well: the one named by
// the export settings' "selectedPdfLayout" is used, else "Standard", else the first.
//
// Print settings (setFormatSettings): "pageSize" "A4" (default), "Letter", "Legal", "A3" or
// "A5"; "orientation" "portrait" (default) or "landscape"; "marginMm" 0 to 50 (10);
// "fontSize" in points, 5 to 24 (9); "decimals" 0 to 6: the decimals of every concentration
// and thickness (without it: those of the display settings).
//
// Display settings (setDisplaySettings), the method's: the order of the elements, their units
// and decimals, applied per result as XrfKorviResultPretty does (MethodDisplaySettings::
// forMethod of the result's method). Without them: the defaults of MethodDisplaySettings.
//
// Results may be whole or as the export filter leaves them. The instrument is the serialNumber
// member, else the result's "instrumentSerialNum"; its model the result's "model", else the
// instrumentModel member, else the export settings'.
//
// Export settings (setExportSettings), as config/method.json "exportSettings" or its "export"
// object: "templateOverride" {"inlineImage", "macroImage"} (both true by default) choose the
// camera images; "model" or "instrumentModel" (text, or an object with "model") names the
// instrument; "selectedPdfLayout" picks among named templates.

#include "xrfreports_global.h"

#include "xrfexportwriter.h"

#include <QJsonObject>
#include <QScopedPointer>
#include <QString>

class Js2PdfPrivate;
class MethodDisplaySettings;

class XRFREPORTS_EXPORT Js2Pdf : public XrfExportWriter
{
public:
    Js2Pdf();
    ~Js2Pdf() override;

    // For results that name no model.
    QString instrumentModel;

    void setExportSettings(const QJsonObject &exportSettings);
    void setTemplate(const QJsonObject &pdfTemplate);
    void setFormatSettings(const QJsonObject &printSettings);
    void setDisplaySettings(const MethodDisplaySettings &settings);

    // Converts the results file to *base + ".pdf" (a ".pdf" already at the end of *base is
    // taken off, and *base says so afterwards). False with errorCode() set on any failure,
    // then nothing is written.
    bool startJson2Pdf(const QString &resultsFile, QString *base,
                       const AbortCheck &aborted = AbortCheck(),
                       const Progress &progress = Progress());

    // Pages of the last conversion, so far while it runs.
    int pageCount() const;

protected:
    bool doBegin() override;
    bool doWriteResult(const QJsonObject &result) override;
    bool doFinish() override;

private:
    QScopedPointer<Js2PdfPrivate> d;
};

#endif // JS2PDF_H
