// Statements name the mini database "syncDb" and the receiver "main"
// explicitly: both hold tables of the same names. The merge works through
// temporary tables: syncMap (old test id -> new id, and whether the result
// is imported), syncFilterMap (old filter id -> receiver's) and syncImages
// (the image rows kept, with their cleaned names); each table's rows are then
// one INSERT ... SELECT joined to them, in the source's row order, which is
// the order the reader gives list rows back in.

#include "minidatabase.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

#include "exchangefiles.h"
#include "picturesweep.h"
#include "requestarguments.h"
#include "resultbinding.h"
#include "resultdeleter.h"
#include "resultschema.h"
#include "sqltext.h"
#include "xrfanalysisresult.h"
#include "xrfutils.h"

namespace {

bool hasSqliteHeader(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(16) == QByteArray("SQLite format 3\0", 16);
}

QString definition(const ResultSchema::Column &c)
{
    return QString::fromLatin1(c.definition).toUpper();
}

// An INTEGER PRIMARY KEY named id is the row id: the receiver gives a new one.
bool isRowId(const ResultSchema::Column &c)
{
    return qstrcmp(c.name, "id") == 0 && definition(c).contains(QLatin1String("PRIMARY KEY"));
}

// What a column the source lacks gets: nothing (the receiver's default or
// NULL), or, where NOT NULL has no default, the empty value of its type.
QString valueOfMissing(const ResultSchema::Column &c)
{
    const QString d = definition(c);
    if (d.contains(QLatin1String("DEFAULT")) || !d.contains(QLatin1String("NOT NULL")))
        return QString();
    return d.startsWith(QLatin1String("TEXT")) || d.startsWith(QLatin1String("VARCHAR"))
            ? QStringLiteral("''")
            : QStringLiteral("0");
}

// The tables copied, in their order; filterprops follows the spectra that
// use it, devinfo stays the instrument's own.

} // namespace

QStringList MiniDatabase::copiedTables()
{
    QStringList tables { XrfTables::analysisResult };
    for (const ResultSchema::Table &t : ResultSchema::tables())
        if (t.name != XrfTables::analysisResult && t.name != XrfTables::devInfo
            && t.name != XrfTables::filterProps)
            tables << t.name;
    return tables;
}

MiniDatabase::MiniDatabase(const QSqlDatabase &db, const QString &instrumentDataPath,
                           const QString &databaseFile, AbortCheck aborted)
    : m_db(db), m_instrumentDataPath(instrumentDataPath), m_databaseFile(databaseFile),
      m_aborted(std::move(aborted))
{
}

bool MiniDatabase::exec(const QString &statement)
{
    return SqlText::execStatement(m_db, statement) == XrfErrorInfo::NoError;
}

bool MiniDatabase::aborted() const
{
    return (m_aborted && m_aborted()) || XrfUtils::faultPointArmed("minidb-abort");
}

bool MiniDatabase::attach(const QString &file)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("ATTACH DATABASE ? AS syncDb"));
    q.addBindValue(file);
    if (!q.exec()) {
        qWarning() << "Cannot attach" << file << ":" << q.lastError().text();
        return false;
    }
    return true;
}

void MiniDatabase::detach()
{
    if (!exec(QStringLiteral("DETACH DATABASE syncDb")))
        qWarning() << "The mini database stays attached until the connection closes";
}

// --- Merging --------------------------------------------------------------------------

XrfErrorInfo::XrfError MiniDatabase::merge(const QString &file, Counts *counts)
{
    *counts = Counts();
    const QFileInfo info(file);
    const QString path = info.absoluteFilePath();
    if (!info.isFile() || !hasSqliteHeader(path)) {
        qWarning() << "Results cannot be imported from" << file << ": it is no SQLite database";
        return XrfErrorInfo::FileOpenFailed;
    }
    // Attached twice, the live file would wait on its own lock.
    if (info.canonicalFilePath() == QFileInfo(m_databaseFile).canonicalFilePath()) {
        qWarning() << "Results cannot be imported from" << file << ": it is the live database";
        return XrfErrorInfo::FileOpenFailed;
    }
    auto dropMaps = [this] {
        for (const char *table : { "syncMap", "syncFilterMap", "syncImages" })
            QSqlQuery(m_db).exec(QStringLiteral("DROP TABLE IF EXISTS temp.")
                                 + QLatin1String(table));
    };
    dropMaps();
    if (!attach(path))
        return XrfErrorInfo::FileOpenFailed;
    const XrfErrorInfo::XrfError rc = mergeAttached(path, counts);
    dropMaps();
    detach();
    return rc;
}

bool MiniDatabase::checkSource(QString *why)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("PRAGMA syncDb.quick_check")) || !q.next()) {
        *why = QStringLiteral("it is not a readable SQLite database: ") + q.lastError().text();
        return false;
    }
    if (q.value(0).toString() != QLatin1String("ok")) {
        *why = QStringLiteral("it fails SQLite's quick check: ") + q.value(0).toString();
        return false;
    }
    q.finish();

    QSet<QString> tables;
    for (const ResultSchema::Table &t : ResultSchema::tables())
        tables.insert(t.name.toLower());
    QHash<QString, QString> indices;
    for (const ResultSchema::Index &i : ResultSchema::indices())
        indices.insert(QString::fromLatin1(i.name).toLower(), i.table.toLower());
    if (!q.exec(QStringLiteral("SELECT type, name, tbl_name FROM syncDb.sqlite_master"))) {
        *why = QStringLiteral("its schema cannot be read: ") + q.lastError().text();
        return false;
    }
    while (q.next()) {
        const QString type = q.value(0).toString();
        const QString name = q.value(1).toString().toLower();
        const QString table = q.value(2).toString().toLower();
        bool expected = false;
        if (type == QLatin1String("table"))
            // An upgraded card's old pseudo-element rows come along unread.
            expected = tables.contains(name) || name == QLatin1String("sqlite_sequence")
                    || name == XrfTables::pseudoElementResultBefore61;
        else if (type == QLatin1String("index"))
            expected = (name.startsWith(QLatin1String("sqlite_autoindex_"))
                        && tables.contains(table))
                    || (indices.contains(name) && indices.value(name) == table);
        if (!expected) {
            *why = QStringLiteral("it holds a %1 \"%2\" that a results database has not")
                           .arg(type, q.value(1).toString());
            return false;
        }
    }
    return true;
}

bool MiniDatabase::readSourceColumns()
{
    m_sourceColumns.clear();
    for (const ResultSchema::Table &t : ResultSchema::tables()) {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("PRAGMA syncDb.table_info(%1)").arg(t.name)))
            return false;
        QSet<QString> columns;
        while (q.next())
            columns.insert(q.value(1).toString().toLower());
        if (!columns.isEmpty())
            m_sourceColumns.insert(t.name, columns);
    }
    const QSet<QString> results = m_sourceColumns.value(XrfTables::analysisResult);
    return results.contains(QStringLiteral("testid"))
            && results.contains(QStringLiteral("testdatetime"));
}

// Each result of the file: stored already (mapped to the stored one), twice
// in the file (mapped to its first), without a date-time (failed) or new
// (the next free id, in the file's order).
bool MiniDatabase::planTests(Counts *counts)
{
    if (!exec(QStringLiteral("CREATE TEMP TABLE syncMap (oldId INTEGER PRIMARY KEY, "
                             "newId INTEGER NOT NULL, importing INTEGER NOT NULL, "
                             "twin INTEGER NOT NULL, dateTime TEXT)")))
        return false;
    // The join finds the stored twins in one pass (SQLite indexes the
    // receiver's rows for it), not one scan per result.
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // A file without names gives every result the receiver's default name.
    const QString name
            = m_sourceColumns.value(XrfTables::analysisResult).contains(QStringLiteral("tidname"))
            ? QStringLiteral("s.tidName")
            : QStringLiteral("''");
    // An averaged result that older software stored without a date-time
    // takes the latest of its sources in the file plus a millisecond: the
    // same file always gives the same, so a second import finds the first.
    const QSet<QString> links = m_sourceColumns.value(XrfTables::averagedResultInfo);
    const QString sources = links.contains(QStringLiteral("testid"))
                    && links.contains(QStringLiteral("averagedtestid"))
            ? QStringLiteral("(SELECT max(julianday(a.testDateTime)) FROM syncDb.%1 v JOIN "
                             "syncDb.%2 a ON a.testId = v.testId WHERE v.averagedTestId = "
                             "s.testId)")
                      .arg(XrfTables::averagedResultInfo, XrfTables::analysisResult)
            : QStringLiteral("NULL");
    if (!q.exec(QStringLiteral("SELECT s.testId, s.testDateTime, %2, min(m.testId), "
                               "julianday(s.testDateTime) IS NULL, %3 FROM "
                               "syncDb.%1 s LEFT JOIN main.%1 m ON m.testDateTime = "
                               "s.testDateTime AND m.tidName = %2 AND s.testDateTime <> '' "
                               "GROUP BY s.testId ORDER BY s.testId")
                        .arg(XrfTables::analysisResult, name, sources))) {
        qWarning() << "Cannot read the results of the file:" << q.lastError().text();
        return false;
    }
    QSqlQuery twinOf(m_db);
    twinOf.prepare(QStringLiteral("SELECT min(testId) FROM main.") + XrfTables::analysisResult
                   + QStringLiteral(" WHERE testDateTime = ? AND tidName = ?"));
    int next = SqlText::latestTestId(m_db);
    m_anyTwin = false;
    QHash<QString, int> inFile;
    QVariantList oldIds, newIds, importing, twins, dateTimes;
    m_importing = 0;
    while (q.next()) {
        QString when = q.value(1).toString();
        QVariant twin = q.value(3);
        QVariant dated;
        if (q.value(4).toBool()) {
            if (q.value(5).isNull()) {
                qWarning() << "Result" << q.value(0).toInt() << q.value(2).toString()
                           << "of the file has no date-time; it is not imported";
                ++counts->failed;
                continue;
            }
            when = RequestArguments::storedText(QDateTime::fromMSecsSinceEpoch(
                    qRound64((q.value(5).toDouble() - 2440587.5) * 86400000.0) + 1, Qt::UTC));
            dated = when;
            twinOf.addBindValue(when);
            twinOf.addBindValue(q.value(2).toString());
            if (!twinOf.exec() || !twinOf.next())
                return false;
            twin = twinOf.value(0);
            twinOf.finish();
        }
        const QString key = when + QChar(0) + q.value(2).toString();
        int newId = 0;
        bool imported = false;
        if (!twin.isNull()) {
            newId = twin.toInt();
        } else if (inFile.contains(key)) {
            newId = inFile.value(key);
        } else {
            newId = ++next;
            imported = true;
            inFile.insert(key, newId);
        }
        if (imported)
            ++m_importing;
        else
            ++counts->skipped;
        m_anyTwin = m_anyTwin || !twin.isNull();
        oldIds << q.value(0).toInt();
        newIds << newId;
        importing << int(imported);
        twins << int(!twin.isNull());
        dateTimes << dated;
    }
    q.finish();
    if (oldIds.isEmpty())
        return true;
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO temp.syncMap (oldId, newId, importing, twin, "
                                  "dateTime) VALUES (?, ?, ?, ?, ?)"));
    insert.addBindValue(oldIds);
    insert.addBindValue(newIds);
    insert.addBindValue(importing);
    insert.addBindValue(twins);
    insert.addBindValue(dateTimes);
    return insert.execBatch();
}

// The pictures of the imported results, and those that results stored
// before lack (a file carried once without its pictures), each under the
// name it will have in the store: its own, or a free one when that names
// another picture. A picture not carried beside the file gets no row.
bool MiniDatabase::planImages(const QString &file, Counts *counts)
{
    m_plannedImages.clear();
    m_completing = 0;
    if (!exec(QStringLiteral("CREATE TEMP TABLE syncImages (oldRowId INTEGER PRIMARY KEY, "
                             "fileName TEXT NOT NULL, testId INTEGER NOT NULL)")))
        return false;
    const QSet<QString> columns = m_sourceColumns.value(XrfTables::imageResult);
    if (!columns.contains(QStringLiteral("filename"))
        || !columns.contains(QStringLiteral("testid")))
        return true;
    const QString name
            = m_sourceColumns.value(XrfTables::analysisResult).contains(QStringLiteral("tidname"))
            ? QStringLiteral("a.tidName")
            : QStringLiteral("''");
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT t.rowid, t.fileName, t.testId, m.newId, m.importing, "
                               "a.testDateTime, %3 FROM syncDb.%1 t JOIN temp.syncMap m ON "
                               "m.oldId = t.testId AND (m.importing = 1 OR m.twin = 1) "
                               "JOIN syncDb.%2 a ON a.testId = t.testId ORDER BY t.testId, t.rowid")
                        .arg(XrfTables::imageResult, XrfTables::analysisResult, name)))
        return false;
    const QString store = m_instrumentDataPath + QStringLiteral("images/");
    QSqlQuery held(m_db);
    held.prepare(QStringLiteral("SELECT fileName FROM main.") + XrfTables::imageResult
                 + QStringLiteral(" WHERE testId = ?"));
    QSqlQuery named(m_db);
    named.prepare(QStringLiteral("SELECT 1 FROM main.") + XrfTables::imageResult
                  + QStringLiteral(" WHERE fileName = ? LIMIT 1"));
    QSet<QString> planned;
    const auto taken = [&](const QString &candidate) {
        named.addBindValue(candidate);
        // Not knowing counts as named: never hand out another result's name.
        const bool isNamed = !named.exec() || named.next();
        named.finish();
        return isNamed || planned.contains(candidate);
    };
    QVariantList rows, names, testIds;
    int lastTest = -1;
    int number = 0;
    QSet<QString> heldNames;
    while (q.next()) {
        const int oldTest = q.value(2).toInt();
        const bool importing = q.value(4).toInt() == 1;
        number = oldTest == lastTest ? number + 1 : 1;
        if (oldTest != lastTest && !importing) {
            heldNames.clear();
            held.addBindValue(q.value(3));
            if (!held.exec())
                return false;
            while (held.next())
                heldNames.insert(ExchangeFiles::baseImageName(held.value(0).toString()));
        }
        lastTest = oldTest;
        const QString original = q.value(1).toString();
        const QString clean = ExchangeFiles::importableImageName(original);
        if (clean.isEmpty() || SqlText::storedImagePath(store, clean).isEmpty()) {
            qWarning() << "Image name" << original
                       << "of an imported result leaves the image store; the image is dropped";
            continue;
        }
        QDateTime when;
        const bool dated = RequestArguments::parseUtcDateTime(q.value(5).toString(), &when);
        const QString ownName
                = dated ? SqlText::storedImageName(q.value(6).toString(), when, number) : clean;
        if (!importing && (heldNames.contains(clean) || heldNames.contains(ownName)))
            continue;
        const QString carried = ExchangeFiles::carriedImage(clean, file);
        if (carried.isEmpty()) {
            qWarning() << "The picture" << clean << "of result" << q.value(6).toString()
                       << q.value(5).toString() << "is not beside" << file;
            ++counts->picturesMissing;
            continue;
        }
        QString stored = clean;
        const QString target = SqlText::storedImagePath(store, clean);
        const bool occupied = QFileInfo::exists(target) || QFileInfo(target).isSymLink();
        // The same bytes named by no row are this picture, brought in by an
        // import that was cut off; anything else there is another's.
        if ((occupied && !ExchangeFiles::sameContent(carried, target)) || taken(clean))
            stored = ExchangeFiles::freeImageName(store, ownName, taken);
        planned.insert(stored);
        if (!QFileInfo::exists(SqlText::storedImagePath(store, stored)))
            m_plannedImages.append({ carried, stored });
        rows << q.value(0);
        names << stored;
        testIds << q.value(3);
        if (!importing)
            ++m_completing;
    }
    q.finish();
    if (rows.isEmpty())
        return true;
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral(
            "INSERT INTO temp.syncImages (oldRowId, fileName, testId) VALUES (?, ?, ?)"));
    insert.addBindValue(rows);
    insert.addBindValue(names);
    insert.addBindValue(testIds);
    return insert.execBatch();
}

// The filters the imported spectra use, found in the receiver by their four
// values as the writer finds them, or added there.
bool MiniDatabase::mapFilters()
{
    if (!exec(QStringLiteral("CREATE TEMP TABLE syncFilterMap (oldId INTEGER PRIMARY KEY, "
                             "newId INTEGER NOT NULL)")))
        return false;
    const ResultBinding::RowTable &row = ResultBinding::filterRow();
    const QSet<QString> filters = m_sourceColumns.value(XrfTables::filterProps);
    const QSet<QString> spectra = m_sourceColumns.value(XrfTables::spectrum);
    bool complete = filters.contains(QStringLiteral("id"))
            && spectra.contains(QStringLiteral("filterposition"))
            && spectra.contains(QStringLiteral("testid"));
    for (const QString &column : row.columns)
        complete = complete && filters.contains(column.toLower());
    if (!complete)
        return true;

    const QString columns = row.columns.join(QLatin1Char(','));
    QSqlQuery used(m_db);
    used.setForwardOnly(true);
    if (!used.exec(
                QStringLiteral("SELECT id,%1 FROM syncDb.%2 WHERE id IN (SELECT t.filterPosition "
                               "FROM syncDb.%3 t JOIN temp.syncMap m ON m.oldId = t.testId AND "
                               "m.importing = 1)")
                        .arg(columns, XrfTables::filterProps, XrfTables::spectrum)))
        return false;
    QStringList matches, marks;
    for (const QString &column : row.columns) {
        matches << column + QStringLiteral(" = ?");
        marks << QStringLiteral("?");
    }
    QSqlQuery find(m_db);
    find.prepare(QStringLiteral("SELECT id FROM main.") + row.table + QStringLiteral(" WHERE ")
                 + matches.join(QStringLiteral(" AND ")) + QStringLiteral(" ORDER BY id LIMIT 1"));
    QSqlQuery add(m_db);
    add.prepare(QStringLiteral("INSERT INTO main.%1 (%2) VALUES (%3)")
                        .arg(row.table, columns, marks.join(QLatin1Char(','))));
    QSqlQuery map(m_db);
    map.prepare(QStringLiteral("INSERT INTO temp.syncFilterMap (oldId, newId) VALUES (?, ?)"));
    while (used.next()) {
        QVariantList values;
        for (int i = 0; i < row.columns.size(); ++i)
            values << used.value(i + 1).toLongLong();
        values.last() = values.last().toLongLong() != 0 ? 1 : 0; // hasCollimator
        for (const QVariant &v : qAsConst(values))
            find.addBindValue(v);
        if (!find.exec())
            return false;
        QVariant id;
        if (find.next()) {
            id = find.value(0);
        } else {
            for (const QVariant &v : qAsConst(values))
                add.addBindValue(v);
            if (!add.exec())
                return false;
            id = add.lastInsertId();
        }
        find.finish();
        map.addBindValue(used.value(0));
        map.addBindValue(id);
        if (!map.exec())
            return false;
    }
    return true;
}

// The INSERT ... SELECT of one table's rows of the imported results, or
// empty when the source has no such rows.
QString MiniDatabase::copyIn(const QString &name) const
{
    using namespace XrfTables;
    const ResultSchema::Table &table = ResultSchema::table(name);
    const QSet<QString> source = m_sourceColumns.value(name);
    const bool averaged = name == averagedResultInfo;
    const QString key = averaged ? QStringLiteral("averagedTestId") : QStringLiteral("testId");
    if (!source.contains(key.toLower()) || (averaged && !source.contains(QStringLiteral("testid"))))
        return QString();

    // Picture rows are those planned, for new results and stored ones alike.
    QString from = name == imageResult
            ? QStringLiteral("syncDb.%1 t JOIN temp.syncImages i ON i.oldRowId = t.rowid").arg(name)
            : QStringLiteral("syncDb.%1 t JOIN temp.syncMap m ON m.oldId = t.%2 AND "
                             "m.importing = 1")
                      .arg(name, key);
    QStringList columns, values;
    for (const ResultSchema::Column &c : table.columns) {
        const QString column = QLatin1String(c.name);
        QString value;
        if (isRowId(c)) {
            continue;
        } else if (column == QLatin1String("testId")) {
            value = averaged ? QStringLiteral("s.newId")
                             : (name == imageResult ? QStringLiteral("i.testId")
                                                    : QStringLiteral("m.newId"));
        } else if (averaged && column == QLatin1String("averagedTestId")) {
            value = QStringLiteral("m.newId");
        } else if (name == analysisResult && column == QLatin1String("testDateTime")) {
            value = QStringLiteral("coalesce(m.dateTime, t.testDateTime)");
        } else if (name == imageResult && column == QLatin1String("fileName")) {
            value = QStringLiteral("i.fileName");
        } else if (!source.contains(column.toLower())) {
            value = valueOfMissing(c);
            if (value.isEmpty())
                continue;
        } else if (name == spectrum && column == QLatin1String("filterPosition")) {
            // 0 names no filter: the reader gives the spectrum no filter.
            value = QStringLiteral("coalesce(f.newId, 0)");
            from += QStringLiteral(" LEFT JOIN temp.syncFilterMap f ON f.oldId = t.filterPosition");
        } else if (name == regressionInfo && column == QLatin1String("historicalTestId")) {
            value = QStringLiteral("coalesce(h.newId, 0)");
            from += QStringLiteral(" LEFT JOIN temp.syncMap h ON h.oldId = t.historicalTestId");
        } else {
            value = QStringLiteral("t.") + column;
        }
        columns << column;
        values << value;
    }
    if (averaged)
        from += QStringLiteral(" JOIN temp.syncMap s ON s.oldId = t.testId");
    return QStringLiteral("INSERT INTO main.%1 (%2) SELECT %3 FROM %4 ORDER BY t.rowid")
            .arg(name, columns.join(QLatin1Char(',')), values.join(QLatin1Char(',')), from);
}

void MiniDatabase::warnAboutUnmappedRows()
{
    using namespace XrfTables;
    auto count = [this](const QString &statement) {
        QSqlQuery q(m_db);
        return q.exec(statement) && q.next() ? q.value(0).toInt() : 0;
    };
    const QString imported = QStringLiteral(" t JOIN temp.syncMap m ON m.oldId = t.%1 AND "
                                            "m.importing = 1 LEFT JOIN temp.%2 x ON x.oldId = t.%3 "
                                            "WHERE x.oldId IS NULL");
    if (!copyIn(averagedResultInfo).isEmpty()) {
        if (const int n
            = count(QStringLiteral("SELECT count(*) FROM syncDb.") + averagedResultInfo
                    + imported.arg(QStringLiteral("averagedTestId"), QStringLiteral("syncMap"),
                                   QStringLiteral("testId"))))
            qWarning() << n
                       << "sources of averaged results are not in the file; their rows are dropped";
    }
    if (m_sourceColumns.value(spectrum).contains(QStringLiteral("filterposition"))) {
        if (const int n
            = count(QStringLiteral("SELECT count(*) FROM syncDb.") + spectrum
                    + imported.arg(QStringLiteral("testId"), QStringLiteral("syncFilterMap"),
                                   QStringLiteral("filterPosition"))))
            qWarning() << n << "spectra name a filter the file does not describe; they get none";
    }
    if (m_sourceColumns.value(regressionInfo).contains(QStringLiteral("historicaltestid"))) {
        if (const int n = count(QStringLiteral("SELECT count(*) FROM syncDb.") + regressionInfo
                                + imported.arg(QStringLiteral("testId"), QStringLiteral("syncMap"),
                                               QStringLiteral("historicalTestId"))
                                + QStringLiteral(" AND t.historicalTestId <> 0")))
            qInfo() << n << "historical tests are not in the file; their references become 0";
    }
}

bool MiniDatabase::bringImagesIn()
{
    const QString store = m_instrumentDataPath + QStringLiteral("images/");
    // Listed before they come: a kill before the commit leaves them named
    // by no row, and the next open removes them.
    QStringList names;
    for (const auto &picture : qAsConst(m_plannedImages))
        names << picture.second;
    if (!PictureSweep(store).list(names))
        return false;
    QSet<QString> folders;
    for (const auto &picture : qAsConst(m_plannedImages)) {
        if (aborted())
            return true; // seen by the caller
        const QString target = SqlText::storedImagePath(store, picture.second);
        const QString folder = QFileInfo(target).absolutePath();
        if (!QDir().mkpath(folder) || !ExchangeFiles::copyIntoStore(picture.first, target))
            return false;
        m_broughtImages << picture.second;
        folders.insert(folder);
    }
    // The files, and any day folder made for them, outlive a power cut once
    // the rows do.
    bool synced = true;
    for (const QString &folder : qAsConst(folders))
        synced = XrfUtils::syncFolder(folder)
                && XrfUtils::syncFolder(folder + QStringLiteral("/..")) && synced;
    return synced;
}

void MiniDatabase::removeBroughtImages()
{
    ResultDeleter::removeImageFiles(m_instrumentDataPath + QStringLiteral("images/"),
                                    m_broughtImages);
    m_broughtImages.clear();
}

XrfErrorInfo::XrfError MiniDatabase::mergeAttached(const QString &file, Counts *counts)
{
    QString why;
    if (!checkSource(&why)) {
        qWarning() << "Results cannot be imported from" << file << ":" << why;
        return XrfErrorInfo::FileOpenFailed;
    }
    if (!readSourceColumns()) {
        qWarning() << "Results cannot be imported from" << file << ": it holds no results table";
        return XrfErrorInfo::FileOpenFailed;
    }
    qInfo() << "Move the results from the sync database to the Main database.";
    // The merge's commit must survive a power cut, as a stored result's does.
    if (!SqlText::setSynchronous(m_db, SqlText::durableLevel(m_db)))
        return XrfErrorInfo::DbQueryFailed;
    if (!SqlText::beginWrite(m_db)) {
        qWarning() << "Cannot begin a transaction to import results:" << m_db.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }

    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    // After each statement: a failure ends the merge, and so does the abort flag.
    auto step = [&](bool ok) {
        if (rc == XrfErrorInfo::NoError && !ok)
            rc = XrfErrorInfo::DbQueryFailed;
        if (rc == XrfErrorInfo::NoError && aborted()) {
            qInfo() << "Aborting the sync operation at "
                    << "importResultsFromSqlDb";
            rc = XrfErrorInfo::OperationAborted;
        }
        return rc == XrfErrorInfo::NoError;
    };
    if (step(planTests(counts)) && (m_importing > 0 || m_anyTwin)
        && step(planImages(file, counts))) {
        if (m_importing > 0) {
            for (const QString &table : copiedTables()) {
                const QString statement = copyIn(table);
                if (!statement.isEmpty() && !step(exec(statement)))
                    break;
                // Spectra are copied with the receiver's filter ids.
                if (table == XrfTables::analysisResult && !step(mapFilters()))
                    break;
            }
            if (rc == XrfErrorInfo::NoError)
                warnAboutUnmappedRows();
        } else if (m_completing > 0) {
            step(exec(copyIn(XrfTables::imageResult)));
        }
        if (rc == XrfErrorInfo::NoError && !bringImagesIn())
            rc = XrfErrorInfo::FileAccessFailed;
        step(true);
    }
    XrfUtils::crashPoint("merge-before-commit");
    if (rc == XrfErrorInfo::NoError
        && (XrfUtils::faultPointArmed("merge-commit-fail") || !m_db.commit())) {
        qWarning() << "COMMIT of an import failed:" << m_db.lastError().text()
                   << "- nothing is imported";
        rc = XrfErrorInfo::DbQueryFailed;
    }
    if (rc != XrfErrorInfo::NoError) {
        if (rc == XrfErrorInfo::OperationAborted)
            qInfo() << "Sync operation has been aborted. Now rolling back.";
        m_db.rollback();
        removeBroughtImages();
        PictureSweep(m_instrumentDataPath + QStringLiteral("images/")).clear();
        counts->failed += m_importing;
        return rc;
    }
    PictureSweep(m_instrumentDataPath + QStringLiteral("images/")).clear();
    counts->stored = m_importing;
    qInfo() << "Imported" << counts->stored << "results from" << file << ", skipped"
            << counts->skipped << "already stored," << counts->failed << "failed";
    if (m_completing > 0)
        qInfo() << m_completing << "pictures were added to results stored before without them";
    if (counts->picturesMissing > 0)
        qWarning() << counts->picturesMissing << "pictures named in" << file
                   << "were not beside it; their results are stored without them";
    return XrfErrorInfo::NoError;
}
