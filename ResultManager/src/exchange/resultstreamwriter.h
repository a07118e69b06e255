#ifndef RESULTSTREAMWRITER_H
#define RESULTSTREAMWRITER_H

// Writes stored results as a JSON object stream: each whole result in the
// compact form of XrfKorviResult::toJsonObject, one after another, UTF-8,
// with links to its images beside the output.
//
// Invariants: the stream is written aside ("<file>.part"), synced and only
// then renamed to its name, so a cut never leaves half a stream under the
// final name; an abort still ends in a well-formed file of the results
// written. An id that no longer names a stored result is passed over, never
// written as an empty result. Plain and short-lived: built per request on
// the worker thread; no signals.

#include <QList>
#include <QString>

#include <functional>

#include "work.h"
#include "xrferrorinfo.h"

class ResultReader;

class ResultStreamWriter
{
public:
    using AbortCheck = Work::AbortCheck;

    struct Request
    {
        QString from; // comma-separated starts, paired with...
        QString to; // ...as many ends (UTC)
        QString tidList; // test ids added after those of the dates
        QString outFile;
        quint32 limit = 0;
    };
    struct Outcome
    {
        int captured = 0; // results written
        int found = 0; // results that matched
        QString status; // "Complete", "Partial" or "InvalidStartAndEndTime"
    };

    ResultStreamWriter(ResultReader &reader, const QString &imageFolder, AbortCheck aborted);

    // Most results a stream takes: 500, or the caller's limit above that.
    static int captureLimit(quint32 limit);

    XrfErrorInfo::XrfError run(const Request &request, Outcome *outcome);

private:
    // The ids of the request in order, each once; *paired false when the
    // date lists do not pair up (then only listed ids are taken).
    // InvalidArgument for a bound or id that does not parse.
    XrfErrorInfo::XrfError collect(const Request &request, QList<int> *ids, bool *paired);
    XrfErrorInfo::XrfError write(const QList<int> &ids, int capture, const QString &outFile,
                                 int *written);

    ResultReader &m_reader;
    QString m_imageFolder;
    AbortCheck m_aborted;
};

#endif // RESULTSTREAMWRITER_H
