#include "xrfmethodmanager.h"

#include <QDebug>

namespace {

QHash<QString, QJsonObject> templatesOf(const QJsonObject &method, QLatin1String member)
{
    QHash<QString, QJsonObject> templates;
    const QJsonObject all = method.value(member).toObject();
    for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
        if (it.value().isObject())
            templates.insert(it.key(), it.value().toObject());
        else
            qWarning() << "Template" << it.key() << "of" << member << "is not an object; ignored";
    }
    return templates;
}

} // namespace

XrfMethodManager *XrfMethodManager::instance()
{
    static XrfMethodManager manager;
    return &manager;
}

XrfErrorInfo::XrfError XrfMethodManager::getExportSettings(QJsonObject *obj) const
{
    if (!obj)
        return XrfErrorInfo::InvalidArgument;
    QReadLocker locker(&m_lock);
    if (!m_hasExportSettings)
        return XrfErrorInfo::FileAccessFailed;
    *obj = m_exportSettings;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfMethodManager::getExportSettings(QJsonObject &obj) const
{
    return getExportSettings(&obj);
}

XrfErrorInfo::XrfError XrfMethodManager::getExportTemplate(const QString &name,
                                                           QJsonObject *obj) const
{
    if (!obj)
        return XrfErrorInfo::InvalidArgument;
    QReadLocker locker(&m_lock);
    const auto it = m_exportTemplates.constFind(name);
    if (it == m_exportTemplates.constEnd())
        return XrfErrorInfo::TemplateNotFound;
    obj->insert(name, it.value());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfMethodManager::getPDFTemplate(QJsonObject *obj) const
{
    if (!obj)
        return XrfErrorInfo::InvalidArgument;
    const QString layout = obj->value(QLatin1String("templateName")).toString();
    if (layout.isEmpty())
        return XrfErrorInfo::InvalidArgument;
    QReadLocker locker(&m_lock);
    const auto it = m_pdfTemplates.constFind(layout);
    if (it == m_pdfTemplates.constEnd())
        return XrfErrorInfo::TemplateNotFound;
    obj->insert(layout, it.value());
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfMethodManager::getPrintSettings(QJsonObject *obj) const
{
    if (!obj)
        return XrfErrorInfo::InvalidArgument;
    QReadLocker locker(&m_lock);
    if (!m_hasPrintSettings)
        return XrfErrorInfo::FileAccessFailed;
    *obj = m_printSettings;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfMethodManager::getCurrentMethod(QString *methodId) const
{
    if (!methodId)
        return XrfErrorInfo::InvalidArgument;
    QReadLocker locker(&m_lock);
    *methodId = m_currentMethod;
    return m_hasCurrentMethod ? XrfErrorInfo::NoError : XrfErrorInfo::FileAccessFailed;
}

QJsonObject XrfMethodManager::getMethodOverrideObject() const
{
    QReadLocker locker(&m_lock);
    return m_methodOverride;
}

QJsonObject XrfMethodManager::getDisplaySettings() const
{
    QReadLocker locker(&m_lock);
    return m_displaySettings;
}

void XrfMethodManager::setDisplaySettings(const QJsonObject &settings)
{
    QWriteLocker locker(&m_lock);
    m_displaySettings = settings;
}

void XrfMethodManager::setExportSettings(const QJsonObject &settings)
{
    QWriteLocker locker(&m_lock);
    m_exportSettings = settings;
    m_hasExportSettings = true;
}

void XrfMethodManager::setExportTemplate(const QString &name, const QJsonObject &exportTemplate)
{
    QWriteLocker locker(&m_lock);
    m_exportTemplates.insert(name, exportTemplate);
}

void XrfMethodManager::removeExportTemplate(const QString &name)
{
    QWriteLocker locker(&m_lock);
    m_exportTemplates.remove(name);
}

void XrfMethodManager::setPDFTemplate(const QString &layout, const QJsonObject &pdfTemplate)
{
    QWriteLocker locker(&m_lock);
    m_pdfTemplates.insert(layout, pdfTemplate);
}

void XrfMethodManager::removePDFTemplate(const QString &layout)
{
    QWriteLocker locker(&m_lock);
    m_pdfTemplates.remove(layout);
}

void XrfMethodManager::setPrintSettings(const QJsonObject &settings)
{
    QWriteLocker locker(&m_lock);
    m_printSettings = settings;
    m_hasPrintSettings = true;
}

void XrfMethodManager::setCurrentMethod(const QString &methodId)
{
    QWriteLocker locker(&m_lock);
    m_currentMethod = methodId;
    m_hasCurrentMethod = true;
}

void XrfMethodManager::setMethodOverrideObject(const QJsonObject &overrides)
{
    QWriteLocker locker(&m_lock);
    m_methodOverride = overrides;
}

void XrfMethodManager::loadConfiguration(const QJsonObject &method)
{
    auto exportTemplates = templatesOf(method, QLatin1String("exportTemplates"));
    auto pdfTemplates = templatesOf(method, QLatin1String("pdfTemplates"));
    const QJsonValue exportSettings = method.value(QLatin1String("exportSettings"));
    const QJsonValue printSettings = method.value(QLatin1String("printSettings"));
    const QJsonValue currentMethod = method.value(QLatin1String("currentMethod"));

    QWriteLocker locker(&m_lock);
    m_exportTemplates.swap(exportTemplates);
    m_pdfTemplates.swap(pdfTemplates);
    m_hasExportSettings = exportSettings.isObject();
    m_exportSettings = exportSettings.toObject();
    m_hasPrintSettings = printSettings.isObject();
    m_printSettings = printSettings.toObject();
    m_hasCurrentMethod = currentMethod.isString();
    m_currentMethod = currentMethod.toString();
    m_methodOverride = method.value(QLatin1String("methodOverride")).toObject();
    m_displaySettings = method.value(QLatin1String("displaySettings")).toObject();
}

void XrfMethodManager::clear()
{
    QWriteLocker locker(&m_lock);
    m_displaySettings = QJsonObject();
    m_exportSettings = QJsonObject();
    m_hasExportSettings = false;
    m_exportTemplates.clear();
    m_pdfTemplates.clear();
    m_printSettings = QJsonObject();
    m_hasPrintSettings = false;
    m_currentMethod.clear();
    m_hasCurrentMethod = false;
    m_methodOverride = QJsonObject();
}
