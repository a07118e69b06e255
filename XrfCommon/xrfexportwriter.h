#ifndef XRFEXPORTWRITER_H
#define XRFEXPORTWRITER_H

// The base of the export converters (CSV, PDF, spectra files): a results
// file goes in, files named from one base path come out.
//
// The public begin / writeResult / finish calls keep the order and the
// bookkeeping (error code, last test id, abort, progress) and call the
// protected hooks of the format, the way an archive class keeps writeFile()
// apart from doWriteData(). Every output goes through openOutput(): it is
// written and synced under a hidden staging name and renamed to its final
// name only when finish() succeeds, so an aborted or failed conversion leaves
// nothing behind.
//
// Results file: one whole result per line, each the compact JSON of
// XrfKorviResult::toJsonObject(), so a converter holds one result at a time.

#include "xrfcommon_global.h"

#include <QJsonObject>
#include <QScopedPointer>
#include <QString>
#include <QStringList>

#include <functional>

#include "xrferrorinfo.h"

class QIODevice;
class XrfExportWriterPrivate;

class XRFCOMMON_EXPORT XrfExportWriter
{
public:
    using AbortCheck = std::function<bool()>;
    using Progress = std::function<void(int done, int total)>;

    XrfExportWriter();
    virtual ~XrfExportWriter();
    XrfExportWriter(const XrfExportWriter &) = delete;
    XrfExportWriter &operator=(const XrfExportWriter &) = delete;

    // Where the instrument keeps its data (images are under "images/"), the
    // application's root and the instrument's serial number.
    QString instrumentDataPath;
    QString applicationRoot;
    QString serialNumber;

    // Converts every line of the results file: begin(base), writeResult per
    // line, finish(). Stops within one result when `aborted` says so
    // (OperationAborted); false on any failure, with nothing written.
    bool convert(const QString &resultsFile, const QString &base,
                 const AbortCheck &aborted = AbortCheck(), const Progress &progress = Progress());

    bool begin(const QString &base);
    bool writeResult(const QJsonObject &result);
    bool finish();
    // Drops every output of this run.
    void cancel();

    QString base() const;
    XrfErrorInfo::XrfError errorCode() const;
    QString errorString() const;
    // The test id of the last result written; -1 before the first.
    int lastTestId() const;
    int resultsWritten() const;
    // The files that finish() put in place.
    QStringList files() const;

protected:
    virtual bool doBegin() = 0;
    virtual bool doWriteResult(const QJsonObject &result) = 0;
    virtual bool doFinish() = 0;

    // A new output file, written under a temporary name until finish(); null
    // (with the error set) when it cannot be opened.
    QIODevice *openOutput(const QString &path);
    // Ends an output early (a writer of many files keeps few open); it is
    // still put under its final name only by finish().
    bool closeOutput(QIODevice *output);
    // Writes all of `data` or sets FileCreateFailed.
    bool write(QIODevice *output, const QByteArray &data);
    bool setError(XrfErrorInfo::XrfError code, const QString &text);

private:
    QScopedPointer<XrfExportWriterPrivate> d;
};

#endif // XRFEXPORTWRITER_H
