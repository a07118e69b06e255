#ifndef XRFPLATFORM_H
#define XRFPLATFORM_H

// Paths and identity of the instrument the software runs on. The host fills
// them at start-up; every getter and setter may be called from any thread.

#include "xrfcommon_global.h"
#include "xrferrorinfo.h"

#include <QHash>
#include <QObject>
#include <QReadWriteLock>
#include <QString>

class XRFCOMMON_EXPORT XrfPlatform
{
    Q_GADGET
public:
    enum ExportLocations { UsbMemory = 0, DefaultFolder = 1, NetworkFolder = 2 };
    Q_ENUM(ExportLocations)

    static XrfPlatform *instance();

    // Fills path with the folder configured for the location, also when it
    // does not exist (callers may create it). NoError when the folder
    // exists; FileAccessFailed when none is configured (path emptied) or it
    // is missing, such as USB memory that is not plugged in.
    XrfErrorInfo::XrfError exportsFolderPath(ExportLocations location, QString &path) const;
    void setExportsFolderPath(ExportLocations location, const QString &path);

    // Mount path of the storage card; empty until the host knows it.
    QString instrumentDataPath() const;
    void setInstrumentDataPath(const QString &path);

    QString instrumentSerialNumber() const;
    void setInstrumentSerialNumber(const QString &serial);

    // The current folder until the host sets one.
    QString applicationRootPath() const;
    void setApplicationRootPath(const QString &path);

    // Files and programs of the cloud upload; fixed on the instrument, so
    // they default to the instrument's values.
    QString cloudUploadLogPath() const;
    void setCloudUploadLogPath(const QString &path);
    QString cloudUploadInputPath() const;
    void setCloudUploadInputPath(const QString &path);
    QString cloudUploadResponsePath() const;
    void setCloudUploadResponsePath(const QString &path);
    QString cloudUploadWorkingDirectory() const;
    void setCloudUploadWorkingDirectory(const QString &path);
    QString cloudUploadInterpreterPath() const;
    void setCloudUploadInterpreterPath(const QString &path);
    // The user's home folder followed by "/scripts/result_upload.py" until set.
    QString cloudUploadScriptPath() const;
    void setCloudUploadScriptPath(const QString &path);

    // Back to the state of a fresh process, for tests.
    void reset();

private:
    XrfPlatform();
    Q_DISABLE_COPY(XrfPlatform)

    QString value(const QString &key) const;
    void setValue(const QString &key, const QString &value);

    mutable QReadWriteLock m_lock;
    QHash<QString, QString> m_values;
    QHash<int, QString> m_exportFolders;
};

#endif // XRFPLATFORM_H
