#ifndef XRFHARDWARECONFIGURATION_H
#define XRFHARDWARECONFIGURATION_H

// The identity of the instrument's hardware as the hardware service knows it.

#include "xrfcommon_global.h"

#include <QJsonObject>
#include <QMetaType>
#include <QString>

class XRFCOMMON_EXPORT XrfHardwareConfiguration
{
public:
    QString insSerialNumber() const { return m_insSerialNumber; }
    void setInsSerialNumber(const QString &serial) { m_insSerialNumber = serial; }
    QString tubeAnode() const { return m_tubeAnode; }
    void setTubeAnode(const QString &anode) { m_tubeAnode = anode; }
    QString model() const { return m_model; }
    void setModel(const QString &model) { m_model = model; }

    // Members "insSerialNumber", "tubeAnode" and "model"; a missing or
    // non-string member becomes empty. False when any present member is not
    // a string, so that a broken file is noticed.
    bool fromJsonObject(const QJsonObject &obj);
    QJsonObject toJsonObject() const;

    bool operator==(const XrfHardwareConfiguration &other) const;
    bool operator!=(const XrfHardwareConfiguration &other) const { return !(*this == other); }

private:
    QString m_insSerialNumber;
    QString m_tubeAnode;
    QString m_model;
};

Q_DECLARE_METATYPE(XrfHardwareConfiguration)

#endif // XRFHARDWARECONFIGURATION_H
