#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Small helpers shared by the tests: nothing here knows the code under test.

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace TestSupport {

// Runs one statement through a private connection to the file and returns the
// first column of every row. The connection is gone when this returns.
QVariantList querySqlite(const QString &dbFile, const QString &sql);
// The same as whole numbers, sorted.
QList<int> queryInts(const QString &dbFile, const QString &sql);

// Runs statements through a private read-write connection; false on the
// first that fails.
bool execSqlite(const QString &dbFile, const QStringList &statements);

// Writes a file, making its folder first; false when that fails.
bool writeFile(const QString &path, const QByteArray &content);
// The file's bytes, or "(missing)".
QByteArray readFile(const QString &path);
// One compact JSON object a line, the list `repeat` times over.
bool writeJsonLines(const QString &path, const QList<QJsonObject> &results, int repeat = 1);
// Every entry of a folder, hidden ones too.
QStringList entries(const QString &folder);
// The files of a database folder, hidden ones too, without the log and
// shared memory an open database keeps beside its file.
QStringList databaseFolder(const QString &folder);

// "yyyy-MM-dd hh:mm:ss.zzz" read as UTC.
QDateTime utc(const QString &text);
// analysis.tidName of a result object.
QString tidNameOf(const QJsonObject &result);

// Runs a tool for at most a minute: its exit code, -1 when it crashed or
// did not end; its standard output into `output`.
int runTool(const QString &program, const QStringList &args, QByteArray *output = nullptr);
// The output of a tool that must succeed; on failure a text no check expects.
QString toolOutput(const QString &program, const QStringList &args);
// The rows of a CSV file as Python's csv module reads them (strict quoting).
QList<QStringList> csvRows(const QString &path, const QString &delimiter);
// Debian's interpreter, the one that sees the python3-* packages (a python3
// first on PATH, a pyenv's say, may not); "python3" where it is missing.
QString debianPython();
// Whether that interpreter finds the module, so that a test can skip when
// its package is not installed and fail when it is but cannot be used.
bool pythonHas(const QString &module);

// Clears the services' settings and configures an instrument with this
// serial number (and tube anode, when given), as a host would at start-up.
void configureInstrument(const QString &serial, const QString &tubeAnode = QString());

} // namespace TestSupport

#endif // TESTSUPPORT_H
