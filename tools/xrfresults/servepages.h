#ifndef SERVEPAGES_H
#define SERVEPAGES_H

// The viewer's HTML pages. Every text from a result goes through escape();
// pages carry no script of their own, only links to the server's files.

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include "xrfkorviresult.h"

namespace ServePages {

QString escape(const QString &text);
// Whether pages offer storing an average and editing test info.
void setWritable(bool writable);

// The days of a calendar answer ({"Calendar": [{year: [{month: [day]}]}]}).
QList<QDate> calendarDays(const QJsonObject &calendar);

QString calendar(const QMap<QDate, int> &counts, const QJsonObject &calendar);
// Listed tests as the reader summarises them; total is how many matched
// before the list was capped. `target` is the request's own path and query.
QString list(const QString &title, const QJsonArray &tests, int total, const QString &target);
// A stored result (previous and next: neighbours' ids, 0 for none), or an
// average that is not stored (test id below 1: no spectra, no pictures).
QString result(const XrfKorviResult &result, int previous, int next);
QString trend(const QJsonObject &series, const QString &target);

} // namespace ServePages

#endif // SERVEPAGES_H
