#include "requestarguments.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTimeZone>

#include "xrfanalysisresult.h"

namespace RequestArguments {

namespace {

    // Date, time and zone taken apart by hand: QDateTime::fromString accepts
    // day overflow in some forms and reads a zone-less text as local time,
    // which is wrong for the UTC forms.
    const QRegularExpression &dateTimePattern()
    {
        static const QRegularExpression pattern(
                QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})"
                               "(?:[ T](\\d{2}):(\\d{2})(?::(\\d{2})(?:[.,](\\d{1,9}))?)?)?"
                               "\\s*(Z|[+-]\\d{2}(?::?\\d{2})?)?$"));
        return pattern;
    }

    // A wall-clock time in a daylight-saving gap does not exist; it is read
    // as the first moment after the gap.
    QDateTime localDateTime(const QDate &date, const QTime &time)
    {
        QDateTime local(date, time, Qt::LocalTime);
        for (int minutes = 15; !local.isValid() && minutes <= 180; minutes += 15)
            local = QDateTime(date, time.addSecs(minutes * 60), Qt::LocalTime);
        return local;
    }

    bool parse(const QString &text, bool zoneLessIsUtc, QDateTime *utc)
    {
        const QRegularExpressionMatch m = dateTimePattern().match(text.trimmed());
        if (!m.hasMatch())
            return false;
        const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        if (!date.isValid())
            return false;
        QTime time(0, 0);
        if (!m.captured(4).isEmpty()) {
            const int ms = m.captured(7).leftJustified(3, QLatin1Char('0')).left(3).toInt();
            time = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(), ms);
            if (!time.isValid())
                return false;
        }
        const QString zone = m.captured(8);
        QDateTime result;
        if (zone == QLatin1String("Z")) {
            result = QDateTime(date, time, Qt::UTC);
        } else if (!zone.isEmpty()) {
            const QString digits = QString(zone).remove(QLatin1Char(':'));
            const int hours = digits.mid(1, 2).toInt();
            const int minutes = digits.size() > 3 ? digits.mid(3, 2).toInt() : 0;
            if (hours > 23 || minutes > 59)
                return false;
            const int sign = zone.startsWith(QLatin1Char('-')) ? -1 : 1;
            result = QDateTime(date, time, Qt::OffsetFromUTC, sign * (hours * 3600 + minutes * 60));
        } else if (zoneLessIsUtc) {
            result = QDateTime(date, time, Qt::UTC);
        } else {
            result = localDateTime(date, time);
        }
        if (!result.isValid())
            return false;
        *utc = withinStoredYears(result);
        return true;
    }

} // namespace

namespace {
    const QDateTime &firstStored()
    {
        static const QDateTime first(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
        return first;
    }
    const QDateTime &lastStored()
    {
        static const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC);
        return last;
    }
} // namespace

QDateTime withinStoredYears(const QDateTime &dateTime)
{
    const QDateTime utc = dateTime.toUTC();
    return utc < firstStored() ? firstStored() : (utc > lastStored() ? lastStored() : utc);
}

QString openStart()
{
    return storedText(firstStored());
}

QString openEnd()
{
    return storedText(lastStored());
}

QString storedText(const QDateTime &dateTime)
{
    return dateTime.toUTC().toString(XrfAnalysisResult::dateTimeFormat);
}

bool parseDateTime(const QString &text, QDateTime *utc)
{
    return parse(text, false, utc);
}

bool parseUtcDateTime(const QString &text, QDateTime *utc)
{
    return parse(text, true, utc);
}

void localDay(const QDate &date, QDateTime *start, QDateTime *end)
{
    *start = localDateTime(date, QTime(0, 0)).toUTC();
    *end = localDateTime(date.addDays(1), QTime(0, 0)).toUTC();
}

bool parseLocalDay(const QString &text, QDateTime *start, QDateTime *end)
{
    QDateTime utc;
    if (!parseDateTime(text, &utc))
        return false;
    localDay(utc.toLocalTime().date(), start, end);
    return true;
}

bool parseDateList(const QString &dateList, QList<DateRange> *ranges)
{
    if (dateList.trimmed().isEmpty())
        return true;
    const QStringList items = dateList.split(QLatin1Char(','));
    for (int i = 0; i + 1 < items.size(); i += 2) {
        QDateTime start;
        QDateTime end;
        if (!parseDateTime(items.at(i), &start) || !parseDateTime(items.at(i + 1), &end))
            return false;
        ranges->append({ start, end });
    }
    return true;
}

bool parseTestIds(const QStringList &parts, QList<int> *ids)
{
    static const QRegularExpression decimal(QStringLiteral("^\\d{1,9}$"));
    QList<int> parsed;
    QSet<int> seen;
    for (const QString &part : parts) {
        const QString item = part.trimmed();
        if (item.isEmpty())
            continue;
        if (!decimal.match(item).hasMatch())
            return false;
        const int id = item.toInt();
        if (id <= 0)
            return false;
        if (!seen.contains(id)) {
            seen.insert(id);
            parsed << id;
        }
    }
    *ids = parsed;
    return true;
}

bool parseTestIds(const QString &text, QList<int> *ids)
{
    return parseTestIds(text.split(QLatin1Char(',')), ids);
}

QString joinTestIds(const QList<int> &ids)
{
    QStringList parts;
    parts.reserve(ids.size());
    for (int id : ids)
        parts << QString::number(id);
    return parts.join(QLatin1Char(','));
}

} // namespace RequestArguments
