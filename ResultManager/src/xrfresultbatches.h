#ifndef XRFRESULTBATCHES_H
#define XRFRESULTBATCHES_H

// The stored results of a results database file in batches of test ids, for
// a host that carries them elsewhere whole (the push into a shared
// database): every row of every table of a result, as the schema description
// (resultschema.h) lists the tables and their columns.
//
// Invariants: the file is opened read-only on a connection of this object's
// own, owned by the thread that made it; a batch is read inside one read
// transaction (beginBatch() to endBatch()), so a result and all its rows
// are one state of the file. Rows come with their values in the order of
// their table's columns.

#include "resultmanager_global.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVector>

#include <functional>

class XrfResultBatchesPrivate;

class RESULTMANAGER_EXPORT XrfResultBatches
{
public:
    using Row = QVector<QVariant>;
    using RowHandler = std::function<bool(const Row &)>;

    struct Device
    {
        QString dbId;
        QString dbVersion;
        QString serial; // the file's name when the device row has none
        QString model;
        QString tubeAnode;
    };
    struct Batch
    {
        QVector<Row> results; // analysisresult rows, by test id
        qint64 lastTestId = 0;
    };

    explicit XrfResultBatches(const QString &databaseFile);
    ~XrfResultBatches();
    XrfResultBatches(const XrfResultBatches &) = delete;
    XrfResultBatches &operator=(const XrfResultBatches &) = delete;

    bool isOpen() const;
    // Why the file or the last read failed.
    QString errorString() const;
    Device device() const;
    int resultCount() const;

    // The next results after test id `after`, at most `size`, in a read
    // transaction that lasts until endBatch(); an empty batch at the end.
    bool beginBatch(qint64 after, int size, Batch *batch);
    // Every row of a table kept per result that belongs to these tests.
    bool rows(const QString &table, const QList<qint64> &testIds, const RowHandler &each);
    void endBatch();
    // Every row of a table not kept per result (the filters).
    bool allRows(const QString &table, const RowHandler &each);

    // A stored date-time text as UTC; invalid when it does not parse.
    static QDateTime storedDateTime(const QString &text);

private:
    XrfResultBatchesPrivate *d;
};

#endif // XRFRESULTBATCHES_H
