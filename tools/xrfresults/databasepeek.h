#ifndef DATABASEPEEK_H
#define DATABASEPEEK_H

// What the host reads from the results database that the library has no call
// for yet. Each function waits for a library call to replace it; until then
// it looks at the file itself, read-only, on a connection of its own.

#include <QSet>
#include <QString>

namespace DatabasePeek {

// The database file in the data folder, or empty when there is none.
// Waits for the library to name the file it opened.
QString databaseFile(const QString &dataDir);

// Waits for the library's dbInfo to carry the dbId.
QString databaseId(const QString &file);

// The number of stored results. Waits for a library call that counts them.
int storedResultCount(const QString &file);

// The image names the database holds ("<day>/<name>"); false when they could
// not be read. Waits for a library call that lists them.
bool imageNames(const QString &file, QSet<QString> *names);

} // namespace DatabasePeek

#endif // DATABASEPEEK_H
