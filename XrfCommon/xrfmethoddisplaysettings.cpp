#include "xrfmethoddisplaysettings.h"

#include <QJsonArray>

#include <cmath>

namespace {

const QString elementOrderKey = QStringLiteral("elementOrder");
const QString percentDecimalsKey = QStringLiteral("percentDecimals");
const QString smallPercentDecimalsKey = QStringLiteral("smallPercentDecimals");
const QString ppmThresholdKey = QStringLiteral("ppmThreshold");
const QString thicknessDecimalsKey = QStringLiteral("thicknessDecimals");

int boundedDecimals(int decimals)
{
    return qBound(0, decimals, MethodDisplaySettings::maxDecimals);
}

// A whole number of decimals in range, else the current value stays.
void readDecimals(const QJsonObject &object, const QString &key, int *decimals)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return;
    const double d = value.toDouble();
    if (d == std::floor(d) && d >= 0 && d <= MethodDisplaySettings::maxDecimals)
        *decimals = int(d);
}

} // namespace

const QString MethodDisplaySettings::methodKey = QStringLiteral("displaySettings");

void MethodDisplaySettings::setPercentDecimals(int decimals)
{
    m_percentDecimals = boundedDecimals(decimals);
}

void MethodDisplaySettings::setSmallPercentDecimals(int decimals)
{
    m_smallPercentDecimals = boundedDecimals(decimals);
}

void MethodDisplaySettings::setPpmThreshold(double percent)
{
    m_ppmThreshold = std::isfinite(percent) && percent > 0 ? percent : 0.0;
}

void MethodDisplaySettings::setThicknessDecimals(int decimals)
{
    m_thicknessDecimals = boundedDecimals(decimals);
}

MethodDisplaySettings MethodDisplaySettings::fromJsonObject(const QJsonObject &object)
{
    MethodDisplaySettings settings;
    const QJsonValue order = object.value(elementOrderKey);
    if (order.isArray()) {
        for (const QJsonValue &element : order.toArray()) {
            if (element.isString() && !settings.m_elementOrder.contains(element.toString()))
                settings.m_elementOrder.append(element.toString());
        }
    }
    readDecimals(object, percentDecimalsKey, &settings.m_percentDecimals);
    readDecimals(object, smallPercentDecimalsKey, &settings.m_smallPercentDecimals);
    readDecimals(object, thicknessDecimalsKey, &settings.m_thicknessDecimals);
    const QJsonValue threshold = object.value(ppmThresholdKey);
    if (threshold.isDouble() && std::isfinite(threshold.toDouble()) && threshold.toDouble() >= 0)
        settings.m_ppmThreshold = threshold.toDouble();
    return settings;
}

MethodDisplaySettings MethodDisplaySettings::fromMethodJson(const QJsonObject &method)
{
    return fromJsonObject(method.value(methodKey).toObject());
}

QJsonObject MethodDisplaySettings::toJsonObject() const
{
    return QJsonObject {
        { elementOrderKey, QJsonArray::fromStringList(m_elementOrder) },
        { percentDecimalsKey, m_percentDecimals },
        { smallPercentDecimalsKey, m_smallPercentDecimals },
        { ppmThresholdKey, m_ppmThreshold },
        { thicknessDecimalsKey, m_thicknessDecimals },
    };
}

bool MethodDisplaySettings::operator==(const MethodDisplaySettings &other) const
{
    return m_elementOrder == other.m_elementOrder && m_percentDecimals == other.m_percentDecimals
            && m_smallPercentDecimals == other.m_smallPercentDecimals
            && m_ppmThreshold == other.m_ppmThreshold
            && m_thicknessDecimals == other.m_thicknessDecimals;
}
