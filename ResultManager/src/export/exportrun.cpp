#include "exportrun.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStringList>

#include "exportconversion.h"
#include "resultexporter.h"
#include "resultqueries.h"
#include "resultreader.h"
#include "resultsfilter.h"
#include "xrfexportretstate.h"
#include "xrftestsselected.h"

QString ExportRun::stagingFolder(const QString &instrumentDataPath)
{
    return instrumentDataPath + QStringLiteral("export-staging/");
}

void ExportRun::removeLeftovers(const QString &instrumentDataPath)
{
    // Their folder holds nothing else: the user's own exports lie elsewhere.
    QDir staging(stagingFolder(instrumentDataPath));
    for (const QString &name :
         staging.entryList({ QStringLiteral("results_*.json"), QStringLiteral("results_*.jsonl") },
                           QDir::Files))
        staging.remove(name);
    QDir().rmdir(staging.absolutePath());
}

ExportRun::ExportRun(ResultReader &reader, ResultsFilter &filter, Context context)
    : m_reader(reader), m_filter(filter), m_context(std::move(context))
{
}

XrfErrorInfo::XrfError ExportRun::writeIntermediate(const QList<int> &ids, int use,
                                                    const QJsonObject &exportSettings,
                                                    QJsonObject *summary)
{
    const XrfErrorInfo::XrfError loaded = use == XrfTestsSelected::UseExportSettings
            ? m_filter.readExportTemplate(m_context.profilePath, exportSettings)
            : m_filter.readPrintTemplate(m_context.profilePath);
    if (loaded != XrfErrorInfo::NoError) {
        qInfo() << "In "
                << "exportResults"
                << " failed to export results.";
        return loaded;
    }
    m_filter.setDeviceInfo(m_context.serial, m_context.model, m_context.tubeAnode);

    const QStringList types
            = ResultsFilter::fileTypes(exportSettings.value(QStringLiteral("export"))
                                               .toObject()
                                               .value(QStringLiteral("fileType"))
                                               .toString());
    const bool converted = types.contains(QStringLiteral("csv"))
            || types.contains(QStringLiteral("pdf")) || types.contains(QStringLiteral("msa"));
    ResultExporter exporter(m_reader, m_filter, m_context.aborted, m_context.progress);
    exporter.setWriteFiltered(types.contains(QStringLiteral("json")) || !converted);
    return exporter.write(ids, stagingFolder(m_context.instrumentDataPath),
                          types.contains(QStringLiteral("json")) && ids.size() != 1, converted,
                          summary);
}

QJsonObject ExportRun::job(int commandId, int requestId, const QString &testIds,
                           const QString &dateList, int useSettings,
                           const QJsonObject &exportSettings, bool singleZip, bool automatic)
{
    return QJsonObject { { QStringLiteral("commandId"), commandId },
                         { QStringLiteral("requestId"), requestId },
                         { QStringLiteral("testIds"), testIds },
                         { QStringLiteral("dateList"), dateList },
                         { QStringLiteral("useSettings"), useSettings },
                         { QStringLiteral("exportSettings"), exportSettings },
                         { QStringLiteral("singleZip"), singleZip && !automatic },
                         { QStringLiteral("automatic"), automatic } };
}

XrfErrorInfo::XrfError ExportRun::run(const QJsonObject &job, QJsonObject *answer)
{
    QList<int> ids;
    const XrfErrorInfo::XrfError selection
            = ResultQueries(m_reader.database())
                      .selectTests(job.value(QStringLiteral("dateList")).toString(),
                                   job.value(QStringLiteral("testIds")).toString(), &ids)
            ? XrfErrorInfo::NoError
            : XrfErrorInfo::InvalidArgument;
    std::sort(ids.begin(), ids.end());

    const bool automatic = job.value(QStringLiteral("automatic")).toBool();
    const QJsonObject settings = job.value(QStringLiteral("exportSettings")).toObject();
    const bool singleZip = job.value(QStringLiteral("singleZip")).toBool();

    XrfErrorInfo::XrfError rc = selection;
    QJsonObject summary;
    QJsonObject completion;
    XrfErrorInfo::XrfError conversion = XrfErrorInfo::NoError;
    bool convertedAny = false;
    if (rc == XrfErrorInfo::NoError && !ids.isEmpty()) {
        rc = writeIntermediate(ids, job.value(QStringLiteral("useSettings")).toInt(), settings,
                               &summary);
        if (rc == XrfErrorInfo::NoError && summary.value(QStringLiteral("exported")).toInt() == 0)
            rc = XrfErrorInfo::ResultNotFound;
        if (rc == XrfErrorInfo::NoError) {
            ExportConversion converter(settings, singleZip, m_context.fromPC, m_context.aborted,
                                       m_context.progress);
            converter.setDeviceSerial(m_context.nameSerial);
            converter.setInstrumentDataPath(m_context.instrumentDataPath);
            conversion = converter.run(summary, &completion);
            convertedAny = true;
        }
        // Converted or not, the intermediate files have served.
        QFile::remove(summary.value(QStringLiteral("intermediateJsFile")).toString());
        QFile::remove(summary.value(QStringLiteral("wholeResultsFile")).toString());
        // An empty folder of the library's own is no part of the user's data.
        QDir().rmdir(stagingFolder(m_context.instrumentDataPath));
    } else if (rc == XrfErrorInfo::NoError && automatic) {
        rc = XrfErrorInfo::ResultNotFound;
    }
    if (rc == XrfErrorInfo::NoError)
        rc = conversion;

    XrfExportRetState state;
    state.setExportStatus(QStringLiteral("Complete"));
    state.setIntermediateJsFile(summary.value(QStringLiteral("intermediateJsFile")).toString());
    state.setNumberOfResults(ids.size());
    state.setExportFromPC(m_context.fromPC);
    *answer = state.toJsonObject();
    for (auto it = completion.constBegin(); it != completion.constEnd(); ++it)
        answer->insert(it.key(), it.value());
    if (!answer->contains(QStringLiteral("outputFile")))
        answer->insert(QStringLiteral("outputFile"), QString());
    // What the completion needs, carried by the answer itself: another
    // export in flight never lends it its settings.
    answer->insert(
            QStringLiteral("exportAnswer"),
            QJsonObject { { QStringLiteral("automatic"), automatic },
                          { QStringLiteral("singleZip"), singleZip },
                          { QStringLiteral("converted"), convertedAny || automatic },
                          { QStringLiteral("lastTestId"),
                            automatic ? job.value(QStringLiteral("testIds")).toString().toInt()
                                      : summary.value(QStringLiteral("lastTestId")).toInt(-1) },
                          { QStringLiteral("averaged"),
                            summary.value(QStringLiteral("averaged")).toBool() } });
    return rc;
}
