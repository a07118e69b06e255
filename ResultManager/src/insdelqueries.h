#ifndef INSDELQUERIES_H
#define INSDELQUERIES_H

// Helpers for the statements that insert and delete results. The member
// functions of DatabaseManager that insert and delete live in
// insdelqueries.cpp beside these.

#include <QString>

namespace InsDelQueries {

// A text value as an SQL literal: wrapped in single quotes, each "'" doubled.
QString sqlQuote(const QString &value);

// The text with each "'" doubled, for statements that add the quotes.
QString escapeQuotes(const QString &value);

} // namespace InsDelQueries

#endif // INSDELQUERIES_H
