#ifndef XRFSETTINGSMANAGER_H
#define XRFSETTINGSMANAGER_H

// Instrument-wide ("universal") and application-wide ("global") setting
// groups, and the logged-in user. Safe to call from any thread.

#include "xrfservices_global.h"

#include <xrferrorinfo.h>

#include <QHash>
#include <QJsonObject>
#include <QReadWriteLock>
#include <QString>

class XRFSERVICES_EXPORT XrfSettingsManager
{
public:
    static XrfSettingsManager *instance();

    // NoError and the group in obj when it exists; InvalidArgument when it
    // does not (or obj is null), obj then unchanged.
    XrfErrorInfo::XrfError getUniversalSetting(const QString &key, QJsonObject *obj) const;
    XrfErrorInfo::XrfError getUniversalSetting(const QString &key, QJsonObject &obj) const;
    XrfErrorInfo::XrfError getGlobalSetting(const QString &key, QJsonObject *obj) const;
    XrfErrorInfo::XrfError getGlobalSetting(const QString &key, QJsonObject &obj) const;

    // FileAccessFailed and an empty name when no user is known.
    XrfErrorInfo::XrfError getCurrentUser(QString *user) const;
    XrfErrorInfo::XrfError getCurrentUser(QString &user) const;
    // FileAccessFailed and false when the switch is not configured.
    XrfErrorInfo::XrfError getEnableCalendarNote(bool *enabled) const;
    XrfErrorInfo::XrfError getEnableCalendarNote(bool &enabled) const;

    void setUniversalSetting(const QString &key, const QJsonObject &group);
    void removeUniversalSetting(const QString &key);
    void setGlobalSetting(const QString &key, const QJsonObject &group);
    void removeGlobalSetting(const QString &key);
    void setCurrentUser(const QString &user);
    void setEnableCalendarNote(bool enabled);

    // Replaces everything at once from the parsed configuration files: the
    // members of universal and global that are objects become the groups;
    // user holds "currentUser" and "enableCalendarNote".
    void loadConfiguration(const QJsonObject &universal, const QJsonObject &global,
                           const QJsonObject &user);
    void clear();

private:
    XrfSettingsManager() = default;
    Q_DISABLE_COPY(XrfSettingsManager)

    mutable QReadWriteLock m_lock;
    QHash<QString, QJsonObject> m_universal;
    QHash<QString, QJsonObject> m_global;
    QString m_currentUser;
    bool m_hasCurrentUser = false;
    bool m_enableCalendarNote = false;
    bool m_hasEnableCalendarNote = false;
};

#endif // XRFSETTINGSMANAGER_H
