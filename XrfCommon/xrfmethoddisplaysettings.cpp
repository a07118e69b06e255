#include "xrfmethoddisplaysettings.h"

#include <QJsonArray>

#include <cmath>

namespace {

const QString elementOrderKey = QStringLiteral("elementOrder");
const QString percentDecimalsKey = QStringLiteral("percentDecimals");
const QString smallPercentDecimalsKey = QStringLiteral("smallPercentDecimals");
const QString ppmThresholdKey = QStringLiteral("ppmThreshold");
const QString thicknessDecimalsKey = QStringLiteral("thicknessDecimals");
const QString concentrationUnitKey = QStringLiteral("concentrationUnit");
const QString elementUnitsKey = QStringLiteral("elementUnits");
const QString methodsKey = QStringLiteral("methods");

bool unitFromName(const QJsonValue &value, MethodDisplaySettings::Unit *unit)
{
    for (const auto u : { MethodDisplaySettings::Unit::Automatic,
                          MethodDisplaySettings::Unit::Percent, MethodDisplaySettings::Unit::Ppm })
        if (value == QJsonValue(MethodDisplaySettings::unitName(u))) {
            *unit = u;
            return true;
        }
    return false;
}

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

QString MethodDisplaySettings::unitName(Unit unit)
{
    switch (unit) {
    case Unit::Percent:
        return QStringLiteral("%");
    case Unit::Ppm:
        return QStringLiteral("ppm");
    case Unit::Automatic:
        break;
    }
    return QStringLiteral("auto");
}

double MethodDisplaySettings::fromPercent(double percent, Unit unit)
{
    return unit == Unit::Ppm ? percent * 10000.0 : percent;
}

MethodDisplaySettings::Unit MethodDisplaySettings::unitOf(const QString &element) const
{
    return m_elementUnits.value(element, m_concentrationUnit);
}

MethodDisplaySettings MethodDisplaySettings::forMethod(const QString &methodId) const
{
    const auto own = m_methodSettings.constFind(methodId);
    QJsonObject merged = toJsonObject();
    merged.remove(methodsKey);
    if (own != m_methodSettings.constEnd())
        for (auto it = own->constBegin(); it != own->constEnd(); ++it)
            if (it.key() != methodsKey)
                merged.insert(it.key(), it.value());
    return fromJsonObject(merged);
}

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
    unitFromName(object.value(concentrationUnitKey), &settings.m_concentrationUnit);
    const QJsonObject units = object.value(elementUnitsKey).toObject();
    for (auto it = units.constBegin(); it != units.constEnd(); ++it) {
        Unit unit;
        if (unitFromName(it.value(), &unit))
            settings.m_elementUnits.insert(it.key(), unit);
    }
    const QJsonObject methods = object.value(methodsKey).toObject();
    for (auto it = methods.constBegin(); it != methods.constEnd(); ++it)
        if (it.value().isObject())
            settings.m_methodSettings.insert(it.key(), it.value().toObject());
    return settings;
}

MethodDisplaySettings MethodDisplaySettings::fromMethodJson(const QJsonObject &method)
{
    return fromJsonObject(method.value(methodKey).toObject());
}

QJsonObject MethodDisplaySettings::toJsonObject() const
{
    QJsonObject units;
    for (auto it = m_elementUnits.constBegin(); it != m_elementUnits.constEnd(); ++it)
        units.insert(it.key(), unitName(it.value()));
    QJsonObject methods;
    for (auto it = m_methodSettings.constBegin(); it != m_methodSettings.constEnd(); ++it)
        methods.insert(it.key(), it.value());
    return QJsonObject {
        { elementOrderKey, QJsonArray::fromStringList(m_elementOrder) },
        { percentDecimalsKey, m_percentDecimals },
        { smallPercentDecimalsKey, m_smallPercentDecimals },
        { ppmThresholdKey, m_ppmThreshold },
        { thicknessDecimalsKey, m_thicknessDecimals },
        { concentrationUnitKey, unitName(m_concentrationUnit) },
        { elementUnitsKey, units },
        { methodsKey, methods },
    };
}

bool MethodDisplaySettings::operator==(const MethodDisplaySettings &other) const
{
    return m_elementOrder == other.m_elementOrder && m_percentDecimals == other.m_percentDecimals
            && m_smallPercentDecimals == other.m_smallPercentDecimals
            && m_ppmThreshold == other.m_ppmThreshold
            && m_thicknessDecimals == other.m_thicknessDecimals
            && m_concentrationUnit == other.m_concentrationUnit
            && m_elementUnits == other.m_elementUnits && m_methodSettings == other.m_methodSettings;
}
