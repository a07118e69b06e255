#ifndef FLEETSCHEMA_H
#define FLEETSCHEMA_H

// The shared PostgreSQL database many instruments push into, derived from
// the results schema description rather than written out a second time.
//
// - Every result table of an instrument's file has a table of the same name;
//   names are folded to lower case, so a LIMS writes them without quotes.
// - analysisresult gains resultid (the fleet's own id), serial and testtime
//   (testdatetime parsed, for ranges and partitioning); a result is unique by
//   (serial, testdatetime, tidname). testid stays the instrument's number.
// - A table of per-result rows gains resultid and serial; its key in the file
//   becomes the same key within the result. Other tables (the filters) are
//   kept per instrument: serial joins their key.
// - instruments replaces devinfo: one row per serial, with the zone of the
//   lab that pushes it.
// - result_elements: one row per result and element for readers that do not
//   know the schema.

#include <QString>
#include <QStringList>

#include "resultschema.h"

namespace FleetSchema {

enum class Type { BigInt, Double, Text, Bytea, Boolean };

// The PostgreSQL type of a column from its SQLite definition; a definition
// without a type (SQLite keeps any value there) becomes text.
Type columnType(const ResultSchema::Column &column);
QString typeName(Type type);

// "name" in lower case, quoted: some columns are keywords ("offset").
QString ident(const char *name);
QString ident(const QString &name);

// The tables pushed, analysisresult first, then those keyed by result, then
// those kept per instrument; devinfo is not among them.
QStringList pushedTables();
bool isPerResult(const ResultSchema::Table &table);

// Names of what the fleet schema consists of, and the number of columns of
// its tables, to see whether it is all there.
QStringList objectNames();
int tableColumnCount();
QString elementView();

// The statements that create what is missing (IF NOT EXISTS, the view
// replaced), in order; columns a newer library added to a table are added
// to the table already there.
QStringList creationStatements();

} // namespace FleetSchema

#endif // FLEETSCHEMA_H
