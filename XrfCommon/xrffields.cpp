#include "xrffields.h"

#include <QtEndian>

#include <charconv>

namespace XrfFields {

// JSON pointer escapes: "~" is "~0" and "/" is "~1".
void ReadLog::enter(const QString &step)
{
    QString escaped = step;
    escaped.replace(QLatin1Char('~'), QLatin1String("~0"));
    escaped.replace(QLatin1Char('/'), QLatin1String("~1"));
    m_path.append(escaped);
}

void ReadLog::leave()
{
    if (!m_path.isEmpty())
        m_path.removeLast();
}

void ReadLog::refuse()
{
    m_problems.append(m_path.isEmpty() ? QString()
                                       : QLatin1Char('/') + m_path.join(QLatin1Char('/')));
}

QString dateTimeFormat()
{
    return QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");
}

QByteArray channelBytes(const QVector<quint32> &channels)
{
    QByteArray bytes(channels.size() * 4, Qt::Uninitialized);
    uchar *out = reinterpret_cast<uchar *>(bytes.data());
    for (const quint32 count : channels) {
        qToLittleEndian(count, out);
        out += 4;
    }
    return bytes;
}

int appendChannels(const QByteArray &bytes, QVector<quint32> &channels)
{
    const int count = bytes.size() / 4;
    const uchar *in = reinterpret_cast<const uchar *>(bytes.constData());
    channels.reserve(channels.size() + count);
    for (int i = 0; i < count; ++i)
        channels.append(qFromLittleEndian<quint32>(in + 4 * i));
    return count;
}

// The date-time's own wall-clock text: a test date-time is held in UTC already, and a date
// range from a request must come back as the text it was given.
QJsonValue dateTimeToJson(const QDateTime &value)
{
    return value.isValid() ? value.toString(dateTimeFormat()) : QString();
}

QDateTime utcFromText(const QString &text)
{
    // Read digit by digit: it is done for every stored result read back.
    static const char shape[] = "dddd-dd-dd dd:dd:dd.ddd";
    if (text.size() != 23)
        return QDateTime();
    int digits[17];
    int n = 0;
    for (int i = 0; i < 23; ++i) {
        const ushort c = text.at(i).unicode();
        if (shape[i] == 'd') {
            if (c < '0' || c > '9')
                return QDateTime();
            digits[n++] = c - '0';
        } else if (c != ushort(shape[i])) {
            return QDateTime();
        }
    }
    const auto number = [&](int from, int count) {
        int v = 0;
        for (int i = from; i < from + count; ++i)
            v = v * 10 + digits[i];
        return v;
    };
    const QDate date(number(0, 4), number(4, 2), number(6, 2));
    const QTime time(number(8, 2), number(10, 2), number(12, 2), number(14, 3));
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, Qt::UTC);
}

bool dateTimeFromJson(const QJsonValue &json, QDateTime &out)
{
    if (!json.isString())
        return false;
    const QString text = json.toString();
    if (text.isEmpty()) {
        out = QDateTime();
        return true;
    }
    const QDateTime stored = utcFromText(text);
    if (stored.isValid()) {
        out = stored;
        return true;
    }
    QDateTime iso = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!iso.isValid())
        return false;
    if (iso.timeSpec() == Qt::LocalTime)
        iso.setTimeSpec(Qt::UTC);
    out = iso.toUTC();
    return true;
}

QJsonValue channelsToJson(const QVector<quint32> &value)
{
    return QString::fromLatin1(channelBytes(value).toBase64());
}

bool channelsFromJson(const QJsonValue &json, QVector<quint32> &out)
{
    QVector<quint32> channels;
    if (json.isString()) {
        const auto decoded = QByteArray::fromBase64Encoding(
                json.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() % 4 != 0)
            return false;
        appendChannels(decoded.decoded, channels);
    } else if (json.isArray()) {
        const QJsonArray array = json.toArray();
        channels.reserve(array.size());
        for (const QJsonValue &element : array) {
            quint32 count = 0;
            if (!Json<quint32>::from(element, count))
                return false;
            channels.append(count);
        }
    } else {
        return false;
    }
    out = channels;
    return true;
}

// The shortest text of a float reads back as that float, but JSON goes through a double, and
// rounding twice can miss for a few values (7.038531e-26f); those keep the double's text.
QJsonValue floatToJson(float value)
{
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    double shortest = 0.0;
    std::from_chars(text, written.ptr, shortest);
    return QJsonValue(float(shortest) == value ? shortest : double(value));
}

bool realFromJson(const QJsonValue &json, double &out)
{
    if (json.isDouble()) {
        out = json.toDouble();
        return true;
    }
    if (json.isNull()) {
        out = qQNaN();
        return true;
    }
    const QString text = json.toString();
    if (text == QLatin1String("inf"))
        out = qInf();
    else if (text == QLatin1String("-inf"))
        out = -qInf();
    else
        return false;
    return true;
}

} // namespace XrfFields
