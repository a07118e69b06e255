#ifndef DATABASEVACUUM_H
#define DATABASEVACUUM_H

// The incremental vacuum of a results file: its mode, its free pages, one
// slice, and the progress said in the log. The timer that repeats the slices
// belongs to the database object.

#include <QSqlDatabase>

class DatabaseVacuum
{
public:
    explicit DatabaseVacuum(const QSqlDatabase &db);

    // True when the file was made with auto_vacuum=INCREMENTAL.
    bool isIncremental();
    // The free pages, 0 when they cannot be counted.
    qint64 freePages();
    // Frees up to 10000 pages in one transaction; the milliseconds it took.
    qint64 runSlice();
    // One slice when there are free pages, with its report (`going`: the
    // slices were under way already); false when there is nothing (more)
    // to free.
    bool step(bool going);

    // The log says the progress about every tenth of the pages found free
    // when the slices began.
    static void startReport(qint64 freePages);
    static void reportSlice(qint64 freePages, qint64 elapsedMs);
    static void resetReport();

private:
    QSqlDatabase m_db;
};

#endif // DATABASEVACUUM_H
