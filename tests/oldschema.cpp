#include "oldschema.h"

#include <QDir>
#include <QFileInfo>

#include "resultschema.h"
#include "testsupport.h"

namespace TestSupport {

OldSchema oldSchema(const QString &version)
{
    const double v = version.toDouble();
    OldSchema s;
    s.version = version;
    if (v < 4.0)
        s.missingTables
                = QStringList { "location", "rohsactionlevelresult", "pseudoelementresult" };
    if (v < 4.1)
        s.dropped << "gradematch.matchNSigma";
    s.oldPseudoElements = v >= 4.0 && v < 6.1;
    if (v < 6.2)
        s.dropped << "userfactorresult.userEntered";
    if (v < 6.3)
        s.dropped << "imageresult.imageHasCircle";
    return s;
}

bool makeOldSchemaFile(const QString &reference, const QString &target, const OldSchema &shape)
{
    QDir().mkpath(QFileInfo(target).absolutePath());
    QStringList statements { "ATTACH DATABASE '" + reference + "' AS ref" };
    for (const ResultSchema::Table &t : ResultSchema::tables()) {
        if (shape.missingTables.contains(t.name))
            continue;
        QStringList definitions, names;
        if (t.name == XrfTables::pseudoElementResult && shape.oldPseudoElements) {
            names = QStringList { "testId", "elementName", "concentration", "error" };
            definitions = QStringList { "testId INTEGER NOT NULL", "elementName VARCHAR NOT NULL",
                                        "concentration REAL NOT NULL", "error REAL NOT NULL" };
        } else {
            for (const ResultSchema::Column &c : t.columns) {
                if (shape.dropped.contains(t.name + '.' + c.name))
                    continue;
                names << c.name;
                definitions << QString(c.name) + ' ' + c.definition;
            }
        }
        statements << "CREATE TABLE " + t.name + " (" + (definitions + t.constraints).join(", ")
                        + ")";
        statements << QString("INSERT INTO %1 (%2) SELECT %2 FROM ref.%1")
                              .arg(t.name, names.join(','));
    }
    // Older software made no index for the exactly-once lookup.
    for (const ResultSchema::Index &i : ResultSchema::indices())
        if (!shape.missingTables.contains(i.table)
            && QLatin1String(i.name) != QLatin1String("analysisresultkeyindex"))
            statements << QString("CREATE INDEX %1 ON %2 (%3)").arg(i.name, i.table, i.columns);
    statements << (shape.version.isNull()
                           ? QString("DELETE FROM devinfo")
                           : "UPDATE devinfo SET dbVersion = '" + shape.version + "'");
    statements << "DETACH DATABASE ref";
    return execSqlite(target, statements);
}

} // namespace TestSupport
