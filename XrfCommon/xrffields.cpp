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

bool dateTimeFromJson(const QJsonValue &json, QDateTime &out)
{
    if (!json.isString())
        return false;
    const QString text = json.toString();
    if (text.isEmpty()) {
        out = QDateTime();
        return true;
    }
    // Date and time are parsed apart and joined in UTC: parsed as local time, a UTC time that
    // falls into a daylight-saving gap would be lost.
    if (text.size() == 23 && text.at(10) == QLatin1Char(' ')) {
        const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
        const QTime time = QTime::fromString(text.mid(11), QStringLiteral("hh:mm:ss.zzz"));
        if (date.isValid() && time.isValid()) {
            out = QDateTime(date, time, Qt::UTC);
            return true;
        }
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
