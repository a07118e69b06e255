#ifndef STREAMIMPORT_H
#define STREAMIMPORT_H

// Imports the results of a JSON object stream into the open database.
//
// Invariants: the whole import is one transaction (what makes it fast), and
// each result is written inside a savepoint of its own: a result that fails
// is rolled back whole, its images moved back and the ones brought in for
// it removed, and the import goes on. A result whose date-time text and name
// are already stored is skipped, so a file imported twice (or again after a
// kill, which loses the uncommitted transaction) stores every result once.
// References to other results (averaged sources, regression history) are
// turned into the receiver's test ids or dropped, never left pointing at the
// sender's ids. Imported results carry no current user. Plain and
// short-lived: built per import on the worker thread; no signals.

#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>

#include "work.h"
#include "xrferrorinfo.h"

class QIODevice;
class QJsonObject;
class XrfKorviResult;

class StreamImport
{
public:
    using AbortCheck = Work::AbortCheck;
    using Progress = Work::Progress;
    // The test id stored under this date-time text and name (-1: none);
    // false when the lookup itself failed.
    using StoredLookUp = std::function<bool(const QString &, const QString &, int *)>;

    struct Context
    {
        QString imageFolder;
        // The file beside which the pictures lie, when the stream read is a
        // copy of it; empty: beside the stream itself.
        QString carrierFile;
        AbortCheck aborted;
        Progress progress;
        StoredLookUp storedTestId;
    };
    struct Summary
    {
        int stored = 0;
        int skipped = 0; // already stored
        int failed = 0; // unreadable objects and results that could not be stored
        int picturesMissing = 0; // named by a result but not carried beside the file
        int picturesAdded = 0; // carried for results stored before without them
        bool wholeFileRead = false; // to its end, without an abort
    };

    StreamImport(const QSqlDatabase &db, Context context);

    // Reads every object of `device` (the file `inputFile`, beside which
    // the images lie) and stores its result. FileAccessFailed once the
    // whole file was read, OperationAborted after an abort, DbQueryFailed
    // when the transaction could not be begun or committed.
    XrfErrorInfo::XrfError run(QIODevice *device, const QString &inputFile, int numberOfResults,
                               Summary *summary);
    // run() over the file the instrument was handed, made durable at its
    // commit; the file is removed once every object in it was stored or
    // skipped, and kept otherwise.
    XrfErrorInfo::XrfError importFile(QIODevice *device, const QString &inputFile,
                                      int numberOfResults, Summary *summary);

private:
    enum Outcome { Stored, Skipped, Failed };
    Outcome importOne(const QJsonObject &object, const QString &inputFile);
    // The receiver's id of a result the sender knew as senderId, named by
    // date-time text and name (either may be missing); 0 when unknown.
    int receiverId(int senderId, const QString &testDateTime, const QString &tidName);
    void mapReferences(XrfKorviResult &result);
    bool isNamedByStoredResult(const QString &imageName);
    // Puts the carried pictures of the result into the store where the
    // writer takes them, at the places listed in *numbers (from 1); only
    // those at `places` when it is not empty. False when one could not be
    // copied.
    bool bringPicturesIn(XrfKorviResult &result, const QString &inputFile, const QSet<int> &places,
                         QList<int> *numbers, QStringList *broughtIn);
    // Adds the carried pictures that a stored twin of the result lacks.
    void completePictures(XrfKorviResult &result, int storedId, const QString &inputFile);
    bool savepoint(const char *statement);

    QSqlDatabase m_db;
    Context m_context;
    QHash<int, int> m_receiverIds; // sender's test id -> receiver's, of this stream
    QSet<QString> m_foldersToSync;
    int m_missingPictures = 0;
    int m_picturesAdded = 0;
};

#endif // STREAMIMPORT_H
