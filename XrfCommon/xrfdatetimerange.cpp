// The ends of a range are wall-clock times of the instrument unless they say
// otherwise: a text without a zone is local time, one with "Z" or an offset
// keeps it. Written back, each end says which it is, so a range survives the
// trip through JSON unchanged.

#include "xrfdatetimerange.h"

namespace {

QDateTime rangeEndFromText(const QString &text)
{
    if (text.isEmpty())
        return QDateTime();
    const QString format = XrfFields::dateTimeFormat();
    if (text.size() == format.size() && text.at(10) == QLatin1Char(' ')) {
        const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
        const QTime time = QTime::fromString(text.mid(11), QStringLiteral("hh:mm:ss.zzz"));
        return QDateTime(date, time, Qt::LocalTime);
    }
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

QJsonValue rangeEndToJson(const QDateTime &end)
{
    if (!end.isValid())
        return QString();
    if (end.timeSpec() == Qt::LocalTime)
        return end.toString(XrfFields::dateTimeFormat());
    return end.toString(Qt::ISODateWithMs);
}

} // namespace

QJsonObject XrfDateTimeRange::toJsonObject() const
{
    return QJsonObject { { QStringLiteral("startDateTime"), rangeEndToJson(m_startDateTime) },
                         { QStringLiteral("endDateTime"), rangeEndToJson(m_endDateTime) } };
}

void XrfDateTimeRange::fromJsonObject(const QJsonObject &object, XrfFields::ReadLog *log)
{
    for (const auto &end : { std::make_pair("startDateTime", &m_startDateTime),
                             std::make_pair("endDateTime", &m_endDateTime) }) {
        const QJsonValue value = object.value(QLatin1String(end.first));
        if (value.isUndefined())
            continue;
        const QDateTime parsed = rangeEndFromText(value.toString());
        if (!value.isString() || (!parsed.isValid() && !value.toString().isEmpty())) {
            if (log) {
                log->enter(QLatin1String(end.first));
                log->refuse();
                log->leave();
            }
            continue;
        }
        *end.second = parsed;
    }
}

bool XrfDateTimeRange::operator==(const XrfDateTimeRange &other) const
{
    return m_startDateTime == other.m_startDateTime && m_endDateTime == other.m_endDateTime;
}
