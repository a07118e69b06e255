#include "xrfhardwaremanager.h"

XrfHardwareManager *XrfHardwareManager::instance()
{
    static XrfHardwareManager manager;
    return &manager;
}

XrfHardwareConfiguration XrfHardwareManager::hardwareConfiguration() const
{
    QReadLocker locker(&m_lock);
    return m_configuration;
}

void XrfHardwareManager::setHardwareConfiguration(const XrfHardwareConfiguration &configuration)
{
    QWriteLocker locker(&m_lock);
    m_configuration = configuration;
}

void XrfHardwareManager::clear()
{
    setHardwareConfiguration(XrfHardwareConfiguration());
}
