#include "xrfsettingsmanager.h"

#include <QDebug>

namespace {

QHash<QString, QJsonObject> groupsOf(const QJsonObject &file, const char *fileName)
{
    QHash<QString, QJsonObject> groups;
    for (auto it = file.constBegin(); it != file.constEnd(); ++it) {
        if (it.value().isObject())
            groups.insert(it.key(), it.value().toObject());
        else
            qWarning() << "Setting" << it.key() << "in" << fileName << "is not an object; ignored";
    }
    return groups;
}

XrfErrorInfo::XrfError lookup(const QHash<QString, QJsonObject> &groups, const QString &key,
                              QJsonObject *obj)
{
    if (!obj)
        return XrfErrorInfo::InvalidArgument;
    const auto it = groups.constFind(key);
    if (it == groups.constEnd())
        return XrfErrorInfo::InvalidArgument;
    *obj = it.value();
    return XrfErrorInfo::NoError;
}

} // namespace

XrfSettingsManager *XrfSettingsManager::instance()
{
    static XrfSettingsManager manager;
    return &manager;
}

XrfErrorInfo::XrfError XrfSettingsManager::getUniversalSetting(const QString &key,
                                                               QJsonObject *obj) const
{
    QReadLocker locker(&m_lock);
    return lookup(m_universal, key, obj);
}

XrfErrorInfo::XrfError XrfSettingsManager::getUniversalSetting(const QString &key,
                                                               QJsonObject &obj) const
{
    return getUniversalSetting(key, &obj);
}

XrfErrorInfo::XrfError XrfSettingsManager::getGlobalSetting(const QString &key,
                                                            QJsonObject *obj) const
{
    QReadLocker locker(&m_lock);
    return lookup(m_global, key, obj);
}

XrfErrorInfo::XrfError XrfSettingsManager::getGlobalSetting(const QString &key,
                                                            QJsonObject &obj) const
{
    return getGlobalSetting(key, &obj);
}

XrfErrorInfo::XrfError XrfSettingsManager::getCurrentUser(QString *user) const
{
    if (!user)
        return XrfErrorInfo::InvalidArgument;
    QReadLocker locker(&m_lock);
    *user = m_currentUser;
    return m_hasCurrentUser ? XrfErrorInfo::NoError : XrfErrorInfo::FileAccessFailed;
}

XrfErrorInfo::XrfError XrfSettingsManager::getCurrentUser(QString &user) const
{
    return getCurrentUser(&user);
}

XrfErrorInfo::XrfError XrfSettingsManager::getEnableCalendarNote(bool *enabled) const
{
    if (!enabled)
        return XrfErrorInfo::InvalidArgument;
    QReadLocker locker(&m_lock);
    *enabled = m_enableCalendarNote;
    return m_hasEnableCalendarNote ? XrfErrorInfo::NoError : XrfErrorInfo::FileAccessFailed;
}

XrfErrorInfo::XrfError XrfSettingsManager::getEnableCalendarNote(bool &enabled) const
{
    return getEnableCalendarNote(&enabled);
}

void XrfSettingsManager::setUniversalSetting(const QString &key, const QJsonObject &group)
{
    QWriteLocker locker(&m_lock);
    m_universal.insert(key, group);
}

void XrfSettingsManager::removeUniversalSetting(const QString &key)
{
    QWriteLocker locker(&m_lock);
    m_universal.remove(key);
}

void XrfSettingsManager::setGlobalSetting(const QString &key, const QJsonObject &group)
{
    QWriteLocker locker(&m_lock);
    m_global.insert(key, group);
}

void XrfSettingsManager::removeGlobalSetting(const QString &key)
{
    QWriteLocker locker(&m_lock);
    m_global.remove(key);
}

void XrfSettingsManager::setCurrentUser(const QString &user)
{
    QWriteLocker locker(&m_lock);
    m_currentUser = user;
    m_hasCurrentUser = true;
}

void XrfSettingsManager::setEnableCalendarNote(bool enabled)
{
    QWriteLocker locker(&m_lock);
    m_enableCalendarNote = enabled;
    m_hasEnableCalendarNote = true;
}

void XrfSettingsManager::loadConfiguration(const QJsonObject &universal, const QJsonObject &global,
                                           const QJsonObject &user)
{
    auto universalGroups = groupsOf(universal, "universal.json");
    auto globalGroups = groupsOf(global, "global.json");
    const QJsonValue userName = user.value(QLatin1String("currentUser"));
    const QJsonValue calendarNote = user.value(QLatin1String("enableCalendarNote"));

    QWriteLocker locker(&m_lock);
    m_universal.swap(universalGroups);
    m_global.swap(globalGroups);
    m_hasCurrentUser = userName.isString();
    m_currentUser = userName.toString();
    m_hasEnableCalendarNote = calendarNote.isBool();
    m_enableCalendarNote = calendarNote.toBool();
}

void XrfSettingsManager::clear()
{
    QWriteLocker locker(&m_lock);
    m_universal.clear();
    m_global.clear();
    m_currentUser.clear();
    m_hasCurrentUser = false;
    m_enableCalendarNote = false;
    m_hasEnableCalendarNote = false;
}
