#ifndef REQUESTARGUMENTS_H
#define REQUESTARGUMENTS_H

// The arguments of browsing requests (dates, ranges and id lists) turned into
// what the statements bind.
//
// Invariants: a date-time without a zone is the instrument's local wall-clock
// time, as the calendar shows it; the result is always UTC, in the stored
// text form. A day runs from local midnight to the next local midnight (23 or
// 25 hours across a daylight-saving change), end exclusive. An id list holds
// only decimal integers above 0: one bad part refuses the whole list, so a
// request never deletes, averages or exports half of what was asked.

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

namespace RequestArguments {

// The stored text of a UTC date-time: "yyyy-MM-dd hh:mm:ss.zzz".
QString storedText(const QDateTime &dateTime);

// Stored texts have four-digit years. West of UTC the last local millisecond
// of 9999, a host's "no end", lies in year 10000 UTC, which no comparison
// can take: a bound is kept within the stored years (in UTC), so an open end
// stays open in every zone.
QDateTime withinStoredYears(const QDateTime &dateTime);
// The stored texts of the first and last moments a bound can name: the ends
// of a range that has none (a clock reset to 1970 stores results of that
// day, a clock ahead results of the future).
QString openStart();
QString openEnd();

// "yyyy-MM-dd hh:mm:ss[.zzz]", "yyyy-MM-dd hh:mm" or ISO 8601 (with "T",
// optionally with "Z" or an offset); a date alone is its local midnight.
// False for anything else ("May 7", "2024-02-30").
bool parseDateTime(const QString &text, QDateTime *utc);
// As parseDateTime, for a date-time that is already UTC when it has no zone
// (the stored form, the bounds of synchronisation).
bool parseUtcDateTime(const QString &text, QDateTime *utc);

// The local day of `date`, [start, end) in UTC.
void localDay(const QDate &date, QDateTime *start, QDateTime *end);
// The day named by "yyyy-MM-dd", or by any date-time parseDateTime takes
// (its local date).
bool parseLocalDay(const QString &text, QDateTime *start, QDateTime *end);

// A range of date-times in UTC, (start, end].
using DateRange = QPair<QDateTime, QDateTime>;
// The (start, end) pairs of a comma-separated list of date-times, as
// parseDateTime reads them; a last item without its pair is no range. False
// when one does not parse.
bool parseDateList(const QString &dateList, QList<DateRange> *ranges);

// "3, 1,,7" gives 3, 1, 7 (order kept, repeats dropped); false when a part
// is not a decimal integer above 0.
bool parseTestIds(const QString &text, QList<int> *ids);
bool parseTestIds(const QStringList &parts, QList<int> *ids);
QString joinTestIds(const QList<int> &ids);

} // namespace RequestArguments

#endif // REQUESTARGUMENTS_H
