#ifndef MINIDATABASE_H
#define MINIDATABASE_H

// The mini database: a small SQLite file with the results schema that carries
// recent results to a PC (built by MiniDatabaseBuild) and brings results
// from one into the results database (merged here). Plain and short-lived:
// built per request on the worker thread over the open connection; no
// signals.
//
// Invariants:
// - A merge is one transaction: the receiver gets every importable result of
//   the file whole, or nothing. A result whose date-time text and name are
//   already stored is skipped, so a second merge of the same file stores
//   nothing. Image files brought into the store for a merge that does not
//   commit are removed again.
// - The file is data, never trusted: its path is bound, its objects are
//   checked before a row is read (no views, no triggers, no unknown tables),
//   its columns are named in every statement and image names that leave the
//   store are dropped with their rows.
// - References follow their results: test ids of averaged sources and
//   historical tests, and the filter ids of spectra, are mapped to the
//   receiver's.

#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>

#include "work.h"
#include "xrferrorinfo.h"

class MiniDatabase
{
public:
    using AbortCheck = Work::AbortCheck;

    // At most this many results (the first by date) go into one file.
    static constexpr int captureLimit = 500;

    struct Capture
    {
        int captured = 0;
        int found = 0;
        QString status; // "Complete", "Partial", or empty when refused before looking
    };
    struct Counts
    {
        int stored = 0;
        int skipped = 0; // already stored, or twice in the file
        int failed = 0; // not stored for any other reason
        int picturesMissing = 0; // named by a result but not carried beside the file
    };

    // instrumentDataPath ends in "/"; databaseFile is the open file.
    MiniDatabase(const QSqlDatabase &db, const QString &instrumentDataPath,
                 const QString &databaseFile, AbortCheck aborted);

    // The results of the file that are not stored yet, with their images.
    XrfErrorInfo::XrfError merge(const QString &file, Counts *counts);

    // The tables a result has rows in, in the order they are copied;
    // filterprops follows the spectra that use it, devinfo stays the
    // instrument's own.
    static QStringList copiedTables();

private:
    bool exec(const QString &statement);
    bool attach(const QString &file);
    void detach();
    bool aborted() const;

    bool checkSource(QString *why);
    bool readSourceColumns();
    bool planTests(Counts *counts);
    bool planImages(const QString &file, Counts *counts);
    bool mapFilters();
    QString copyIn(const QString &table) const;
    void warnAboutUnmappedRows();
    bool bringImagesIn();
    void removeBroughtImages();
    XrfErrorInfo::XrfError mergeAttached(const QString &file, Counts *counts);

    QSqlDatabase m_db;
    QString m_instrumentDataPath;
    QString m_databaseFile;
    AbortCheck m_aborted;
    // Per merge: the source's columns by table (lower case), the new ids and
    // the image files this merge put into the store.
    QHash<QString, QSet<QString>> m_sourceColumns;
    int m_importing = 0;
    bool m_anyTwin = false; // a result of the file is stored already
    int m_completing = 0; // pictures added to results stored before
    QList<QPair<QString, QString>> m_plannedImages; // carried file, stored name
    QStringList m_broughtImages;
};

#endif // MINIDATABASE_H
