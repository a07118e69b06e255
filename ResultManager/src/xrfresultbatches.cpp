#include "xrfresultbatches.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include "readonlyconnection.h"
#include "requestarguments.h"
#include "resultschema.h"

class XrfResultBatchesPrivate
{
public:
    explicit XrfResultBatchesPrivate(const QString &databaseFile)
        : file(databaseFile), connection(databaseFile), db(connection.database())
    {
    }

    QString file;
    ReadOnlyConnection connection;
    QSqlDatabase db;
    QString error;
    XrfResultBatches::Device device;
    int count = 0;
    bool open = false;

    bool fail(const QSqlQuery &q)
    {
        error = QStringLiteral("cannot read %1: %2").arg(file, q.lastError().text());
        return false;
    }
    bool read(QSqlQuery &q, int columns, const XrfResultBatches::RowHandler &each)
    {
        while (q.next()) {
            XrfResultBatches::Row row(columns);
            for (int c = 0; c < columns; ++c)
                row[c] = q.value(c);
            if (!each(row))
                return true;
        }
        return !q.lastError().isValid() || fail(q);
    }
};

XrfResultBatches::XrfResultBatches(const QString &databaseFile)
    : d(new XrfResultBatchesPrivate(databaseFile))
{
    if (!d->connection.isOpen()) {
        d->error = d->connection.error();
        return;
    }
    QSqlQuery q(d->db);
    if (q.exec(QStringLiteral("SELECT dbId, dbVersion, devSerialNum, model, tubeAnode FROM ")
               + XrfTables::devInfo)
        && q.next())
        d->device = { q.value(0).toString(), q.value(1).toString(), q.value(2).toString().trimmed(),
                      q.value(3).toString().trimmed(), q.value(4).toString().trimmed() };
    // The file is named after the serial number the library was given.
    if (d->device.serial.isEmpty())
        d->device.serial = QFileInfo(databaseFile).completeBaseName();
    if (!q.exec(QStringLiteral("SELECT count(*) FROM ") + XrfTables::analysisResult) || !q.next()) {
        d->fail(q);
        return;
    }
    d->count = q.value(0).toInt();
    d->open = true;
}

XrfResultBatches::~XrfResultBatches()
{
    delete d;
}

bool XrfResultBatches::isOpen() const
{
    return d->open;
}

QString XrfResultBatches::errorString() const
{
    return d->error;
}

XrfResultBatches::Device XrfResultBatches::device() const
{
    return d->device;
}

int XrfResultBatches::resultCount() const
{
    return d->count;
}

bool XrfResultBatches::beginBatch(qint64 after, int size, Batch *batch)
{
    *batch = Batch();
    d->db.transaction();
    const ResultSchema::Table &analysis = ResultSchema::table(XrfTables::analysisResult);
    const int testId = analysis.indexOf("testId");
    QSqlQuery q(d->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE testId > ? ORDER BY testId LIMIT ?")
                      .arg(analysis.columnNames(), analysis.name));
    q.addBindValue(after);
    q.addBindValue(size);
    if (!q.exec())
        return d->fail(q);
    return d->read(q, analysis.columns.size(), [&](const Row &row) {
        batch->lastTestId = row.at(testId).toLongLong();
        batch->results << row;
        return true;
    });
}

bool XrfResultBatches::rows(const QString &table, const QList<qint64> &testIds,
                            const RowHandler &each)
{
    if (testIds.isEmpty())
        return true;
    const ResultSchema::Table &t = ResultSchema::table(table);
    QStringList ids;
    for (qint64 id : testIds)
        ids << QString::number(id);
    QSqlQuery q(d->db);
    q.setForwardOnly(true);
    // The ids are integers, written as such.
    if (!q.exec(QStringLiteral("SELECT %1 FROM %2 WHERE testId IN (%3)")
                        .arg(t.columnNames(), t.name, ids.join(QLatin1Char(',')))))
        return d->fail(q);
    return d->read(q, t.columns.size(), each);
}

void XrfResultBatches::endBatch()
{
    d->db.rollback();
}

bool XrfResultBatches::allRows(const QString &table, const RowHandler &each)
{
    const ResultSchema::Table &t = ResultSchema::table(table);
    QSqlQuery q(d->db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT %1 FROM %2").arg(t.columnNames(), t.name)))
        return d->fail(q);
    return d->read(q, t.columns.size(), each);
}

QDateTime XrfResultBatches::storedDateTime(const QString &text)
{
    QDateTime utc;
    return RequestArguments::parseUtcDateTime(text, &utc) ? utc : QDateTime();
}
