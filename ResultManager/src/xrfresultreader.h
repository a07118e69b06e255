#ifndef XRFRESULTREADER_H
#define XRFRESULTREADER_H

// Reads stored results on a read-only connection of its own, owned by the
// thread that made the reader: a host's threads (a viewer serving pages)
// read while the library's worker writes, and never wait for it or for its
// queue. Use one reader per thread; it must be destroyed on that thread.
//
// Every call answers from the file as it is committed at that moment; a
// result being stored is seen whole or not at all. A failure is said as a
// code (DbOpenFailed, DbQueryFailed), never as an empty answer.

#include "resultmanager_global.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include "xrferrorinfo.h"
#include "xrfkorviresult.h"

class XrfResultReaderPrivate;

class RESULTMANAGER_EXPORT XrfResultReader
{
public:
    // The results database file ("<data>/db/<serial>.sqlite"); its pictures
    // lie in "images/" beside its folder.
    explicit XrfResultReader(const QString &databaseFile);
    ~XrfResultReader();
    XrfResultReader(const XrfResultReader &) = delete;
    XrfResultReader &operator=(const XrfResultReader &) = delete;

    // Whether the file could be opened; why not.
    bool isOpen() const;
    QString errorString() const;

    // The whole result; ResultNotFound when no result has this id.
    XrfErrorInfo::XrfError result(int testId, XrfKorviResult *result);
    // As getCalendar answers: {"Calendar": [{year: [{month: [day...]}]}],
    // "numOfRecsInDb": n}, on local days.
    XrfErrorInfo::XrfError calendar(QJsonObject *calendar);
    // {"tid", "tidName", "dateTime" (stored UTC text)} of the tests from
    // `from` to `to` (each end inclusive or not), oldest first.
    XrfErrorInfo::XrfError tests(const QDateTime &from, bool fromIncluded, const QDateTime &to,
                                 bool toIncluded, QJsonArray *tests);
    // The `number` newest tests, newest first.
    XrfErrorInfo::XrfError latestTests(int number, QJsonArray *tests);
    // Tests whose name or any test info value holds `text` (any case),
    // newest first, at most `limit`.
    XrfErrorInfo::XrfError search(const QString &text, int limit, QJsonArray *tests);
    // The tests just before and after one in date-time order (0: none).
    XrfErrorInfo::XrfError neighbours(int testId, int *previous, int *next);
    // What a list shows of each test, in the order given: {"tid",
    // "dateTime", "tidName", "method", "grade", "elements": [{"element",
    // "concentration", "error"}...]} (elements in stored order).
    XrfErrorInfo::XrfError summaries(const QList<int> &testIds, QJsonArray *summaries);
    // The file of the result's picture at `index` (from 0), inside the
    // image store; ResultNotFound when the result or the picture is not
    // there.
    XrfErrorInfo::XrfError picturePath(int testId, int index, QString *path);
    // Whether a result with this id is stored.
    XrfErrorInfo::XrfError contains(int testId, bool *found);
    // The test id stored with this date-time text and name, or -1.
    XrfErrorInfo::XrfError storedTestId(const QString &testDateTime, const QString &tidName,
                                        int *testId);

private:
    XrfResultReaderPrivate *d;
};

#endif // XRFRESULTREADER_H
