#ifndef XRFHARDWAREMANAGER_H
#define XRFHARDWAREMANAGER_H

// The instrument's current hardware configuration. Safe to call from any
// thread.

#include "xrfservices_global.h"

#include <xrfhardwareconfiguration.h>

#include <QReadWriteLock>

class XRFSERVICES_EXPORT XrfHardwareManager
{
public:
    static XrfHardwareManager *instance();

    // Empty members when nothing is configured.
    XrfHardwareConfiguration hardwareConfiguration() const;
    void setHardwareConfiguration(const XrfHardwareConfiguration &configuration);

    void clear();

private:
    XrfHardwareManager() = default;
    Q_DISABLE_COPY(XrfHardwareManager)

    mutable QReadWriteLock m_lock;
    XrfHardwareConfiguration m_configuration;
};

#endif // XRFHARDWAREMANAGER_H
