#include "xrfkorviresultpretty.h"

#include <QJsonArray>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>

namespace {

const QString notAvailable = QStringLiteral("n/a");
const QString plusMinus = QStringLiteral(" \u00b1 ");
const QString percent = QStringLiteral("%");
const QString ppm = QStringLiteral("ppm");
const QString micrometres = QStringLiteral("\u00b5m");

// A finite value as the shortest decimal digits that read back as it: the digits the result
// JSON holds, and those a person reads. magnitude = d1.d2d3... x 10^exponent.
struct Decimal
{
    bool negative = false;
    QByteArray digits;
    int exponent = 0;
    double magnitude = 0.0; // those digits as a double
};

template<class T>
Decimal decimalOf(T value)
{
    char text[64];
    const auto written
            = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    Decimal d;
    std::from_chars(text, written.ptr, d.magnitude);
    d.magnitude = std::fabs(d.magnitude);
    const char *p = text;
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    const char *e = std::find(p, static_cast<const char *>(written.ptr), 'e');
    for (; p < e; ++p) {
        if (*p != '.')
            d.digits.append(*p);
    }
    if (e + 1 < written.ptr && e[1] == '+')
        ++e;
    std::from_chars(e + 1, written.ptr, d.exponent);
    return d;
}

// The value times 10^shift with `decimals` places, rounded half away from zero on its digits.
QString roundedText(const Decimal &d, int shift, int decimals)
{
    // Digits whose place is 10^-decimals or above.
    const int keep = d.exponent + shift + 1 + decimals;
    QByteArray scaled; // round(|value| x 10^(shift + decimals)), in decimal
    bool up = false;
    if (keep <= 0) {
        scaled = "0";
        up = keep == 0 && d.digits.at(0) >= '5';
    } else {
        scaled = d.digits.left(keep);
        if (scaled.size() < keep)
            scaled.append(QByteArray(keep - scaled.size(), '0'));
        up = keep < d.digits.size() && d.digits.at(keep) >= '5';
    }
    if (up) {
        int i = scaled.size() - 1;
        while (i >= 0 && scaled.at(i) == '9')
            scaled[i--] = '0';
        if (i < 0)
            scaled.prepend('1');
        else
            scaled[i] = char(scaled.at(i) + 1);
    }
    while (scaled.size() > decimals + 1 && scaled.at(0) == '0')
        scaled.remove(0, 1);
    if (scaled.size() < decimals + 1)
        scaled.prepend(QByteArray(decimals + 1 - scaled.size(), '0'));
    const bool zero = std::all_of(scaled.cbegin(), scaled.cend(), [](char c) { return c == '0'; });
    if (decimals > 0)
        scaled.insert(scaled.size() - decimals, '.');
    if (d.negative && !zero)
        scaled.prepend('-');
    return QString::fromLatin1(scaled);
}

struct Rounding
{
    int shift;
    int decimals;
    QString unit;
};

Rounding concentrationRounding(double magnitude, const MethodDisplaySettings &settings,
                               MethodDisplaySettings::Unit unit)
{
    if (unit == MethodDisplaySettings::Unit::Ppm
        || (unit == MethodDisplaySettings::Unit::Automatic && magnitude < settings.ppmThreshold()))
        return { 4, 0, ppm };
    if (magnitude < 1.0)
        return { 0, settings.smallPercentDecimals(), percent };
    return { 0, settings.percentDecimals(), percent };
}

void putNotAvailable(QJsonObject *reading)
{
    reading->insert(QStringLiteral("value"), QJsonValue::Null);
    reading->insert(QStringLiteral("error"), QJsonValue::Null);
    reading->insert(QStringLiteral("unit"), QString());
    reading->insert(QStringLiteral("text"), notAvailable);
}

// Value, error, unit and text of a finite value.
void putMeasure(QJsonObject *reading, const Decimal &value, float error, const Rounding &rounding)
{
    const QString valueText = roundedText(value, rounding.shift, rounding.decimals);
    QString text = valueText;
    reading->insert(QStringLiteral("value"), valueText.toDouble());
    if (std::isfinite(error)) {
        const QString errorText = roundedText(decimalOf(error), rounding.shift, rounding.decimals);
        reading->insert(QStringLiteral("error"), errorText.toDouble());
        text += plusMinus + errorText;
    } else {
        reading->insert(QStringLiteral("error"), QJsonValue::Null);
    }
    reading->insert(QStringLiteral("unit"), rounding.unit);
    reading->insert(QStringLiteral("text"), text + QLatin1Char(' ') + rounding.unit);
}

QJsonObject concentrationReading(const QString &element, float value, float error,
                                 const MethodDisplaySettings &settings,
                                 MethodDisplaySettings::Unit unit)
{
    QJsonObject reading { { QStringLiteral("element"), element } };
    if (!std::isfinite(value)) {
        putNotAvailable(&reading);
        return reading;
    }
    const Decimal d = decimalOf(value);
    putMeasure(&reading, d, error, concentrationRounding(d.magnitude, settings, unit));
    return reading;
}

QJsonValue finiteOrNull(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QJsonValue finiteOrNull(float value)
{
    return std::isfinite(value) ? XrfFields::floatToJson(value) : QJsonValue(QJsonValue::Null);
}

// The named entries first in the order given, then the others as they came.
template<class T>
QList<T> inOrder(const QList<T> &items, const QStringList &order)
{
    QList<T> sorted;
    QVector<bool> taken(items.size(), false);
    for (const QString &name : order) {
        for (int i = 0; i < items.size(); ++i) {
            if (!taken.at(i) && items.at(i).elementName() == name) {
                sorted.append(items.at(i));
                taken[i] = true;
            }
        }
    }
    for (int i = 0; i < items.size(); ++i) {
        if (!taken.at(i))
            sorted.append(items.at(i));
    }
    return sorted;
}

QJsonArray chemistry(const QList<XrfChemistryResult> &elements,
                     const MethodDisplaySettings &settings)
{
    QJsonArray array;
    for (const XrfChemistryResult &e : inOrder(elements, settings.elementOrder()))
        array.append(concentrationReading(e.elementName(), e.concentration(), e.error(), settings,
                                          settings.unitOf(e.elementName())));
    return array;
}

QJsonArray pseudoElements(const QList<XrfPseudoElementResult> &elements,
                          const MethodDisplaySettings &settings)
{
    QJsonArray array;
    for (const XrfPseudoElementResult &e : inOrder(elements, settings.elementOrder())) {
        QJsonObject reading;
        if (e.notApplicable()) {
            reading.insert(QStringLiteral("element"), e.elementName());
            putNotAvailable(&reading);
        } else {
            reading = concentrationReading(e.elementName(), e.concentration(), e.error(), settings,
                                           MethodDisplaySettings::Unit::Automatic);
        }
        reading.insert(QStringLiteral("formula"), e.formula());
        reading.insert(QStringLiteral("notApplicable"), e.notApplicable());
        array.append(reading);
    }
    return array;
}

QJsonArray coating(QList<XrfCoatingResult> layers, const MethodDisplaySettings &settings)
{
    // Layer 1 is the top; the substrate (0) is at the bottom.
    const auto depth = [](const XrfCoatingResult &c) {
        return c.layerOrder() == 0 ? INT_MAX : c.layerOrder();
    };
    std::stable_sort(layers.begin(), layers.end(),
                     [&](const XrfCoatingResult &a, const XrfCoatingResult &b) {
                         return depth(a) < depth(b);
                     });
    QJsonArray array;
    for (const XrfCoatingResult &c : layers) {
        QJsonObject layer { { QStringLiteral("element"), c.element() },
                            { QStringLiteral("layer"), c.layerOrder() },
                            { QStringLiteral("substrate"), c.layerOrder() == 0 } };
        if (c.layerOrder() == 0) {
            putNotAvailable(&layer);
            layer.insert(QStringLiteral("unit"), micrometres);
            layer.insert(QStringLiteral("text"), QStringLiteral("substrate"));
        } else if (!std::isfinite(c.thickness())) {
            putNotAvailable(&layer);
        } else {
            putMeasure(&layer, decimalOf(c.thickness()), c.error(),
                       { 0, settings.thicknessDecimals(), micrometres });
        }
        array.append(layer);
    }
    return array;
}

QJsonArray gradeMatch(const QList<XrfGradeMatch> &grades)
{
    QJsonArray array;
    for (const XrfGradeMatch &g : grades) {
        QJsonArray limits;
        for (const XrfGradeMatchSpec &s : g.gradeSpec()) {
            limits.append(QJsonObject { { QStringLiteral("element"), s.elementName() },
                                        { QStringLiteral("min"), finiteOrNull(s.min()) },
                                        { QStringLiteral("max"), finiteOrNull(s.max()) },
                                        { QStringLiteral("result"), s.result() } });
        }
        const float match = g.matchNumber();
        array.append(QJsonObject {
                { QStringLiteral("grade"), g.gradeName() },
                { QStringLiteral("matchNumber"),
                  std::isfinite(match) ? QJsonValue(roundedText(decimalOf(match), 0, 2).toDouble())
                                       : QJsonValue(QJsonValue::Null) },
                { QStringLiteral("message"), g.matchMessage() },
                { QStringLiteral("limits"), limits } });
    }
    return array;
}

QJsonArray testInfo(const QList<QJsonObject> &entries)
{
    QJsonArray array;
    for (const QJsonObject &entry : entries) {
        array.append(QJsonObject {
                { QStringLiteral("label"), entry.value(QStringLiteral("key")).toString() },
                { QStringLiteral("info"),
                  entry.value(QStringLiteral("value")).toVariant().toString() } });
    }
    return array;
}

QJsonValue testId(int id)
{
    return id < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(id);
}

QJsonArray averagedFrom(const QList<XrfAverageInfo> &sources)
{
    QJsonArray array;
    for (const XrfAverageInfo &s : sources) {
        array.append(QJsonObject { { QStringLiteral("testId"), testId(s.testId()) },
                                   { QStringLiteral("tidName"), s.tidName() },
                                   { QStringLiteral("dateTime"), s.testDateTime() } });
    }
    return array;
}

QJsonObject calCheck(const XrfCalCheckResult &c)
{
    const auto item = [](const char *label, double measured, QJsonValue expected) {
        return QJsonObject { { QStringLiteral("label"), QLatin1String(label) },
                             { QStringLiteral("measured"), finiteOrNull(measured) },
                             { QStringLiteral("expected"), expected } };
    };
    const QJsonValue none(QJsonValue::Null);
    const QJsonArray items {
        item("Count rate", c.rate(), finiteOrNull(c.expectedRate())),
        item("Resolution", c.resolution(), finiteOrNull(c.expectedResolution())),
        item("Peak 1", c.peak1(), none),
        item("Peak 2", c.peak2(), none),
        item("Slope", c.slope(), finiteOrNull(c.expectedSlope())),
        item("Offset", c.offset(), finiteOrNull(c.expectedOffset())),
    };
    return QJsonObject { { QStringLiteral("errorCode"), c.errorCode() },
                         { QStringLiteral("items"), items } };
}

} // namespace

XrfKorviResultPretty::XrfKorviResultPretty(const XrfKorviResult &result) : m_result(result)
{
    prettify(nullptr);
}

void XrfKorviResultPretty::prettify(const MethodDisplaySettings *settings)
{
    const XrfAnalysisResult &a = m_result.analysis();
    const MethodDisplaySettings s
            = (settings ? *settings : MethodDisplaySettings()).forMethod(a.methodId());
    const QDateTime when = a.testDateTime();

    QJsonObject o;
    o.insert(QStringLiteral("testId"), testId(a.testId()));
    o.insert(QStringLiteral("tidName"), a.tidName());
    o.insert(QStringLiteral("testType"), a.testType());
    o.insert(QStringLiteral("dateTimeUtc"), a.dateTimeString());
    o.insert(QStringLiteral("dateTimeLocal"),
             when.isValid() ? when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                            : QString());
    o.insert(QStringLiteral("method"),
             a.methodDispName().isEmpty() ? a.methodId() : a.methodDispName());
    o.insert(QStringLiteral("operator"), a.userId());
    o.insert(QStringLiteral("chemistry"), chemistry(m_result.chemistry(), s));
    o.insert(QStringLiteral("pseudoElements"), pseudoElements(m_result.pseudoElement(), s));
    o.insert(QStringLiteral("coating"), coating(m_result.coating(), s));
    o.insert(QStringLiteral("gradeMatch"), gradeMatch(m_result.gradeMatch()));
    o.insert(QStringLiteral("testInfo"), testInfo(m_result.testInfo()));
    o.insert(QStringLiteral("averagedFrom"), averagedFrom(m_result.avgOfTestsInfo()));
    if (m_result.hasCalCheck())
        o.insert(QStringLiteral("calCheck"), calCheck(*m_result.calCheck()));
    m_display = o;
}
