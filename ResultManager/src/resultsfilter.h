#ifndef RESULTSFILTER_H
#define RESULTSFILTER_H

// Export and print templates, and the filtering of a result into the JSON
// from which exports and printouts are made.
//
// A template is a list of field names ("analysis.tidName",
// "chemistry.concentration", "images", ...); filterResult() keeps of a result
// what the list in force asks for. The list, the flags and the instrument
// strings stay as the last successful load left them. Template names are
// file names under the profile: one that could leave its folder ("/", "\",
// "..") is refused.

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "xrferrorinfo.h"
#include "xrfkorviresult.h"

class ResultsFilter
{
public:
    // The name that asks for the whole result.
    static const QString wholeResultField;

    XrfErrorInfo::XrfError readPrintTemplate(QString basePath);
    XrfErrorInfo::XrfError readExportTemplate(QString unused, QJsonObject exportSettings);

    // The compact JSON text of the result for the template in force.
    QString filterResult(XrfKorviResult *result);
    QJsonObject filterResultObject(const QJsonObject &full) const;

    QStringList fields() const { return m_fields; }
    bool isAutoExport() const { return m_autoExport; }
    void setAutoExport(bool value) { m_autoExport = value; }
    bool isAutoPrint() const { return m_autoPrint; }
    void setAutoPrint(bool value) { m_autoPrint = value; }
    bool isPrinterSelected() const { return m_printerSelected; }
    void setDeviceInfo(const QString &serial, const QString &model, const QString &anode);

    // The formats a "fileType" text asks for: any of "json", "csv", "pdf",
    // "msa" found in it, in any case, in that order.
    static QStringList fileTypes(const QString &fileType);
    static bool isSafeTemplateName(const QString &name);

private:
    QStringList m_fields;
    bool m_autoExport = false;
    bool m_autoPrint = false;
    bool m_printerSelected = false;
    QString m_serialNumber;
    QString m_model;
    QString m_tubeAnode;
};

#endif // RESULTSFILTER_H
