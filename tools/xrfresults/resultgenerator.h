#ifndef RESULTGENERATOR_H
#define RESULTGENERATOR_H

// Generated results of realistic variety for demos and measurements: each is
// a variation of one of the bundled sample results (chemistry within its
// errors, its own time, name and daily number), so that it looks like a
// day's work on the instrument.

#include <QDateTime>
#include <QList>

#include "xrfkorviresult.h"

namespace ResultGenerator {

QList<XrfKorviResult> generate(const QList<XrfKorviResult> &templates, int count,
                               const QDateTime &firstTest, quint32 seed);

} // namespace ResultGenerator

#endif // RESULTGENERATOR_H
