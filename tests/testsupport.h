#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Small helpers shared by the tests: nothing here knows the code under test.

#include <QString>
#include <QStringList>
#include <QVariant>

namespace TestSupport {

// Runs one statement through a private connection to the file and returns the
// first column of every row. The connection is gone when this returns.
QVariantList querySqlite(const QString &dbFile, const QString &sql);

// Runs statements through a private read-write connection; false on the
// first that fails.
bool execSqlite(const QString &dbFile, const QStringList &statements);

// Writes a file, making its folder first; false when that fails.
bool writeFile(const QString &path, const QByteArray &content);
// The file's bytes, or "(missing)".
QByteArray readFile(const QString &path);

// Clears the services' settings and configures an instrument with this
// serial number (and tube anode, when given), as a host would at start-up.
void configureInstrument(const QString &serial, const QString &tubeAnode = QString());

} // namespace TestSupport

#endif // TESTSUPPORT_H
