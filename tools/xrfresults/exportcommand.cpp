// export: stored results as JSON, CSV, PDF or MSA files, asked for as the
// analyser's export screen asks (request 119): the method's export settings
// with what the options change.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>

#include "commands.h"
#include "progressbar.h"
#include "requests.h"
#include "resultmanager.h"
#include "xrfhost.h"
#include "xrfmethodmanager.h"
#include "xrfplatform.h"

namespace {

const QStringList formatWords { QStringLiteral("json"), QStringLiteral("csv"),
                                QStringLiteral("pdf"), QStringLiteral("msa") };

// The words of a format list in the order typed; false on any other word.
bool parseFormats(const QString &text, QStringList *formats)
{
    for (const QString &word : text.split(QLatin1Char(','))) {
        const QString format = word.trimmed().toLower();
        if (!formatWords.contains(format))
            return false;
        if (!formats->contains(format))
            formats->append(format);
    }
    return !formats->isEmpty();
}

QJsonObject range(const QPair<QString, QString> &bounds)
{
    return { { QStringLiteral("startDateTime"), bounds.first },
             { QStringLiteral("endDateTime"), bounds.second } };
}

// The templates a user can pick, as far as the method knows them: those of
// method.json and the files of templates/exports.
QStringList templateNames(const QString &configDir)
{
    QFile method(QDir(configDir).filePath(QStringLiteral("method.json")));
    QStringList names;
    if (method.open(QIODevice::ReadOnly))
        names = QJsonDocument::fromJson(method.readAll())
                        .object()
                        .value(QStringLiteral("exportTemplates"))
                        .toObject()
                        .keys();
    for (const QFileInfo &file : QDir(QDir(configDir).filePath(QStringLiteral("templates/exports")))
                                         .entryInfoList({ QStringLiteral("*.json") }, QDir::Files))
        names << file.completeBaseName();
    QStringList known;
    for (const QString &name : qAsConst(names)) {
        QJsonObject found;
        if (!known.contains(name)
            && XrfMethodManager::instance()->getExportTemplate(name, &found)
                    == XrfErrorInfo::NoError)
            known << name;
    }
    known.sort();
    return known;
}

// The selection of an export: test ids, a local day, a range or everything.
int selection(const QMap<QString, QString> &options, QJsonObject *params)
{
    const bool byIds = options.contains(QStringLiteral("ids"));
    const bool byDay = options.contains(QStringLiteral("day"));
    const bool between
            = options.contains(QStringLiteral("from")) || options.contains(QStringLiteral("to"));
    if (int(byIds) + int(byDay) + int(between) + int(options.contains(QStringLiteral("all"))) > 1)
        return fail(ExitUsage,
                    QStringLiteral("export takes one of --ids, --day, --from/--to and --all"));
    QJsonArray tids;
    QJsonArray ranges;
    if (byIds) {
        QList<int> ids;
        const QString text = options.value(QStringLiteral("ids"));
        if (!parseTestIds(text.split(QLatin1Char(',')), &ids))
            return fail(ExitUsage,
                        QStringLiteral("--ids needs test ids such as 1,2,3, not '%1'").arg(text));
        QList<int> absent;
        for (int id : qAsConst(ids)) {
            tids << QString::number(id);
            if (!XrfResultManager::instance()->testIdExists(id))
                absent << id;
        }
        // The library leaves them out; a person should know.
        if (!absent.isEmpty() && absent.size() < ids.size())
            QTextStream(stderr) << "xrfresults: not stored, left out: "
                                << joinIds(absent, QStringLiteral(", ")) << '\n';
    } else if (byDay) {
        QDate day;
        if (!parseDay(options.value(QStringLiteral("day")), &day))
            return fail(ExitUsage,
                        QStringLiteral("--day needs a date as YYYY-MM-DD, not '%1'")
                                .arg(options.value(QStringLiteral("day"))));
        ranges << range(dayRange(day));
    } else if (between) {
        QPair<QString, QString> bounds = allTime();
        for (const auto &[name, bound] : { std::make_pair(QStringLiteral("from"), &bounds.first),
                                           std::make_pair(QStringLiteral("to"), &bounds.second) }) {
            if (options.contains(name) && !parseBound(options.value(name), bound))
                return fail(ExitUsage,
                            QStringLiteral("--%1 '%2' is no date-time (yyyy-MM-dd hh:mm[:ss[.zzz]] "
                                           "or ISO 8601)")
                                    .arg(name, options.value(name)));
        }
        ranges << range(bounds);
    } else {
        ranges << range(allTime());
    }
    params->insert(QStringLiteral("tidList"), tids);
    params->insert(QStringLiteral("dateRangeList"), ranges);
    return ExitOk;
}

// The options' changes to the method's export settings.
int applyOptions(const CommandContext &context, QJsonObject *exportSettings)
{
    const QMap<QString, QString> &options = context.options;
    QJsonObject settings = exportSettings->value(QStringLiteral("export")).toObject();

    if (options.contains(QStringLiteral("format"))) {
        QStringList formats;
        if (!parseFormats(options.value(QStringLiteral("format")), &formats))
            return fail(ExitUsage,
                        QStringLiteral("--format takes json, csv, pdf and msa, not '%1'")
                                .arg(options.value(QStringLiteral("format"))));
        settings.insert(QStringLiteral("fileType"), formats.join(QLatin1Char(',')));
    }

    const bool out = options.contains(QStringLiteral("out"));
    if (out && options.contains(QStringLiteral("location")))
        return fail(ExitUsage, QStringLiteral("export takes --out or --location, not both"));
    if (options.contains(QStringLiteral("location"))) {
        static const QMap<QString, QString> locations {
            { QStringLiteral("default"), QStringLiteral("Default Folder") },
            { QStringLiteral("usb"), QStringLiteral("USB Memory") },
            { QStringLiteral("network"), QStringLiteral("Network Folder") },
        };
        const QString location = options.value(QStringLiteral("location"));
        if (!locations.contains(location))
            return fail(ExitUsage,
                        QStringLiteral("--location takes usb, network or default, not '%1'")
                                .arg(location));
        settings.insert(QStringLiteral("selectedLocation"), locations.value(location));
    } else if (out) {
        settings.insert(QStringLiteral("selectedLocation"), QStringLiteral("Default Folder"));
    }

    if (options.contains(QStringLiteral("template"))) {
        const QString name = options.value(QStringLiteral("template"));
        QJsonObject found;
        if (XrfMethodManager::instance()->getExportTemplate(name, &found) != XrfErrorInfo::NoError)
            return fail(ExitUsage,
                        QStringLiteral("no export template '%1'; known: %2")
                                .arg(name,
                                     templateNames(context.host->configDir())
                                             .join(QStringLiteral(", "))));
        settings.insert(QStringLiteral("selectedTemplate"), name);
    }

    const bool decimalComma = options.contains(QStringLiteral("decimal-comma"));
    if (options.contains(QStringLiteral("csv-separator"))) {
        const QString separator = options.value(QStringLiteral("csv-separator"));
        if (separator != QLatin1String(",") && separator != QLatin1String(";"))
            return fail(ExitUsage,
                        QStringLiteral("--csv-separator takes , or ;, not '%1'").arg(separator));
        // Numbers like 67,5 in cells parted by commas would all be quoted.
        if (decimalComma && separator == QLatin1String(","))
            return fail(ExitUsage, QStringLiteral("--decimal-comma goes with ; as separator"));
        settings.insert(QStringLiteral("csvSeparator"), separator);
    } else if (decimalComma) {
        settings.insert(QStringLiteral("csvSeparator"), QStringLiteral(";"));
    }
    if (decimalComma)
        settings.insert(QStringLiteral("decimalComma"), true);

    if (out) {
        const QString folder = options.value(QStringLiteral("out"));
        if (const int code = useExportFolder(folder))
            return code;
    }
    exportSettings->insert(QStringLiteral("export"), settings);
    return ExitOk;
}

} // namespace

QJsonObject methodExportSettings(const QString &formats)
{
    QJsonObject settings;
    XrfMethodManager::instance()->getExportSettings(&settings);
    QJsonObject e = settings.value(QStringLiteral("export")).toObject();
    QStringList methodFormats;
    if (!formats.isEmpty())
        e.insert(QStringLiteral("fileType"), formats);
    else if (!parseFormats(e.value(QStringLiteral("fileType")).toString(), &methodFormats))
        e.insert(QStringLiteral("fileType"), QStringLiteral("csv"));
    // What a method without export settings would leave empty.
    const QList<QPair<QString, QString>> defaults {
        { QStringLiteral("selectedLocation"), QStringLiteral("Default Folder") },
        { QStringLiteral("selectedTemplate"), QStringLiteral("Default") },
        { QStringLiteral("selectedPdfLayout"), QStringLiteral("Standard") },
    };
    for (const auto &[key, value] : defaults)
        if (e.value(key).toString().isEmpty())
            e.insert(key, value);
    settings.insert(QStringLiteral("export"), e);
    return settings;
}

int useExportFolder(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return fail(ExitLibrary, QStringLiteral("cannot create the export folder ") + folder);
    XrfPlatform::instance()->setExportsFolderPath(XrfPlatform::DefaultFolder,
                                                  QDir(folder).absolutePath());
    return ExitOk;
}

int requestExport(const QJsonObject &params, QJsonObject *answer)
{
    const QJsonObject exportObject = params.value(QStringLiteral("exportSetting"))
                                             .toObject()
                                             .value(QStringLiteral("export"))
                                             .toObject();
    // The database stage reports first, then each converter in the order
    // the library runs them; a count that starts again is the next stage.
    QStringList stages { QStringLiteral("reading the results") };
    const QString fileType = exportObject.value(QStringLiteral("fileType")).toString();
    for (const char *format : { "csv", "msa", "pdf" })
        if (fileType.contains(QLatin1String(format)))
            stages << QStringLiteral("writing ") + QString::fromLatin1(format).toUpper();
    ProgressBar bar(true);
    int stage = 0;
    int lastDone = -1;
    int lastTotal = -1;
    QObject receiver;
    QObject::connect(XrfResultManager::instance(), &XrfResultManager::filterResultsProgress,
                     &receiver, [&](int done, int total) {
                         if (lastDone >= 0 && done <= lastDone && lastDone == lastTotal)
                             ++stage;
                         lastDone = done;
                         lastTotal = total;
                         bar.show(done, total, stages.value(stage));
                     });
    XrfResultManager *rm = XrfResultManager::instance();
    const Answer reply = ask(XrfCommandIds::ExportWithOptions, params,
                             [rm](XrfJsonMessage &m) { return rm->exportResultsWithOption(&m); });
    bar.finish();
    *answer = reply.object;
    if (reply.code == XrfErrorInfo::ResultNotFound)
        return fail(ExitLibrary,
                    QStringLiteral("export: none of the chosen tests is stored")
                            + codeText(reply.code));
    // A medium that is not there is the likeliest cause of a failure there.
    const QString location = exportObject.value(QStringLiteral("selectedLocation")).toString();
    return libraryFailure(reply,
                          location == QLatin1String("Default Folder")
                                  ? QStringLiteral("export")
                                  : QStringLiteral("export to %1 (is it mounted?)").arg(location));
}

QStringList exportedFiles(const QJsonObject &answer)
{
    QStringList files;
    for (const char *key : { "files", "images" })
        for (const QJsonValue &file : answer.value(QLatin1String(key)).toArray())
            if (!files.contains(file.toString()))
                files << file.toString();
    return files;
}

int runExport(const CommandContext &context)
{
    if (!context.args.isEmpty())
        return fail(ExitUsage, QStringLiteral("export takes no arguments, only options"));
    QJsonObject params;
    if (const int code = selection(context.options, &params))
        return code;
    QJsonObject settings = methodExportSettings(QString());
    if (const int code = applyOptions(context, &settings))
        return code;
    params.insert(QStringLiteral("actionToDo"), 1);
    params.insert(QStringLiteral("exportSetting"), settings);
    params.insert(QStringLiteral("outputSingleZip"),
                  context.options.contains(QStringLiteral("zip")));

    QJsonObject answer;
    if (const int code = requestExport(params, &answer))
        return code;
    const QStringList files = exportedFiles(answer);
    if (context.json)
        printJson(answer);
    else
        for (const QString &file : files)
            out() << file << '\n';
    if (files.isEmpty())
        QTextStream(stderr) << "xrfresults: no stored results chosen, nothing exported\n";
    return ExitOk;
}
