#ifndef EXPORTRUN_H
#define EXPORTRUN_H

// One export from the stored results to the answer that reports it: the
// template, the intermediate files (ResultExporter), the conversion
// (ExportConversion), the removal of the intermediate files, and the answer
// document with what the completion needs carried inside it.
//
// Plain and short-lived: built per export on the worker thread from what the
// database object knows (connection, filter, paths, device row); no signals.

#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

#include "work.h"
#include "xrferrorinfo.h"

class ResultReader;
class ResultsFilter;

class ExportRun
{
public:
    using AbortCheck = Work::AbortCheck;
    using Progress = Work::Progress;

    struct Context
    {
        QString profilePath;
        QString instrumentDataPath;
        // The device row's serial number, model and tube anode.
        QString serial;
        QString model;
        QString tubeAnode;
        // The instrument's serial for file names when no service knows one.
        QString nameSerial;
        bool fromPC = false;
        AbortCheck aborted;
        Progress progress;
    };

    // Where the intermediate files of an export are written, a folder of
    // their own (leftovers there go when the database opens).
    static QString stagingFolder(const QString &instrumentDataPath);
    // Removes the intermediate files an export cut off by a restart left.
    static void removeLeftovers(const QString &instrumentDataPath);

    ExportRun(ResultReader &reader, ResultsFilter &filter, Context context);

    // The template of `use`, then the intermediate files of `ids`.
    XrfErrorInfo::XrfError writeIntermediate(const QList<int> &ids, int use,
                                             const QJsonObject &exportSettings,
                                             QJsonObject *summary);
    // The request of one export, as run() takes it.
    static QJsonObject job(int commandId, int requestId, const QString &testIds,
                           const QString &dateList, int useSettings,
                           const QJsonObject &exportSettings, bool singleZip, bool automatic);

    // Exports what `job` selects (see job()), in test id order, and gives
    // the answer document.
    XrfErrorInfo::XrfError run(const QJsonObject &job, QJsonObject *answer);

private:
    ResultReader &m_reader;
    ResultsFilter &m_filter;
    Context m_context;
};

#endif // EXPORTRUN_H
