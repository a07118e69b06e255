#ifndef XRFMETHODMANAGER_H
#define XRFMETHODMANAGER_H

// The current analysis method with its export and print settings and its
// templates. Safe to call from any thread.

#include "xrfservices_global.h"

#include <xrferrorinfo.h>

#include <QHash>
#include <QJsonObject>
#include <QReadWriteLock>
#include <QString>

class XRFSERVICES_EXPORT XrfMethodManager
{
public:
    static XrfMethodManager *instance();

    // The export settings, whose member "export" holds the user's choices.
    // FileAccessFailed when none are configured, obj then unchanged.
    XrfErrorInfo::XrfError getExportSettings(QJsonObject *obj) const;
    XrfErrorInfo::XrfError getExportSettings(QJsonObject &obj) const;
    // Inserts the template under its name into obj; TemplateNotFound when
    // there is none of that name.
    XrfErrorInfo::XrfError getExportTemplate(const QString &name, QJsonObject *obj) const;
    // obj holds {"templateName": layout}; the layout's template is inserted
    // under the layout's name. InvalidArgument without a layout name,
    // TemplateNotFound for an unknown one.
    XrfErrorInfo::XrfError getPDFTemplate(QJsonObject *obj) const;
    // FileAccessFailed when none are configured.
    XrfErrorInfo::XrfError getPrintSettings(QJsonObject *obj) const;
    // FileAccessFailed and an empty id when no method is selected.
    XrfErrorInfo::XrfError getCurrentMethod(QString *methodId) const;
    // Empty when the method overrides nothing.
    QJsonObject getMethodOverrideObject() const;
    // How the method shows its results ("displaySettings"); empty when the
    // method says nothing.
    QJsonObject getDisplaySettings() const;

    void setExportSettings(const QJsonObject &settings);
    void setExportTemplate(const QString &name, const QJsonObject &exportTemplate);
    void removeExportTemplate(const QString &name);
    void setPDFTemplate(const QString &layout, const QJsonObject &pdfTemplate);
    void removePDFTemplate(const QString &layout);
    void setPrintSettings(const QJsonObject &settings);
    void setCurrentMethod(const QString &methodId);
    void setMethodOverrideObject(const QJsonObject &overrides);
    void setDisplaySettings(const QJsonObject &settings);

    // Replaces everything at once from the parsed method file: members
    // "currentMethod", "exportSettings", "exportTemplates" (name to
    // template), "pdfTemplates" (layout to template), "printSettings",
    // "displaySettings" and "methodOverride".
    void loadConfiguration(const QJsonObject &method);
    void clear();

private:
    XrfMethodManager() = default;
    Q_DISABLE_COPY(XrfMethodManager)

    mutable QReadWriteLock m_lock;
    QJsonObject m_exportSettings;
    bool m_hasExportSettings = false;
    QHash<QString, QJsonObject> m_exportTemplates;
    QHash<QString, QJsonObject> m_pdfTemplates;
    QJsonObject m_printSettings;
    bool m_hasPrintSettings = false;
    QString m_currentMethod;
    bool m_hasCurrentMethod = false;
    QJsonObject m_methodOverride;
    QJsonObject m_displaySettings;
};

#endif // XRFMETHODMANAGER_H
