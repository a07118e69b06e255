#include "xrfexportwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QVector>

#include <memory>

class XrfExportWriterPrivate
{
public:
    QString base;
    XrfErrorInfo::XrfError code = XrfErrorInfo::NoError;
    QString errorText;
    int lastTestId = -1;
    int written = 0;
    bool begun = false;
    // Each output is written to a hidden staging name beside its final one,
    // and renamed to the final name only when the whole run succeeds.
    struct Output
    {
        std::unique_ptr<QSaveFile> file; // null once closed early
        QString staged;
        QString final;
    };
    std::vector<Output> outputs;

    static QString stagedName(const QString &path)
    {
        const QFileInfo info(path);
        return info.dir().filePath(QStringLiteral(".%1.part").arg(info.fileName()));
    }
    QStringList files;
};

XrfExportWriter::XrfExportWriter() : d(new XrfExportWriterPrivate) { }

XrfExportWriter::~XrfExportWriter()
{
    cancel();
}

bool XrfExportWriter::convert(const QString &resultsFile, const QString &base,
                              const AbortCheck &aborted, const Progress &progress)
{
    // A run that fails before begin() must not report the last run's error.
    d->code = XrfErrorInfo::NoError;
    d->errorText.clear();
    QFile in(resultsFile);
    if (!in.open(QIODevice::ReadOnly))
        return setError(XrfErrorInfo::FileOpenFailed,
                        QStringLiteral("cannot open %1: %2").arg(resultsFile, in.errorString()));
    // Lines are counted first so that progress can say "i of n".
    int total = 0;
    while (!in.atEnd())
        total += in.readLine().trimmed().isEmpty() ? 0 : 1;
    in.seek(0);
    if (!begin(base))
        return false;
    int done = 0;
    while (!in.atEnd()) {
        const QByteArray line = in.readLine().trimmed();
        if (line.isEmpty())
            continue;
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &parseError);
        if (!doc.isObject()) {
            setError(XrfErrorInfo::FileAccessFailed,
                     QStringLiteral("%1: line %2 is not a result: %3")
                             .arg(resultsFile)
                             .arg(done + 1)
                             .arg(parseError.errorString()));
            cancel();
            return false;
        }
        if (!writeResult(doc.object())) {
            cancel();
            return false;
        }
        ++done;
        if (progress)
            progress(done, total);
        if (aborted && aborted()) {
            setError(XrfErrorInfo::OperationAborted, QStringLiteral("aborted"));
            cancel();
            return false;
        }
    }
    return finish();
}

bool XrfExportWriter::begin(const QString &base)
{
    cancel();
    d->base = base;
    d->code = XrfErrorInfo::NoError;
    d->errorText.clear();
    d->lastTestId = -1;
    d->written = 0;
    d->files.clear();
    d->begun = true;
    if (!doBegin()) {
        if (d->code == XrfErrorInfo::NoError)
            setError(XrfErrorInfo::FileCreateFailed, QStringLiteral("cannot begin"));
        cancel();
        return false;
    }
    return true;
}

bool XrfExportWriter::writeResult(const QJsonObject &result)
{
    if (!d->begun || d->code != XrfErrorInfo::NoError)
        return false;
    if (!doWriteResult(result)) {
        if (d->code == XrfErrorInfo::NoError)
            setError(XrfErrorInfo::FileCreateFailed, QStringLiteral("cannot write a result"));
        return false;
    }
    d->lastTestId = result.value(QStringLiteral("analysis"))
                            .toObject()
                            .value(QStringLiteral("testId"))
                            .toInt(-1);
    ++d->written;
    return true;
}

bool XrfExportWriter::finish()
{
    if (!d->begun || d->code != XrfErrorInfo::NoError || !doFinish()) {
        if (d->code == XrfErrorInfo::NoError)
            setError(XrfErrorInfo::FileCreateFailed, QStringLiteral("cannot finish"));
        cancel();
        return false;
    }
    for (auto &output : d->outputs) {
        if (output.file && !closeOutput(output.file.get())) {
            cancel();
            return false;
        }
    }
    QStringList committed;
    for (auto &output : d->outputs) {
        if (!QFile::remove(output.final) && QFileInfo::exists(output.final)) {
            setError(XrfErrorInfo::FileCreateFailed,
                     QStringLiteral("cannot replace %1").arg(output.final));
        } else if (!QFile::rename(output.staged, output.final)) {
            setError(XrfErrorInfo::FileCreateFailed,
                     QStringLiteral("cannot rename %1 to %2").arg(output.staged, output.final));
        }
        if (d->code != XrfErrorInfo::NoError) {
            // Those already in place are removed again: all or nothing.
            for (const QString &file : qAsConst(committed))
                QFile::remove(file);
            cancel();
            return false;
        }
        committed << output.final;
    }
    d->outputs.clear();
    d->files = committed;
    d->begun = false;
    return true;
}

void XrfExportWriter::cancel()
{
    for (auto &output : d->outputs) {
        if (output.file)
            output.file->cancelWriting();
        else
            QFile::remove(output.staged);
    }
    d->outputs.clear();
    d->begun = false;
}

QString XrfExportWriter::base() const
{
    return d->base;
}

XrfErrorInfo::XrfError XrfExportWriter::errorCode() const
{
    return d->code;
}

QString XrfExportWriter::errorString() const
{
    return d->errorText;
}

int XrfExportWriter::lastTestId() const
{
    return d->lastTestId;
}

int XrfExportWriter::resultsWritten() const
{
    return d->written;
}

QStringList XrfExportWriter::files() const
{
    return d->files;
}

QIODevice *XrfExportWriter::openOutput(const QString &path)
{
    XrfExportWriterPrivate::Output output;
    output.final = path;
    output.staged = XrfExportWriterPrivate::stagedName(path);
    output.file.reset(new QSaveFile(output.staged));
    if (!output.file->open(QIODevice::WriteOnly)) {
        setError(XrfErrorInfo::FileCreateFailed,
                 QStringLiteral("cannot create %1: %2").arg(path, output.file->errorString()));
        return nullptr;
    }
    d->outputs.push_back(std::move(output));
    return d->outputs.back().file.get();
}

bool XrfExportWriter::closeOutput(QIODevice *device)
{
    for (auto &output : d->outputs) {
        if (output.file.get() != device)
            continue;
        // Qt 5's commit() does not check its last flush: a full card would
        // leave a short file.
        if (!output.file->flush() || !output.file->commit())
            return setError(XrfErrorInfo::FileCreateFailed,
                            QStringLiteral("cannot write %1: %2")
                                    .arg(output.final, output.file->errorString()));
        output.file.reset();
        return true;
    }
    return setError(XrfErrorInfo::FileCreateFailed, QStringLiteral("not an output of this run"));
}

bool XrfExportWriter::write(QIODevice *output, const QByteArray &data)
{
    if (!output || output->write(data) != data.size())
        return setError(XrfErrorInfo::FileCreateFailed,
                        QStringLiteral("cannot write: %1")
                                .arg(output ? output->errorString() : QStringLiteral("no file")));
    return true;
}

bool XrfExportWriter::setError(XrfErrorInfo::XrfError code, const QString &text)
{
    if (d->code == XrfErrorInfo::NoError) {
        d->code = code;
        d->errorText = text;
    }
    return false;
}
