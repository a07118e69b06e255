#ifndef RESULTREPORT_H
#define RESULTREPORT_H

// What xrfresults prints: a result as a person reads it, and the state of a
// data folder.

#include <QString>

#include "xrfkorviresult.h"

class XrfHost;

namespace ResultReport {

QString summary(const XrfKorviResult &result);
// The chemistry part of the summary: one line per element, or nothing; in %,
// or in ppm where the method's display settings state it for the element.
QString chemistry(const XrfKorviResult &result);
QString info(XrfHost &host);

// One line per stored result: test id, UTC date-time, test name.
QString storedLine(int testId, const XrfKorviResult &result);

} // namespace ResultReport

#endif // RESULTREPORT_H
