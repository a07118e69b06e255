#ifndef RESULTDELETER_H
#define RESULTDELETER_H

// Deletes whole stored results over one open connection: the rows of every
// per-test table and the image files they name; or makes the file new when
// a selection holds every stored test.
//
// Invariants: the rows of a selection go in one checked transaction, all or
// none. Image files are removed only after that commit, and only those that
// no remaining image row names, so a failed deletion leaves every result
// whole and a shared file stays with the result that still uses it. Day
// folders of the image store that end up empty go too. `filterprops` and
// `devinfo` are never touched.

#include <QList>
#include <QSqlDatabase>
#include <QStringList>

#include <functional>

#include "xrferrorinfo.h"

class ResultDeleter
{
public:
    ResultDeleter(const QSqlDatabase &db, const QString &imageFolder);

    // Deletes these tests (ids that are not stored are passed over).
    XrfErrorInfo::XrfError deleteTests(const QList<int> &ids);
    // Whether the selection holds every stored test (none stored outside it).
    XrfErrorInfo::XrfError selectsEverything(const QList<int> &ids, bool *everything);
    // Makes `file` new instead of deleting every row: its pictures listed
    // for removal, `close` closes it, the old file is set aside, `open(true)`
    // opens the new one; when that fails the old file is put back and
    // opened with `open(false)`.
    XrfErrorInfo::XrfError eraseFile(const QString &file, const std::function<void()> &close,
                                     const std::function<XrfErrorInfo::XrfError(bool)> &open);

    // The image names that the image rows of these tests hold (all tests
    // for an empty list).
    XrfErrorInfo::XrfError imageNames(const QList<int> &ids, QStringList *names);
    // Removes the named files from the image store, then the day folders
    // they leave empty. Names leading out of the store are passed over.
    static void removeImageFiles(const QString &imageFolder, const QStringList &names);

    // The tables a test has rows in, in the order they are cleared.
    static const QStringList &perTestTables();

private:
    QSqlDatabase m_db;
    QString m_imageFolder;
};

#endif // RESULTDELETER_H
