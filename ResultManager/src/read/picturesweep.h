#ifndef PICTURESWEEP_H
#define PICTURESWEEP_H

// Picture files that must go unless a row names them, listed durably before
// a change that may leave them named by no row: the pictures of results
// being deleted, and those an import brings into the store before its
// commit. A kill between the commit (or rollback) and the files' removal
// would otherwise leave them on the card for good.
//
// Invariants: a name is listed (written and synced) before the change that
// may orphan it; the list is settled when the database next opens, removing
// only listed files that no image row names, so a result that kept its rows
// keeps its pictures. The list is a file in the image store,
// ".pictures-to-remove", one stored name per line. Plain and short-lived,
// on the worker thread.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class PictureSweep
{
public:
    explicit PictureSweep(const QString &imageFolder);

    // Adds the names to the list; false when it could not be made durable
    // (the change must then not go ahead).
    bool list(const QStringList &names);
    // The change has settled and its files are dealt with.
    void clear();
    // Removes each listed file that no image row names, then the list.
    void settle(const QSqlDatabase &db);

private:
    QString m_imageFolder;
    QString m_listFile;
};

#endif // PICTURESWEEP_H
