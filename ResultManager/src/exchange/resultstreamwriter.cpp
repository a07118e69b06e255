#include "resultstreamwriter.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QStringList>

#include <cstdio>

#include "exchangefiles.h"
#include "requestarguments.h"
#include "resultqueries.h"
#include "resultreader.h"
#include "xrfanalysisresult.h"
#include "xrfutils.h"

ResultStreamWriter::ResultStreamWriter(ResultReader &reader, const QString &imageFolder,
                                       AbortCheck aborted)
    : m_reader(reader), m_imageFolder(imageFolder), m_aborted(std::move(aborted))
{
}

int ResultStreamWriter::captureLimit(quint32 limit)
{
    return limit >= 500 ? int(qMin<quint32>(limit, INT_MAX)) : 500;
}

XrfErrorInfo::XrfError ResultStreamWriter::collect(const Request &request, QList<int> *ids,
                                                   bool *paired)
{
    ResultQueries queries(m_reader.database());
    QStringList starts = request.from.split(QLatin1Char(','));
    QStringList ends = request.to.split(QLatin1Char(','));
    *paired = starts.size() == ends.size();
    if (!*paired) {
        qDebug() << "Date range is corrupt.";
        starts.clear();
        ends.clear();
    } else if (starts.size() == 1) {
        if (starts.first().trimmed().isEmpty())
            starts.first() = RequestArguments::openStart();
        if (ends.first().trimmed().isEmpty())
            ends.first() = RequestArguments::openEnd();
    }
    // Bounds are stored UTC texts; one that does not parse refuses the
    // request rather than matching nothing.
    QString found;
    for (int i = 0; i < starts.size(); ++i) {
        QDateTime from;
        QDateTime to;
        if (!RequestArguments::parseUtcDateTime(starts.at(i), &from)
            || !RequestArguments::parseUtcDateTime(ends.at(i), &to)) {
            qWarning() << "Not a range of date-times:" << starts.at(i) << ends.at(i);
            return XrfErrorInfo::InvalidArgument;
        }
        if (queries.testIdsBetweenDates(RequestArguments::storedText(from),
                                        RequestArguments::storedText(to), &found,
                                        starts.size() == 1 ? request.limit : 0)
            != XrfErrorInfo::NoError)
            return XrfErrorInfo::DbQueryFailed;
    }
    qDebug() << "tids are " << found;

    QList<int> listed;
    if (!RequestArguments::parseTestIds(request.tidList, &listed)) {
        qWarning() << "Not a list of test ids:" << request.tidList;
        return XrfErrorInfo::InvalidArgument;
    }
    QList<int> matched;
    RequestArguments::parseTestIds(found, &matched);
    // Listed ids are taken only when they name a stored result.
    for (int id : qAsConst(listed)) {
        bool exists = false;
        if (queries.testIdExists(id, &exists) != XrfErrorInfo::NoError)
            return XrfErrorInfo::DbQueryFailed;
        if (exists)
            matched << id;
        else
            qDebug() << "Test id" << id << "is not stored; it is passed over";
    }
    for (int id : qAsConst(matched))
        if (!ids->contains(id))
            ids->append(id);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultStreamWriter::run(const Request &request, Outcome *outcome)
{
    QList<int> ids;
    bool paired = true;
    const XrfErrorInfo::XrfError collected = collect(request, &ids, &paired);
    if (collected != XrfErrorInfo::NoError)
        return collected;
    if (!paired)
        outcome->status = QStringLiteral("InvalidStartAndEndTime");
    if (ids.isEmpty()) {
        qDebug() << "Current database is empty: " << request.outFile;
        return XrfErrorInfo::DatabaseEmpty;
    }
    int written = 0;
    const XrfErrorInfo::XrfError rc
            = write(ids, captureLimit(request.limit), request.outFile, &written);
    if (rc != XrfErrorInfo::NoError)
        return rc == XrfErrorInfo::FileOpenFailed && !paired ? XrfErrorInfo::InvalidArgument : rc;
    outcome->captured = written;
    outcome->found = ids.size();
    outcome->status = written < ids.size() ? QStringLiteral("Partial") : QStringLiteral("Complete");
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultStreamWriter::write(const QList<int> &ids, int capture,
                                                 const QString &outFile, int *written)
{
    const QString part = outFile + QStringLiteral(".part");
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "Cannot create the stream file" << part << ":" << file.errorString();
        return XrfErrorInfo::FileOpenFailed;
    }
    // One read transaction for the walk: the results are read as one state
    // of the file, and far quicker than one transaction each.
    QSqlDatabase db = m_reader.database();
    const bool reading = db.transaction();
    bool ok = true;
    for (int i = 0; i < ids.size() && *written < capture && ok; ++i) {
        XrfKorviResult result;
        if (m_reader.read(ids.at(i), &result) != XrfErrorInfo::NoError) {
            qWarning() << "Test id" << ids.at(i) << "cannot be read; it is not written";
        } else {
            QStringList images;
            for (const XrfImageInfo &image : result.images())
                images << image.name();
            // A stream whose pictures did not all arrive is not written.
            ok = ExchangeFiles::placeImages(images, m_imageFolder, outFile).isEmpty()
                    && file.write(
                               QJsonDocument(result.toJsonObject()).toJson(QJsonDocument::Compact))
                            >= 0;
            qDebug() << "Adding tid " << ids.at(i) << " to file";
            ++*written;
        }
        if (m_aborted && m_aborted()) {
            qInfo() << "The stream of results is aborted after" << *written << "results";
            break;
        }
    }
    if (reading)
        db.commit();
    ok = ok && file.flush();
    file.close();
    ok = ok && file.error() == QFileDevice::NoError && XrfUtils::syncFile(part);
    if (!ok
        || std::rename(QFile::encodeName(part).constData(), QFile::encodeName(outFile).constData())
                != 0) {
        qWarning() << "Cannot write the stream file" << outFile;
        QFile::remove(part);
        *written = 0;
        return XrfErrorInfo::FileCreateFailed;
    }
    XrfUtils::syncFolder(QFileInfo(outFile).absolutePath());
    return XrfErrorInfo::NoError;
}
