#include "resultexporter.h"

#include <QAtomicInteger>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "resultreader.h"
#include "resultsfilter.h"
#include "xrfkorviresult.h"
#include "xrfutils.h"

namespace {
QAtomicInteger<quint32> s_exportCounter;
}

ResultExporter::ResultExporter(ResultReader &reader, ResultsFilter &filter, AbortCheck aborted,
                               Progress progress)
    : m_reader(reader), m_filter(filter), m_aborted(std::move(aborted)),
      m_progress(std::move(progress))
{
}

QString ResultExporter::nextFileStem()
{
    return QStringLiteral("results_%1").arg(s_exportCounter.fetchAndAddRelaxed(1));
}

XrfErrorInfo::XrfError ResultExporter::write(const QList<int> &ids, const QString &folder,
                                             bool arrayLayout, bool wholeResults,
                                             QJsonObject *summary)
{
    QDir().mkpath(folder);
    const QString stem = QDir(folder).filePath(nextFileStem());
    QFile filtered(stem + QStringLiteral(".json"));
    QFile whole(stem + QStringLiteral(".jsonl"));
    auto removeBoth = [&] {
        filtered.close();
        whole.close();
        filtered.remove();
        whole.remove();
    };
    if (!filtered.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || (wholeResults && !whole.open(QIODevice::WriteOnly | QIODevice::Truncate))) {
        qInfo() << "Failed to create json file for exports" << filtered.fileName();
        removeBoth();
        return XrfErrorInfo::FileCreateFailed;
    }
    qDebug() << "test id list is " << ids;

    bool ok = true;
    bool first = true;
    int exported = 0;
    int lastTestId = -1;
    bool averaged = false;
    QJsonArray images;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    for (int i = 0; i < ids.size() && ok; ++i) {
        if (m_progress)
            m_progress(i, ids.size());
        XrfKorviResult result;
        if (m_reader.read(ids.at(i), &result) != XrfErrorInfo::NoError) {
            qWarning() << "Export: test" << ids.at(i) << "cannot be read; it is left out";
        } else {
            // The result's JSON is made once, for both files.
            const QJsonObject full = result.toJsonObject();
            if (m_writeFiltered) {
                QByteArray out = arrayLayout ? (first ? "[\n" : ",\n") : QByteArray();
                out += QJsonDocument(m_filter.filterResultObject(full))
                                .toJson(QJsonDocument::Compact)
                        + '\n';
                ok = filtered.write(out) == out.size();
            }
            if (ok && wholeResults) {
                const QByteArray line = QJsonDocument(full).toJson(QJsonDocument::Compact) + '\n';
                ok = whole.write(line) == line.size();
            }
            first = false;
            ++exported;
            lastTestId = ids.at(i);
            averaged = averaged || result.analysis().testType() == QLatin1String("AVERAGED");
            for (const XrfImageInfo &image : result.images())
                images.append(QJsonObject { { QStringLiteral("fileName"), image.name() },
                                            { QStringLiteral("imageType"), image.type() } });
        }
        if (ok && m_aborted && m_aborted()) {
            qInfo() << "Aborting the exports operation in "
                    << "exportResults";
            rc = XrfErrorInfo::OperationAborted;
            break;
        }
    }
    if (ok && arrayLayout)
        ok = filtered.write(first ? "[\n]" : "\n]") > 0;
    ok = ok && filtered.flush() && (!wholeResults || whole.flush());
    if (!ok && rc == XrfErrorInfo::NoError) {
        qWarning() << "Export: cannot write" << filtered.fileName() << filtered.errorString()
                   << whole.errorString();
        rc = XrfErrorInfo::FileCreateFailed;
    }
    filtered.close();
    whole.close();
    if (rc == XrfErrorInfo::NoError
        && (filtered.error() != QFileDevice::NoError || whole.error() != QFileDevice::NoError))
        rc = XrfErrorInfo::FileCreateFailed;
    if (m_progress)
        m_progress(ids.size(), ids.size());
    if (rc != XrfErrorInfo::NoError) {
        removeBoth();
        return rc;
    }
    *summary = QJsonObject { { QStringLiteral("intermediateJsFile"), filtered.fileName() },
                             { QStringLiteral("exported"), exported },
                             { QStringLiteral("lastTestId"), lastTestId },
                             { QStringLiteral("averaged"), averaged },
                             { QStringLiteral("images"), images } };
    if (wholeResults)
        summary->insert(QStringLiteral("wholeResultsFile"), whole.fileName());
    return XrfErrorInfo::NoError;
}
