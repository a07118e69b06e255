#ifndef OLDSCHEMA_H
#define OLDSCHEMA_H

// Results database files as older versions of the schema left them, made
// from a current file's rows: for the upgrade and for files that travel
// after one.

#include <QString>
#include <QStringList>

namespace TestSupport {

// What a file of an old version looked like.
struct OldSchema
{
    QString version; // null: no device row
    QStringList dropped; // "table.column"
    QStringList missingTables;
    bool oldPseudoElements = false;
};

// The tables of `version`: below 4.0 three tables are missing, below 4.1,
// 6.2 and 6.3 one column each, from 4.0 to 6.1 the old pseudo elements.
OldSchema oldSchema(const QString &version);

// The rows of `reference` in tables of that shape, at `target`.
bool makeOldSchemaFile(const QString &reference, const QString &target, const OldSchema &shape);

} // namespace TestSupport

#endif // OLDSCHEMA_H
