#include "xrfplatform.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString kInstrumentDataPath = QStringLiteral("instrumentDataPath");
const QString kSerialNumber = QStringLiteral("instrumentSerialNumber");
const QString kApplicationRoot = QStringLiteral("applicationRootPath");
const QString kCloudLog = QStringLiteral("cloudUploadLogPath");
const QString kCloudInput = QStringLiteral("cloudUploadInputPath");
const QString kCloudResponse = QStringLiteral("cloudUploadResponsePath");
const QString kCloudWorkingDir = QStringLiteral("cloudUploadWorkingDirectory");
const QString kCloudInterpreter = QStringLiteral("cloudUploadInterpreterPath");
const QString kCloudScript = QStringLiteral("cloudUploadScriptPath");

QHash<QString, QString> defaultValues()
{
    return {
        { kCloudLog, QStringLiteral("/media/sdcard/resultUpload.log") },
        { kCloudInput, QStringLiteral("/tmp/result_to_upload.json") },
        { kCloudResponse, QStringLiteral("/tmp/response.json") },
        { kCloudWorkingDir, QStringLiteral("/tmp") },
        { kCloudInterpreter, QStringLiteral("/usr/bin/python3") },
    };
}

} // namespace

XrfPlatform::XrfPlatform() : m_values(defaultValues()) { }

XrfPlatform *XrfPlatform::instance()
{
    static XrfPlatform platform;
    return &platform;
}

XrfErrorInfo::XrfError XrfPlatform::exportsFolderPath(ExportLocations location, QString &path) const
{
    {
        QReadLocker locker(&m_lock);
        path = m_exportFolders.value(int(location));
    }
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return XrfErrorInfo::FileAccessFailed;
    return XrfErrorInfo::NoError;
}

void XrfPlatform::setExportsFolderPath(ExportLocations location, const QString &path)
{
    QWriteLocker locker(&m_lock);
    m_exportFolders.insert(int(location), path);
}

QString XrfPlatform::instrumentDataPath() const
{
    return value(kInstrumentDataPath);
}

void XrfPlatform::setInstrumentDataPath(const QString &path)
{
    setValue(kInstrumentDataPath, path);
}

QString XrfPlatform::instrumentSerialNumber() const
{
    return value(kSerialNumber);
}

void XrfPlatform::setInstrumentSerialNumber(const QString &serial)
{
    setValue(kSerialNumber, serial);
}

QString XrfPlatform::applicationRootPath() const
{
    const QString root = value(kApplicationRoot);
    return root.isEmpty() ? QDir::currentPath() : root;
}

void XrfPlatform::setApplicationRootPath(const QString &path)
{
    setValue(kApplicationRoot, path);
}

QString XrfPlatform::cloudUploadLogPath() const
{
    return value(kCloudLog);
}

void XrfPlatform::setCloudUploadLogPath(const QString &path)
{
    setValue(kCloudLog, path);
}

QString XrfPlatform::cloudUploadInputPath() const
{
    return value(kCloudInput);
}

void XrfPlatform::setCloudUploadInputPath(const QString &path)
{
    setValue(kCloudInput, path);
}

QString XrfPlatform::cloudUploadResponsePath() const
{
    return value(kCloudResponse);
}

void XrfPlatform::setCloudUploadResponsePath(const QString &path)
{
    setValue(kCloudResponse, path);
}

QString XrfPlatform::cloudUploadWorkingDirectory() const
{
    return value(kCloudWorkingDir);
}

void XrfPlatform::setCloudUploadWorkingDirectory(const QString &path)
{
    setValue(kCloudWorkingDir, path);
}

QString XrfPlatform::cloudUploadInterpreterPath() const
{
    return value(kCloudInterpreter);
}

void XrfPlatform::setCloudUploadInterpreterPath(const QString &path)
{
    setValue(kCloudInterpreter, path);
}

QString XrfPlatform::cloudUploadScriptPath() const
{
    const QString script = value(kCloudScript);
    // The home folder is looked up late so that a changed HOME is seen.
    return script.isEmpty() ? QDir::homePath() + QStringLiteral("/scripts/result_upload.py")
                            : script;
}

void XrfPlatform::setCloudUploadScriptPath(const QString &path)
{
    setValue(kCloudScript, path);
}

void XrfPlatform::reset()
{
    QWriteLocker locker(&m_lock);
    m_values = defaultValues();
    m_exportFolders.clear();
}

QString XrfPlatform::value(const QString &key) const
{
    QReadLocker locker(&m_lock);
    return m_values.value(key);
}

void XrfPlatform::setValue(const QString &key, const QString &value)
{
    QWriteLocker locker(&m_lock);
    m_values.insert(key, value);
}
