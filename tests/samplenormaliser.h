#ifndef SAMPLENORMALISER_H
#define SAMPLENORMALISER_H

#include <QString>

#include "xrfkorviresult.h"

namespace TestSupport {

// The result as the database gives it back after storing `original` under
// testId in dbFile, with currentUser logged in.
XrfKorviResult normaliseStored(const XrfKorviResult &original, int testId, const QString &dbFile,
                               const QString &currentUser);

} // namespace TestSupport

#endif // SAMPLENORMALISER_H
