#include "xrfhardwareconfiguration.h"

namespace {

const QLatin1String kSerial("insSerialNumber");
const QLatin1String kAnode("tubeAnode");
const QLatin1String kModel("model");

bool readString(const QJsonObject &obj, QLatin1String key, QString *target)
{
    const QJsonValue value = obj.value(key);
    *target = value.toString();
    return value.isUndefined() || value.isString();
}

} // namespace

bool XrfHardwareConfiguration::fromJsonObject(const QJsonObject &obj)
{
    bool ok = readString(obj, kSerial, &m_insSerialNumber);
    ok = readString(obj, kAnode, &m_tubeAnode) && ok;
    ok = readString(obj, kModel, &m_model) && ok;
    return ok;
}

QJsonObject XrfHardwareConfiguration::toJsonObject() const
{
    return { { kSerial, m_insSerialNumber }, { kAnode, m_tubeAnode }, { kModel, m_model } };
}

bool XrfHardwareConfiguration::operator==(const XrfHardwareConfiguration &other) const
{
    return m_insSerialNumber == other.m_insSerialNumber && m_tubeAnode == other.m_tubeAnode
            && m_model == other.m_model;
}
