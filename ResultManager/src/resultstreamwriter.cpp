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

bool ResultStreamWriter::collect(const Request &request, QList<int> *ids)
{
    ResultQueries queries(m_reader.database());
    const QString now = QDateTime::currentDateTimeUtc().toString(XrfAnalysisResult::dateTimeFormat);
    QString found;
    bool paired = true;
    if (!request.from.contains(QLatin1Char(',')) && !request.to.contains(QLatin1Char(','))) {
        QString to = request.to;
        if (to.isEmpty())
            to = now;
        const QString from
                = request.from.isEmpty() ? QStringLiteral("1970-01-01 00:00:00.000") : request.from;
        queries.testIdsBetweenDates(from, to, &found, request.limit);
    } else {
        const QStringList starts = request.from.split(QLatin1Char(','));
        const QStringList ends = request.to.split(QLatin1Char(','));
        paired = starts.size() == ends.size();
        if (!paired) {
            qDebug() << "Date range is corrupt.";
        } else {
            for (int i = 0; i < starts.size(); ++i)
                queries.testIdsBetweenDates(starts.at(i).trimmed(), ends.at(i).trimmed(), &found,
                                            0);
        }
    }
    qDebug() << "tids are " << found;

    QStringList items = found.split(QLatin1Char(','), Qt::SkipEmptyParts);
    // Listed ids are taken only when they name a stored result.
    for (const QString &item : request.tidList.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool number = false;
        const int id = item.trimmed().toInt(&number);
        bool exists = false;
        if (number && id > 0)
            queries.testIdExists(id, &exists);
        if (exists)
            items << QString::number(id);
        else
            qDebug() << "Test id" << item << "is not stored; it is passed over";
    }
    for (const QString &item : qAsConst(items)) {
        const int id = item.toInt();
        if (!ids->contains(id))
            ids->append(id);
    }
    return paired;
}

XrfErrorInfo::XrfError ResultStreamWriter::run(const Request &request, Outcome *outcome)
{
    QList<int> ids;
    const bool paired = collect(request, &ids);
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
            ExchangeFiles::linkImages(images, m_imageFolder, outFile);
            ok = file.write(QJsonDocument(result.toJsonObject()).toJson(QJsonDocument::Compact))
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
