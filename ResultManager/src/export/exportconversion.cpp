#include "exportconversion.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStorageInfo>

#ifdef Q_OS_UNIX
#    include <cerrno>
#    include <csignal>
#endif

#include "exchangefiles.h"
#include "js2csv.h"
#include "js2msa.h"
#include "js2pdf.h"
#include "resultsfilter.h"
#include "sqltext.h"
#include "xrfhardwaremanager.h"
#include "xrfmethoddisplaysettings.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"
#include "xrfutils.h"

namespace {

const char *const outputSuffixes[] = { ".json", ".csv", ".pdf", ".msa", "-images" };

// Keeps the first failure.
void keepFirst(XrfErrorInfo::XrfError *code, XrfErrorInfo::XrfError next)
{
    if (*code == XrfErrorInfo::NoError)
        *code = next;
}

// The name of another output of a base: "chemistry-..." becomes
// "beamspectra-..." or "export-...".
QString outputOf(const QString &base, const QString &kind, const QString &suffix)
{
    const QFileInfo info(base);
    return info.dir().filePath(info.fileName().replace(QStringLiteral("chemistry"), kind) + suffix);
}

// Everything a run of this base may have written in its folder.
void removeOutputsOf(const QString &base)
{
    for (const char *suffix : outputSuffixes)
        QFile::remove(base + QLatin1String(suffix));
    QDir(base + QStringLiteral("-images")).removeRecursively();
    QFile::remove(outputOf(base, QStringLiteral("beamspectra"), QStringLiteral(".csv")));
    const QFileInfo info(base);
    for (const QString &msa :
         info.dir().entryList({ info.fileName() + QStringLiteral("-*.msa") }, QDir::Files))
        info.dir().remove(msa);
}

const QString markerSuffix = QStringLiteral(".exporting");

bool processRuns(qint64 pid)
{
#ifdef Q_OS_UNIX
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#else
    Q_UNUSED(pid)
    return false;
#endif
}

// An export killed before its renames leaves its hidden staging files (a
// zip run inside its time-stamp folder), and one killed between its renames
// leaves some formats of a base, or a time-stamp folder without its zip,
// that look finished: its marker names them. The next export to the same
// place removes both, and a time-stamp folder once it is empty.
void removeCutOffExports(const QString &folder)
{
    static const QRegularExpression staged(
            QStringLiteral("^\\..+\\.(part|zip\\.\\w{6})(\\.\\w{6})?$"));
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}(-\\d\\d){5}(\\(\\d+\\))?$"));
    QDir root(folder);
    bool running = false;
    for (const QString &marker :
         root.entryList({ QStringLiteral(".*") + markerSuffix }, QDir::Files | QDir::Hidden)) {
        QFile file(root.filePath(marker));
        const QJsonObject run = file.open(QIODevice::ReadOnly)
                ? QJsonDocument::fromJson(file.readAll()).object()
                : QJsonObject();
        file.close();
        // Names from the marker are file names in this folder, never paths.
        const QString base = QFileInfo(run.value(QStringLiteral("base")).toString()).fileName();
        const QString stampFolder
                = QFileInfo(run.value(QStringLiteral("folder")).toString()).fileName();
        // Another process exporting here now (a second host on the card).
        const qint64 pid = run.value(QStringLiteral("pid")).toVariant().toLongLong();
        if (pid > 0 && pid != QCoreApplication::applicationPid() && processRuns(pid)) {
            running = true;
            continue;
        }
        if (!stampFolder.isEmpty() && stamp.match(stampFolder).hasMatch()) {
            qInfo() << "Removing" << root.filePath(stampFolder) << "left by a cut-off export";
            QDir(root.filePath(stampFolder)).removeRecursively();
        } else if (base.startsWith(QLatin1String("chemistry-"))) {
            qInfo() << "Removing the outputs of" << root.filePath(base)
                    << "left by a cut-off export";
            removeOutputsOf(root.filePath(base));
        }
        root.remove(marker);
    }
    // Its staging files are not leftovers.
    if (running)
        return;
    QStringList folders { folder };
    for (const QString &sub : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (stamp.match(sub).hasMatch())
            folders << root.filePath(sub);
    for (const QString &path : qAsConst(folders)) {
        QDir dir(path);
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden)) {
            if (!staged.match(name).hasMatch())
                continue;
            qInfo() << "Removing" << dir.filePath(name) << "left by a cut-off export";
            dir.remove(name);
        }
        if (path != folder)
            QDir().rmdir(path); // only an empty one goes
    }
}

// Marks one run's outputs in progress until the run has ended, whatever
// its outcome: a run cut off by a kill or a power cut is found by it.
class RunMarker
{
public:
    RunMarker(const QString &folder, const QString &base, const QString &stampFolder)
        : m_path(
                QDir(folder).filePath(QLatin1Char('.') + QFileInfo(base).fileName() + markerSuffix))
    {
        QSaveFile file(m_path);
        const QByteArray text
                = QJsonDocument(
                          QJsonObject {
                                  { QStringLiteral("base"), QFileInfo(base).fileName() },
                                  { QStringLiteral("folder"), stampFolder },
                                  { QStringLiteral("pid"), QCoreApplication::applicationPid() } })
                          .toJson(QJsonDocument::Compact);
        m_made = file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush()
                && file.commit();
        if (m_made)
            XrfUtils::syncFolder(folder);
        else
            qWarning() << "Cannot mark the export in progress at" << m_path;
    }
    ~RunMarker()
    {
        if (m_made)
            QFile::remove(m_path);
    }
    bool made() const { return m_made; }

private:
    QString m_path;
    bool m_made = false;
};

} // namespace

ExportConversion::ExportConversion(const QJsonObject &exportSettings, bool singleZip, bool fromPC,
                                   AbortCheck aborted, Progress progress)
    : m_settings(exportSettings),
      m_export(exportSettings.value(QStringLiteral("export")).toObject()), m_singleZip(singleZip),
      m_fromPC(fromPC), m_aborted(std::move(aborted)), m_progress(std::move(progress))
{
}

QString ExportConversion::safeName(const QString &text)
{
    QString name = XrfUtils::safeFileNamePart(text, 120);
    // A name of dots alone would name the folder or its parent.
    if (name.isEmpty() || name.count(QLatin1Char('.')) == name.size())
        name.replace(QLatin1Char('.'), QLatin1Char('_'));
    return name;
}

QString ExportConversion::freeBase(const QString &folder, const QString &name,
                                   const QString &zipFolder)
{
    const QDir dir(folder);
    for (int n = 1;; ++n) {
        const QString candidate = n == 1 ? name : QStringLiteral("%1(%2)").arg(name).arg(n);
        bool taken = false;
        for (const char *suffix : outputSuffixes)
            taken = taken || QFileInfo::exists(dir.filePath(candidate + QLatin1String(suffix)));
        // The MSA files are named after the base, one per exposure.
        taken = taken
                || !dir.entryList({ candidate + QStringLiteral("-*.msa") }, QDir::Files).isEmpty();
        taken = taken
                || QFileInfo::exists(outputOf(dir.filePath(candidate),
                                              QStringLiteral("beamspectra"),
                                              QStringLiteral(".csv")));
        if (!zipFolder.isEmpty())
            taken = taken
                    || QFileInfo::exists(outputOf(QDir(zipFolder).filePath(candidate),
                                                  QStringLiteral("export"),
                                                  QStringLiteral(".zip")));
        if (!taken)
            return dir.filePath(candidate);
        qDebug() << "Tried to write" << dir.filePath(candidate) << "but it already exists";
    }
}

XrfErrorInfo::XrfError ExportConversion::exportFolder(QString *folder, bool *shared) const
{
    const QString location = m_export.value(QStringLiteral("selectedLocation")).toString();
    XrfPlatform::ExportLocations number = XrfPlatform::DefaultFolder;
    if (!m_fromPC && location == QLatin1String("USB Memory"))
        number = XrfPlatform::UsbMemory;
    else if (!m_fromPC && location == QLatin1String("Network Folder"))
        number = XrfPlatform::NetworkFolder;
    XrfPlatform::instance()->exportsFolderPath(number, *folder);
    // Without a default folder of its own the card's "exports" folder serves.
    if (folder->isEmpty() && number == XrfPlatform::DefaultFolder && !m_dataPath.isEmpty())
        *folder = QDir(m_dataPath).filePath(QStringLiteral("exports"));
    if (folder->isEmpty())
        return XrfErrorInfo::FileCreateFailed;
    *shared = number == XrfPlatform::NetworkFolder;
    if (number != XrfPlatform::DefaultFolder) {
        // An unmounted medium leaves its mount point on the root file
        // system: what were written there would fill the instrument.
        QString existing = QFileInfo(*folder).absoluteFilePath();
        while (!QFileInfo::exists(existing) && existing != QLatin1String("/"))
            existing = QFileInfo(existing).absolutePath();
        if (QStorageInfo(existing).isRoot() && !XrfUtils::faultPointArmed("media-mounted")) {
            qWarning() << "Export location" << location << "at" << *folder << "is not mounted";
            return XrfErrorInfo::FileCreateFailed;
        }
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ExportConversion::run(const QJsonObject &summary, QJsonObject *completion)
{
    completion->insert(QStringLiteral("outputFile"), QString());
    const QStringList types
            = ResultsFilter::fileTypes(m_export.value(QStringLiteral("fileType")).toString());
    if (types.isEmpty())
        return XrfErrorInfo::InvalidArgument;

    const QString templateName = m_export.value(QStringLiteral("selectedTemplate")).toString();
    QJsonObject templates;
    const XrfErrorInfo::XrfError found
            = XrfMethodManager::instance()->getExportTemplate(templateName, &templates);
    if (found != XrfErrorInfo::NoError)
        return found;
    const QJsonObject exportTemplate = templates.value(templateName).toObject();
    if (exportTemplate.isEmpty())
        return XrfErrorInfo::TemplateNotFound;

    QString folder;
    bool shared = false;
    XrfErrorInfo::XrfError rc = exportFolder(&folder, &shared);
    if (rc != XrfErrorInfo::NoError)
        return rc;
    // Another instrument may be exporting into a network folder right now.
    if (!shared)
        removeCutOffExports(folder);
    const QString place = folder;
    QDateTime now = m_time.isValid() ? m_time : QDateTime::currentDateTime();
    if (XrfUtils::faultPointArmed("fixed-export-time")) // two exports in one second
        now = QDateTime(QDate(2026, 3, 5), QTime(14, 7, 9));
    const QString stamp = now.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
    if (m_singleZip) {
        // A folder of its own, which the zip then replaces.
        QString made = QDir(folder).filePath(stamp);
        for (int n = 2; QFileInfo::exists(made); ++n)
            made = QDir(folder).filePath(QStringLiteral("%1(%2)").arg(stamp).arg(n));
        folder = made;
    }
    if (!QDir().mkpath(folder)) {
        qWarning() << "Cannot make the export folder" << folder;
        return XrfErrorInfo::FileCreateFailed;
    }

    QString serial = XrfHardwareManager::instance()->hardwareConfiguration().insSerialNumber();
    if (serial.isEmpty())
        serial = XrfPlatform::instance()->instrumentSerialNumber();
    if (serial.isEmpty())
        serial = m_deviceSerial;
    const QJsonObject fileName = m_export.value(QStringLiteral("fileName")).toObject();
    const QString who = fileName.value(QStringLiteral("custom")).toBool(false)
            ? fileName.value(QStringLiteral("customFileName")).toString()
            : serial;
    // The zip of a single-zip export lands beside its time-stamp folder: its
    // name must be free there too.
    QString base = freeBase(folder, QStringLiteral("chemistry-%1-%2").arg(safeName(who), stamp),
                            m_singleZip ? place : QString());
    const RunMarker marker(place, base, m_singleZip ? QFileInfo(folder).fileName() : QString());
    if (!marker.made())
        return XrfErrorInfo::FileCreateFailed;

    const QString wholeResults = summary.value(QStringLiteral("wholeResultsFile")).toString();
    QString dataPath = m_dataPath;
    if (!dataPath.isEmpty() && !dataPath.endsWith(QLatin1Char('/')))
        dataPath += QLatin1Char('/');
    const QString appRoot
            = QDir(QCoreApplication::applicationDirPath()).absolutePath() + QStringLiteral("/..");
    // The current method's: they may say how the results of other methods are shown.
    const MethodDisplaySettings display = MethodDisplaySettings::fromJsonObject(
            XrfMethodManager::instance()->getDisplaySettings());
    QStringList files;
    auto prepare = [&](XrfExportWriter &writer) {
        writer.instrumentDataPath = dataPath;
        writer.applicationRoot = appRoot;
        writer.serialNumber = serial;
    };
    auto finished = [&](XrfExportWriter &writer, bool ok) {
        if (!ok)
            qWarning() << "Export conversion failed:" << writer.errorString();
        keepFirst(&rc, ok ? XrfErrorInfo::NoError : writer.errorCode());
        files << writer.files();
    };

    if (types.contains(QStringLiteral("json")))
        keepFirst(&rc, writeJson(summary, base, &files));
    if (rc == XrfErrorInfo::NoError && types.contains(QStringLiteral("csv"))) {
        Js2Csv csv;
        prepare(csv);
        csv.setExportsInfo(folder, base, &m_settings, exportTemplate);
        csv.setDisplaySettings(display);
        finished(csv, csv.performCsvExport(wholeResults, m_aborted, m_progress));
    }
    if (rc == XrfErrorInfo::NoError && types.contains(QStringLiteral("msa"))) {
        Js2Msa msa;
        prepare(msa);
        finished(msa, msa.convert(wholeResults, base, m_aborted, m_progress));
    }
    XrfUtils::crashPoint("export-between-formats");
    if (rc == XrfErrorInfo::NoError && types.contains(QStringLiteral("pdf"))) {
        QJsonObject layout { { QStringLiteral("templateName"),
                               m_export.value(QStringLiteral("selectedPdfLayout")) } };
        XrfMethodManager::instance()->getPDFTemplate(&layout);
        QJsonObject print;
        XrfMethodManager::instance()->getPrintSettings(&print);
        Js2Pdf pdf;
        prepare(pdf);
        pdf.setExportSettings(m_settings);
        pdf.setTemplate(layout.value(m_export.value(QStringLiteral("selectedPdfLayout")).toString())
                                .toObject());
        pdf.setFormatSettings(print);
        pdf.setDisplaySettings(display);
        QString pdfBase = base;
        const bool ok = pdf.startJson2Pdf(wholeResults, &pdfBase, m_aborted, m_progress);
        finished(pdf, ok);
        // A run that says it made a report that is not there failed.
        if (ok && !QFileInfo::exists(pdfBase + QStringLiteral(".pdf"))) {
            qWarning() << "The PDF" << pdfBase + QStringLiteral(".pdf") << "is missing";
            keepFirst(&rc, XrfErrorInfo::FileCreateFailed);
        }
    }
    if (rc != XrfErrorInfo::NoError) {
        // Nothing half-made stays behind.
        for (const QString &file : qAsConst(files))
            QFile::remove(file);
        removeOutputsOf(base);
        if (m_singleZip)
            QDir(folder).rmdir(QStringLiteral("."));
        return rc;
    }

    completion->insert(QStringLiteral("files"), QJsonArray::fromStringList(files));
    completion->insert(QStringLiteral("outputFile"), files.value(0));
    if (m_singleZip) {
        XrfUtils::crashPoint("export-before-zip");
        return zip(folder, base,
                   types.contains(QStringLiteral("pdf")) && !types.contains(QStringLiteral("json")),
                   completion);
    }

    const QString spectra = outputOf(base, QStringLiteral("beamspectra"), QStringLiteral(".csv"));
    if (QFileInfo::exists(spectra))
        completion->insert(QStringLiteral("spectraFile"), spectra);
    const QDir images(base + QStringLiteral("-images"));
    if (images.exists()) {
        QJsonArray paths;
        for (const QFileInfo &image : images.entryInfoList(QDir::Files))
            paths.append(image.absoluteFilePath());
        completion->insert(QStringLiteral("imageFolder"), images.absolutePath());
        completion->insert(QStringLiteral("images"), paths);
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ExportConversion::writeJson(const QJsonObject &summary, const QString &base,
                                                   QStringList *files)
{
    const QString target = base + QStringLiteral(".json");
    QFile in(summary.value(QStringLiteral("intermediateJsFile")).toString());
    QSaveFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) {
        qWarning() << "Failed to copy" << in.fileName() << "to" << target;
        return XrfErrorInfo::FileCreateFailed;
    }
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 16);
        if (out.write(chunk) != chunk.size())
            break;
    }
    if (!in.atEnd() || !out.flush() || !out.commit()) {
        qWarning() << "Failed to copy" << in.fileName() << "to" << target << out.errorString();
        out.cancelWriting();
        return XrfErrorInfo::FileCreateFailed;
    }
    files->append(target);
    return copyImages(summary, base);
}

XrfErrorInfo::XrfError ExportConversion::copyImages(const QJsonObject &summary, const QString &base)
{
    const QJsonObject override = m_export.value(QStringLiteral("templateOverride")).toObject();
    const bool inlineImage = override.value(QStringLiteral("inlineImage")).toBool(false);
    const bool macroImage = override.value(QStringLiteral("macroImage")).toBool(false);
    if (!inlineImage && !macroImage)
        return XrfErrorInfo::NoError;
    const QString folder = base + QStringLiteral("-images");
    const QString store = QDir(m_dataPath).filePath(QStringLiteral("images"));
    for (const QJsonValue &value : summary.value(QStringLiteral("images")).toArray()) {
        const QJsonObject image = value.toObject();
        const int type = image.value(QStringLiteral("imageType")).toInt();
        if (!((type == 0 && inlineImage) || (type == 1 && macroImage)))
            continue;
        const QString name = image.value(QStringLiteral("fileName")).toString();
        // A stored name is a name inside the store, never a way out of it.
        const QString source = SqlText::storedImagePath(store, name);
        if (source.isEmpty() || !QFileInfo(source).isFile()) {
            qWarning() << "Export image file not found:" << store << name;
            continue;
        }
        const QString target = folder + QLatin1Char('/') + QFileInfo(name).fileName();
        // A medium that fills up fails the export: it is never reported
        // whole without its pictures.
        if (!QDir().mkpath(folder) || !ExchangeFiles::copyIntoStore(source, target)) {
            qWarning() << "Failed copying" << source << "to" << target;
            return XrfErrorInfo::FileCreateFailed;
        }
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ExportConversion::zip(const QString &folder, const QString &base,
                                             bool pdfOnly, QJsonObject *completion)
{
    if (pdfOnly) // the pictures are inside the report
        QDir(base + QStringLiteral("-images")).removeRecursively();
    const QFileInfo source(folder);
    const QString zipName
            = QFileInfo(outputOf(base, QStringLiteral("export"), QStringLiteral(".zip")))
                      .fileName();
    const QString destination = source.absolutePath();
    const XrfErrorInfo::XrfError rc = XrfUtils::zip(source.absoluteFilePath(), zipName, destination,
                                                    true, true, false, QString());
    const QFileInfo zipped(destination + QLatin1Char('/') + zipName);
    // The folder goes only when its zip is really there.
    if (rc != XrfErrorInfo::NoError || !zipped.exists() || zipped.size() == 0) {
        qWarning() << "Cannot zip" << source.absoluteFilePath() << "- the folder stays";
        completion->insert(QStringLiteral("outputFile"), source.absoluteFilePath());
        return rc != XrfErrorInfo::NoError ? rc : XrfErrorInfo::FileCreateFailed;
    }
    QDir(source.absoluteFilePath()).removeRecursively();
    completion->insert(QStringLiteral("outputFile"), zipped.absoluteFilePath());
    completion->insert(QStringLiteral("files"), QJsonArray { zipped.absoluteFilePath() });
    return XrfErrorInfo::NoError;
}
