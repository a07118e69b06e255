#ifndef RESULTEXPORTER_H
#define RESULTEXPORTER_H

// Writes stored results into the intermediate files of an export: the
// template's filtered JSON ("results_<n>.json", an array or one text per
// result) and, when a converter needs them, the whole results, one per line
// ("results_<n>.jsonl"), so that a converter holds one result at a time.
//
// Invariants: a result that cannot be read is skipped, never written empty;
// a failed write, a failed close or an abort removes both files, so nothing
// half-written is ever converted. The summary names what the converters and
// the completion need (last test id, averaged results, images), so nobody
// parses the files again for it.

#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

#include "work.h"
#include "xrferrorinfo.h"

class ResultReader;
class ResultsFilter;

class ResultExporter
{
public:
    using AbortCheck = Work::AbortCheck;
    using Progress = Work::Progress;

    ResultExporter(ResultReader &reader, ResultsFilter &filter, AbortCheck aborted,
                   Progress progress);

    // Writes the results of `ids` into `folder`. *summary gets
    // "intermediateJsFile", "wholeResultsFile" (with wholeResults),
    // "exported", "lastTestId", "averaged" and "images" ([{"fileName",
    // "imageType"}]).
    XrfErrorInfo::XrfError write(const QList<int> &ids, const QString &folder, bool arrayLayout,
                                 bool wholeResults, QJsonObject *summary);

    // Without a JSON output the filtered file stays empty: the converters
    // read the whole results.
    void setWriteFiltered(bool write) { m_writeFiltered = write; }

    // The next "results_<n>" of this process.
    static QString nextFileStem();

private:
    ResultReader &m_reader;
    ResultsFilter &m_filter;
    AbortCheck m_aborted;
    Progress m_progress;
    bool m_writeFiltered = true;
};

#endif // RESULTEXPORTER_H
