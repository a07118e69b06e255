#ifndef RESULTREPORT_H
#define RESULTREPORT_H

// What xrfresults prints: a result as a person reads it, and the state of a
// data folder.

#include <QList>
#include <QString>

#include "xrfkorviresult.h"

class XrfHost;

namespace ResultReport {

// The display form as labelled lines, so that a terminal and a web page show
// the same thing: the header (date-time, type, method, user, test info), the
// chemistry, and what follows it (layers, cal check, grade match, images).
struct Line
{
    QString label;
    QString value;
};
struct ChemistryRow
{
    QString element;
    QString value;
    QString error;
    QString unit;
};
QList<Line> headerLines(const XrfKorviResult &result);
QList<ChemistryRow> chemistryRows(const XrfKorviResult &result);
QList<Line> trailingLines(const XrfKorviResult &result);

QString summary(const XrfKorviResult &result);
// The chemistry part of the summary: one line per element, or nothing; in %,
// or in ppm where the method's display settings state it for the element.
QString chemistry(const XrfKorviResult &result);
QString info(XrfHost &host);

// One line per stored result: test id, UTC date-time, test name.
QString storedLine(int testId, const XrfKorviResult &result);

} // namespace ResultReport

#endif // RESULTREPORT_H
