// serve: a read-only web viewer of the data folder. Pages and their JSON
// twins are read on the server's own threads, each through a read-only
// reader of its own, so a page never waits for a store running beside it.
// Exports and averages are the library's work and run on the main thread,
// one at a time, exactly as the export and average commands ask for them.

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimeZone>

#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <httplib.h>

#include "beamplot.h"
#include "commands.h"
#include "requests.h"
#include "resultmanager.h"
#include "resultreport.h"
#include "servepages.h"
#include "xrfhost.h"
#include "xrfresultreader.h"

namespace {

// Work per request stays bounded: lists, exports and averages take at most
// this many tests and say so when there were more.
const int selectionCap = 500;
const int searchCap = 200;
const int searchTextMax = 200;

QString s_databaseFile;

// The reader of the calling server thread, made on first use and destroyed
// when that thread ends; made again when the file was replaced (a deletion
// of every result makes it new).
XrfResultReader &reader()
{
    thread_local std::unique_ptr<XrfResultReader> own;
    thread_local ino_t file = 0;
    struct stat now = {};
    const ino_t current
            = ::stat(QFile::encodeName(s_databaseFile).constData(), &now) == 0 ? now.st_ino : 0;
    if (!own || current != file) {
        own.reset();
        own.reset(new XrfResultReader(s_databaseFile));
        file = current;
    }
    return *own;
}

QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

void sendText(httplib::Response &res, int status, const QString &line)
{
    res.status = status;
    res.set_content((line + QLatin1Char('\n')).toStdString(), "text/plain; charset=utf-8");
}

void sendJson(httplib::Response &res, const QJsonValue &value)
{
    const QJsonDocument document
            = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    res.set_content(document.toJson(QJsonDocument::Compact).toStdString(),
                    "application/json; charset=utf-8");
}

void sendHtml(httplib::Response &res, const QString &html)
{
    res.set_content(html.toStdString(), "text/html; charset=utf-8");
}

// A reading that failed is the server's problem, said with the library's code.
bool readFailed(httplib::Response &res, XrfErrorInfo::XrfError code)
{
    if (code == XrfErrorInfo::NoError)
        return false;
    sendText(res, 500, QStringLiteral("the results database cannot be read") + codeText(code));
    return true;
}

bool testIdParam(const httplib::Request &req, int *id, httplib::Response &res)
{
    const QString text = q(req.matches[1]);
    if (parseTestId(text, id))
        return true;
    sendText(res, 400, QStringLiteral("a test id is a positive whole number, not '%1'").arg(text));
    return false;
}

bool indexParam(const httplib::Request &req, int *index, httplib::Response &res)
{
    bool ok = false;
    const QString text = q(req.matches[2]);
    *index = text.toInt(&ok);
    if (ok && *index >= 0 && text == QString::number(*index))
        return true;
    sendText(res, 400, QStringLiteral("an index is a whole number from 0, not '%1'").arg(text));
    return false;
}

// The ids of a selection (?id=1&id=2, or ?ids=1,2) as the CLI takes --ids.
bool selectedIds(const httplib::Request &req, QList<int> *ids, httplib::Response &res)
{
    QStringList texts;
    for (size_t i = 0; i < req.get_param_value_count("id"); ++i)
        texts << q(req.get_param_value("id", i));
    if (req.has_param("ids"))
        texts << q(req.get_param_value("ids")).split(QLatin1Char(','));
    if (texts.size() > selectionCap) {
        sendText(res, 400, QStringLiteral("at most %1 tests at a time").arg(selectionCap));
        return false;
    }
    if (!parseTestIds(texts, ids)) {
        sendText(res, 400,
                 QStringLiteral("choose tests by their ids (1,2,3), not '%1'")
                         .arg(texts.join(QLatin1Char(','))));
        return false;
    }
    return true;
}

// The tests of a list request: a local day (/day/D or ?day=D), a range
// (?from=T&to=T: from exclusive, to inclusive, as list takes them) or the
// latest (?n=N, default 20).
struct Selection
{
    QString title;
    QJsonArray tests;
    int total = 0;
};

QDateTime utcOf(const QString &stored)
{
    QDateTime when = QDateTime::fromString(stored, XrfAnalysisResult::dateTimeFormat);
    when.setTimeSpec(Qt::UTC);
    return when;
}

bool daySelection(const QString &text, Selection *selection, httplib::Response &res)
{
    QDate day;
    if (!parseDay(text, &day)) {
        sendText(res, 400, QStringLiteral("a day is YYYY-MM-DD, not '%1'").arg(text));
        return false;
    }
    const QPair<QString, QString> range = dayRange(day);
    QString from, to;
    parseUtcBound(range.first, &from);
    parseUtcBound(range.second, &to);
    selection->title = QStringLiteral("Tests of ") + day.toString(Qt::ISODate);
    return !readFailed(res, reader().tests(utcOf(from), false, utcOf(to), true, &selection->tests));
}

bool rangeSelection(const httplib::Request &req, Selection *selection, httplib::Response &res)
{
    const QString fromText = q(req.get_param_value("from"));
    const QString toText = q(req.get_param_value("to"));
    QString from, to;
    if (!req.has_param("from") || !req.has_param("to")) {
        sendText(res, 400, QStringLiteral("a range needs from and to"));
        return false;
    }
    if (!parseUtcBound(fromText, &from) || !parseUtcBound(toText, &to)) {
        sendText(res, 400,
                 QStringLiteral("from '%1' or to '%2' is no date-time (yyyy-MM-dd hh:mm[:ss[.zzz]] "
                                "or ISO 8601)")
                         .arg(fromText, toText));
        return false;
    }
    selection->title = QStringLiteral("Tests after %1 up to %2").arg(fromText, toText);
    return !readFailed(res, reader().tests(utcOf(from), false, utcOf(to), true, &selection->tests));
}

bool latestSelection(const httplib::Request &req, Selection *selection, httplib::Response &res)
{
    const QString text = req.has_param("n") ? q(req.get_param_value("n")) : QStringLiteral("20");
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number <= 0) {
        sendText(res, 400, QStringLiteral("n is a positive number, not '%1'").arg(text));
        return false;
    }
    selection->title = QStringLiteral("Latest tests");
    return !readFailed(res, reader().latestTests(qMin(number, selectionCap), &selection->tests));
}

bool searchSelection(const httplib::Request &req, Selection *selection, httplib::Response &res)
{
    const QString text = q(req.get_param_value("q")).trimmed();
    if (text.isEmpty() || text.size() > searchTextMax) {
        sendText(res, 400,
                 QStringLiteral("search for a text of 1 to %1 characters").arg(searchTextMax));
        return false;
    }
    selection->title = QStringLiteral("Tests that hold \u201c%1\u201d").arg(text);
    return !readFailed(res, reader().search(text, searchCap, &selection->tests));
}

// The listed tests as summaries, capped.
bool summarise(Selection *selection, httplib::Response &res)
{
    selection->total = selection->tests.size();
    QList<int> ids;
    for (const QJsonValue &test : qAsConst(selection->tests)) {
        if (ids.size() == selectionCap)
            break;
        ids << test.toObject().value(QStringLiteral("tid")).toInt();
    }
    QJsonArray summaries;
    if (readFailed(res, reader().summaries(ids, &summaries)))
        return false;
    selection->tests = summaries;
    return true;
}

QJsonObject listJson(const Selection &selection)
{
    return { { QStringLiteral("tests"), selection.tests },
             { QStringLiteral("total"), selection.total },
             { QStringLiteral("capped"), selection.total > selection.tests.size() } };
}

// One handler gives a list as a page or as JSON.
using Select = bool (*)(const httplib::Request &, Selection *, httplib::Response &);
httplib::Server::Handler listHandler(Select select, bool json)
{
    return [select, json](const httplib::Request &req, httplib::Response &res) {
        Selection selection;
        if (!select(req, &selection, res) || !summarise(&selection, res))
            return;
        if (json)
            sendJson(res, listJson(selection));
        else
            sendHtml(res,
                     ServePages::list(selection.title, selection.tests, selection.total,
                                      q(req.target)));
    };
}

bool readResult(int id, XrfKorviResult *result, httplib::Response &res)
{
    const XrfErrorInfo::XrfError code = reader().result(id, result);
    if (code == XrfErrorInfo::ResultNotFound) {
        sendText(res, 404, QStringLiteral("no result with test id %1").arg(id));
        return false;
    }
    return !readFailed(res, code);
}

QJsonObject spectrumJson(const XrfKorviResult &result, int index)
{
    const XrfSpectrum &s = result.spectra().at(index);
    QStringList elements;
    for (const XrfChemistryResult &c : result.chemistry())
        elements << c.elementName();
    QJsonArray channels;
    for (quint32 count : s.channels())
        channels << double(count);
    QJsonArray lines;
    const double from = BeamPlot::channelEnergyKeV(s, 0);
    for (const BeamPlot::LineMark &mark :
         BeamPlot::lineMarks(elements, from, BeamPlot::topEnergyKeV(s)))
        lines << QJsonObject { { QStringLiteral("element"), mark.element },
                               { QStringLiteral("line"), mark.line },
                               { QStringLiteral("energyKeV"), mark.energyKeV } };
    return { { QStringLiteral("testId"), result.analysis().testId() },
             { QStringLiteral("index"), index },
             { QStringLiteral("exposureNumber"), s.exposureNumber() },
             { QStringLiteral("energySlope"), s.energySlope() },
             { QStringLiteral("energyOffset"), s.energyOffset() },
             { QStringLiteral("slopeKeV"), BeamPlot::slopeKeV(s) },
             { QStringLiteral("offsetKeV"), BeamPlot::offsetKeV(s) },
             { QStringLiteral("topEnergyKeV"), BeamPlot::topEnergyKeV(s) },
             { QStringLiteral("tubeVoltageSet"), s.tubeVoltageSet() },
             { QStringLiteral("liveTime"), s.liveTime() },
             { QStringLiteral("channels"), channels },
             { QStringLiteral("lines"), lines } };
}

// One element's values across a day's or a range's tests.
bool trend(const httplib::Request &req, QJsonObject *series, httplib::Response &res)
{
    const QString element = q(req.get_param_value("element"));
    static const QRegularExpression name(QStringLiteral("^[A-Za-z][A-Za-z0-9]{0,15}$"));
    if (!name.match(element).hasMatch()) {
        sendText(res, 400, QStringLiteral("a trend needs an element, such as element=Cr"));
        return false;
    }
    Selection selection;
    if (!(req.has_param("day") ? daySelection(q(req.get_param_value("day")), &selection, res)
                               : rangeSelection(req, &selection, res))
        || !summarise(&selection, res))
        return false;
    QJsonArray points;
    for (const QJsonValue &test : qAsConst(selection.tests)) {
        const QJsonObject t = test.toObject();
        for (const QJsonValue &e : t.value(QStringLiteral("elements")).toArray()) {
            const QJsonObject o = e.toObject();
            if (o.value(QStringLiteral("element")).toString().compare(element, Qt::CaseInsensitive))
                continue;
            points << QJsonObject {
                { QStringLiteral("tid"), t.value(QStringLiteral("tid")) },
                { QStringLiteral("dateTime"), t.value(QStringLiteral("dateTime")) },
                { QStringLiteral("tidName"), t.value(QStringLiteral("tidName")) },
                { QStringLiteral("concentration"), o.value(QStringLiteral("concentration")) },
                { QStringLiteral("error"), o.value(QStringLiteral("error")) }
            };
        }
    }
    *series = { { QStringLiteral("element"), element },
                { QStringLiteral("unit"), QStringLiteral("%") },
                { QStringLiteral("title"), selection.title },
                { QStringLiteral("points"), points },
                { QStringLiteral("capped"), selection.total > selection.tests.size() } };
    return true;
}

// Library work on the main thread, one request at a time: the facade's
// answers arrive there, and the export folder is one setting.
std::mutex s_libraryMutex;

template<typename Work>
void onMainThread(Work work)
{
    std::lock_guard<std::mutex> one(s_libraryMutex);
    QMetaObject::invokeMethod(qApp, work, Qt::BlockingQueuedConnection);
}

// Runs an export of the tests into `folder` as the export command does;
// the files written, or an empty list with *why set.
QStringList exportInto(const QList<int> &ids, const QString &formats, bool zip,
                       const QString &folder, QString *why)
{
    QStringList files;
    onMainThread([&] {
        if (useExportFolder(folder) != ExitOk) {
            *why = QStringLiteral("cannot make a folder for the export");
            return;
        }
        QJsonObject settings = methodExportSettings(formats);
        QJsonObject e = settings.value(QStringLiteral("export")).toObject();
        e.insert(QStringLiteral("selectedLocation"), QStringLiteral("Default Folder"));
        settings.insert(QStringLiteral("export"), e);
        QJsonArray tids;
        for (int id : ids)
            tids << QString::number(id);
        const QJsonObject params { { QStringLiteral("tidList"), tids },
                                   { QStringLiteral("dateRangeList"), QJsonArray() },
                                   { QStringLiteral("actionToDo"), 1 },
                                   { QStringLiteral("exportSetting"), settings },
                                   { QStringLiteral("outputSingleZip"), zip } };
        QJsonObject answer;
        if (requestExport(params, &answer) != ExitOk) {
            *why = QStringLiteral("the export failed (see the log)");
            return;
        }
        const QString out = answer.value(QStringLiteral("outputFile")).toString();
        if (zip && out.endsWith(QLatin1String(".zip")))
            files << out;
        else
            for (const QJsonValue &file : answer.value(QStringLiteral("files")).toArray())
                files << file.toString();
    });
    return files;
}

void exportHandler(const httplib::Request &req, httplib::Response &res)
{
    QList<int> ids;
    if (!selectedIds(req, &ids, res))
        return;
    const QString format = q(req.get_param_value("format"));
    static const QStringList formats { QStringLiteral("csv"), QStringLiteral("pdf"),
                                       QStringLiteral("msa"), QStringLiteral("json"),
                                       QStringLiteral("zip") };
    if (!formats.contains(format)) {
        sendText(res, 400, QStringLiteral("format is csv, pdf, msa, json or zip"));
        return;
    }
    for (int id : qAsConst(ids)) {
        bool found = false;
        if (readFailed(res, reader().contains(id, &found)))
            return;
        if (!found) {
            sendText(res, 404, QStringLiteral("no result with test id %1").arg(id));
            return;
        }
    }
    // Outside the data folder, and gone once the download is sent or given up.
    auto dir = std::make_shared<QTemporaryDir>(QDir::tempPath()
                                               + QStringLiteral("/xrfresults-serve-XXXXXX"));
    if (!dir->isValid()) {
        sendText(res, 500, QStringLiteral("no room for the export"));
        return;
    }
    const bool zip = format == QLatin1String("zip");
    const QString asked = zip ? QStringLiteral("csv,pdf,msa") : format;
    QString why;
    QStringList files = exportInto(ids, asked, zip, dir->path(), &why);
    // Several files (CSV of chemistry and spectra, an MSA per exposure)
    // download as one zip.
    if (files.size() > 1) {
        dir = std::make_shared<QTemporaryDir>(QDir::tempPath()
                                              + QStringLiteral("/xrfresults-serve-XXXXXX"));
        files = exportInto(ids, asked, true, dir->path(), &why);
    }
    if (files.size() != 1 || !QFileInfo(files.first()).isFile()) {
        sendText(res, 500, why.isEmpty() ? QStringLiteral("the export wrote nothing") : why);
        return;
    }
    auto file = std::make_shared<QFile>(files.first());
    if (!file->open(QIODevice::ReadOnly)) {
        sendText(res, 500, QStringLiteral("the export cannot be read"));
        return;
    }
    const QString name = QFileInfo(*file).fileName();
    static const QMap<QString, std::string> types {
        { QStringLiteral("csv"), "text/csv" },
        { QStringLiteral("pdf"), "application/pdf" },
        { QStringLiteral("zip"), "application/zip" },
        { QStringLiteral("json"), "application/json" },
        { QStringLiteral("msa"), "text/plain" },
    };
    res.set_header("Content-Disposition",
                   QStringLiteral("attachment; filename=\"%1\"")
                           .arg(QString(name).remove(QLatin1Char('"')))
                           .toStdString());
    res.set_content_provider(
            size_t(file->size()),
            types.value(QFileInfo(name).suffix().toLower(), "application/octet-stream"),
            [file](size_t offset, size_t length, httplib::DataSink &sink) {
                const qint64 chunk = qint64(qMin<size_t>(length, 64 * 1024));
                if (!file->seek(qint64(offset)))
                    return false;
                const QByteArray bytes = file->read(chunk);
                return !bytes.isEmpty() && sink.write(bytes.constData(), size_t(bytes.size()));
            },
            // Sent or not, the copy goes.
            [file, dir](bool) {
                file->close();
                dir->remove();
            });
}

// The average of the chosen tests as the average command makes it, not stored.
bool average(const httplib::Request &req, XrfKorviResult *averaged, httplib::Response &res)
{
    QList<int> ids;
    if (!selectedIds(req, &ids, res))
        return false;
    if (ids.size() < 2) {
        sendText(res, 400, QStringLiteral("an average needs at least two different tests"));
        return false;
    }
    const QString name
            = req.has_param("name") && !q(req.get_param_value("name")).trimmed().isEmpty()
            ? q(req.get_param_value("name")).trimmed().left(64)
            : QStringLiteral("Avg");
    Answer answer;
    onMainThread([&] {
        XrfResultManager *rm = XrfResultManager::instance();
        answer = ask(
                XrfCommandIds::AveragedResult,
                { { QStringLiteral("xrfString"), joinIds(ids) },
                  { QStringLiteral("tidName"), name } },
                [rm](XrfJsonMessage &m) { return rm->AddAveragedResult(m); }, averaged);
    });
    if (answer.code == XrfErrorInfo::NoError && answer.resultReceived && !answer.timedOut)
        return true;
    sendText(res, answer.code == XrfErrorInfo::ResultNotFound ? 404 : 422,
             QStringLiteral("these tests cannot be averaged") + codeText(answer.code));
    return false;
}

XrfHost *s_host = nullptr;

// A change comes from this viewer's own pages (the token was checked before):
// a page elsewhere that posts a form to it names its own origin.
bool sameOrigin(const httplib::Request &req, httplib::Response &res)
{
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && origin == "http://" + req.get_header_value("Host"))
        return true;
    sendText(res, 403, QStringLiteral("a change must come from this viewer's own pages"));
    return false;
}

void seeTest(httplib::Response &res, int id)
{
    res.status = 303;
    res.set_header("Location", "/test/" + std::to_string(id));
    res.set_content(QStringLiteral("test %1\n").arg(id).toStdString(), "text/plain; charset=utf-8");
}

// With --allow-write: an average stored as the average command stores it,
// and one test info entry set as edit-info sets it.
void routeWrites(httplib::Server &svr)
{
    svr.Post("/average", [](const httplib::Request &req, httplib::Response &res) {
        XrfKorviResult averaged;
        if (!sameOrigin(req, res) || !average(req, &averaged, res))
            return;
        QString error;
        int testId = -1;
        onMainThread([&] {
            XrfHost::Stored stored;
            stored.source = QStringLiteral("an average in the viewer");
            stored.result = averaged;
            QList<XrfHost::Stored> results { stored };
            if (s_host->store(results, QString(), false, &error))
                testId = results.first().testId;
        });
        if (testId > 0)
            seeTest(res, testId);
        else
            sendText(res, 500, QStringLiteral("the average was not stored: ") + error);
    });
    svr.Post(R"(/test/([^/]+)/info)", [](const httplib::Request &req, httplib::Response &res) {
        int id = 0;
        if (!sameOrigin(req, res) || !testIdParam(req, &id, res))
            return;
        const QString label = q(req.get_param_value("label")).trimmed();
        const QString value = q(req.get_param_value("value"));
        if (label.isEmpty() || label.size() > 64 || value.size() > 1000) {
            sendText(res, 400,
                     QStringLiteral("a label of 1 to 64 characters and a value of at most 1000"));
            return;
        }
        Answer answer;
        onMainThread([&] {
            XrfResultManager *rm = XrfResultManager::instance();
            answer = ask(XrfCommandIds::EditTestInfo,
                         { { QStringLiteral("testId"), QString::number(id) },
                           { QStringLiteral("fieldName"), label },
                           { QStringLiteral("fieldValue"), value } },
                         [rm](XrfJsonMessage &m) { return rm->editTestInfo(&m); });
        });
        if (answer.code == XrfErrorInfo::NoError && !answer.timedOut)
            seeTest(res, id);
        else
            sendText(res, answer.code == XrfErrorInfo::ResultNotFound ? 404 : 500,
                     QStringLiteral("the entry was not set") + codeText(answer.code));
    });
}

QByteArray s_dygraphJs;
QByteArray s_dygraphCss;

QByteArray resource(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void route(httplib::Server &svr)
{
    // Static files: a fixed table, read before the first request.
    const std::map<std::string, std::pair<QByteArray, std::string>> statics {
        { "/static/viewer.js",
          { resource(QStringLiteral(":/web/viewer.js")), "text/javascript; charset=utf-8" } },
        { "/static/viewer.css",
          { resource(QStringLiteral(":/web/viewer.css")), "text/css; charset=utf-8" } },
        { "/static/dygraph.min.js", { s_dygraphJs, "text/javascript; charset=utf-8" } },
        { "/static/dygraph.min.css", { s_dygraphCss, "text/css; charset=utf-8" } },
    };
    svr.Get(R"(/static/([a-z.]+))", [statics](const httplib::Request &req, httplib::Response &res) {
        const auto found = statics.find(req.path);
        if (found == statics.end() || found->second.first.isEmpty()) {
            sendText(res, 404, QStringLiteral("no such file"));
            return;
        }
        res.set_header("Cache-Control", "max-age=3600");
        res.set_content(found->second.first.toStdString(), found->second.second);
    });

    svr.Get("/", [](const httplib::Request &, httplib::Response &res) {
        QJsonObject calendar;
        QMap<QDate, int> counts;
        if (readFailed(res, reader().calendar(&calendar)))
            return;
        for (const QDate &day : ServePages::calendarDays(calendar)) {
            Selection selection;
            if (!daySelection(day.toString(Qt::ISODate), &selection, res))
                return;
            counts.insert(day, selection.tests.size());
        }
        sendHtml(res, ServePages::calendar(counts, calendar));
    });
    svr.Get("/api/calendar", [](const httplib::Request &, httplib::Response &res) {
        QJsonObject calendar;
        if (readFailed(res, reader().calendar(&calendar)))
            return;
        QJsonObject counts;
        for (const QDate &day : ServePages::calendarDays(calendar)) {
            Selection selection;
            if (!daySelection(day.toString(Qt::ISODate), &selection, res))
                return;
            counts.insert(day.toString(Qt::ISODate), selection.tests.size());
        }
        calendar.insert(QStringLiteral("dayCounts"), counts);
        sendJson(res, calendar);
    });

    auto day = [](const httplib::Request &req, Selection *s, httplib::Response &res) {
        return daySelection(q(req.matches[1]), s, res);
    };
    svr.Get(R"(/day/([^/]+))", listHandler(day, false));
    svr.Get(R"(/api/day/([^/]+))", listHandler(day, true));
    svr.Get("/latest", listHandler(latestSelection, false));
    svr.Get("/api/latest", listHandler(latestSelection, true));
    svr.Get("/range", listHandler(rangeSelection, false));
    svr.Get("/api/range", listHandler(rangeSelection, true));
    svr.Get("/search", listHandler(searchSelection, false));
    svr.Get("/api/search", listHandler(searchSelection, true));

    svr.Get(R"(/test/([^/]+))", [](const httplib::Request &req, httplib::Response &res) {
        int id = 0;
        XrfKorviResult result;
        if (!testIdParam(req, &id, res) || !readResult(id, &result, res))
            return;
        int previous = 0, next = 0;
        if (readFailed(res, reader().neighbours(id, &previous, &next)))
            return;
        sendHtml(res, ServePages::result(result, previous, next));
    });
    // The whole result as show --json gives it.
    svr.Get(R"(/api/test/([^/]+))", [](const httplib::Request &req, httplib::Response &res) {
        int id = 0;
        XrfKorviResult result;
        if (testIdParam(req, &id, res) && readResult(id, &result, res))
            sendJson(res, result.toJsonObject());
    });
    svr.Get(R"(/api/test/([^/]+)/spectrum/([^/]+))",
            [](const httplib::Request &req, httplib::Response &res) {
                int id = 0, index = 0;
                XrfKorviResult result;
                if (!testIdParam(req, &id, res) || !indexParam(req, &index, res)
                    || !readResult(id, &result, res))
                    return;
                if (index >= result.spectra().size()) {
                    sendText(res, 404,
                             QStringLiteral("test %1 has no spectrum %2").arg(id).arg(index));
                    return;
                }
                sendJson(res, spectrumJson(result, index));
            });
    svr.Get(R"(/test/([^/]+)/picture/([^/]+))",
            [](const httplib::Request &req, httplib::Response &res) {
                int id = 0, index = 0;
                QString path;
                if (!testIdParam(req, &id, res) || !indexParam(req, &index, res))
                    return;
                const XrfErrorInfo::XrfError code = reader().picturePath(id, index, &path);
                if (code == XrfErrorInfo::ResultNotFound) {
                    sendText(res, 404,
                             QStringLiteral("test %1 has no picture %2").arg(id).arg(index));
                    return;
                }
                if (readFailed(res, code))
                    return;
                QFile file(path);
                if (!file.open(QIODevice::ReadOnly)) {
                    sendText(res, 404, QStringLiteral("the picture is not in the image store"));
                    return;
                }
                const QString suffix = QFileInfo(path).suffix().toLower();
                res.set_content(file.readAll().toStdString(),
                                suffix == QLatin1String("png") ? "image/png" : "image/jpeg");
            });

    svr.Get("/trend", [](const httplib::Request &req, httplib::Response &res) {
        QJsonObject series;
        if (trend(req, &series, res))
            sendHtml(res, ServePages::trend(series, q(req.target)));
    });
    svr.Get("/api/trend", [](const httplib::Request &req, httplib::Response &res) {
        QJsonObject series;
        if (trend(req, &series, res))
            sendJson(res, series);
    });

    svr.Get("/export", exportHandler);
    svr.Get("/api/export", exportHandler);
    svr.Get("/average", [](const httplib::Request &req, httplib::Response &res) {
        XrfKorviResult averaged;
        if (average(req, &averaged, res))
            sendHtml(res, ServePages::result(averaged, 0, 0));
    });
    svr.Get("/api/average", [](const httplib::Request &req, httplib::Response &res) {
        XrfKorviResult averaged;
        if (average(req, &averaged, res))
            sendJson(res, averaged.toJsonObject());
    });
}

bool isLoopback(const QString &address)
{
    return address == QLatin1String("127.0.0.1") || address == QLatin1String("::1")
            || address == QLatin1String("localhost");
}

// Compared in time that does not depend on where they differ.
bool sameToken(const std::string &given, const std::string &token)
{
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
}

std::string tokenOf(const httplib::Request &req)
{
    if (req.has_param("token"))
        return req.get_param_value("token");
    const std::string authorization = req.get_header_value("Authorization");
    if (authorization.rfind("Bearer ", 0) == 0)
        return authorization.substr(7);
    const QString cookies = q(req.get_header_value("Cookie"));
    for (const QString &cookie : cookies.split(QLatin1Char(';'))) {
        const QString c = cookie.trimmed();
        if (c.startsWith(QLatin1String("xrftoken=")))
            return c.mid(9).toStdString();
    }
    return std::string();
}

int s_signalPipe[2] = { -1, -1 };
void onStopSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(s_signalPipe[1], &c, 1);
}

} // namespace

int runServe(const CommandContext &context)
{
    const QMap<QString, QString> &options = context.options;
    if (!context.args.isEmpty())
        return fail(ExitUsage, QStringLiteral("serve takes no arguments, only options"));
    const QString bind = options.value(QStringLiteral("bind"), QStringLiteral("127.0.0.1"));
    bool ok = false;
    const int port = options.value(QStringLiteral("port"), QStringLiteral("8080")).toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        return fail(ExitUsage,
                    QStringLiteral("--port needs a port number (0: any free one), not '%1'")
                            .arg(options.value(QStringLiteral("port"))));
    QString token = options.value(QStringLiteral("token"));
    if (options.contains(QStringLiteral("token")) && token.size() < 8)
        return fail(ExitUsage, QStringLiteral("--token needs at least 8 characters"));
    const bool allowWrite = options.contains(QStringLiteral("allow-write"));
    // Anyone on the network could read every result without one, and any
    // program on this machine could change results.
    if ((allowWrite || !isLoopback(bind)) && token.isEmpty())
        token = QString::number(QRandomGenerator::system()->generate64(), 16)
                + QString::number(QRandomGenerator::system()->generate64(), 16);

    s_databaseFile = context.host->databaseFile();
    if (s_databaseFile.isEmpty())
        return fail(ExitLibrary, QStringLiteral("no results database to serve"));
    s_dygraphJs = resource(QStringLiteral(XRF_DYGRAPHS_DIR "/dygraph.min.js"));
    s_dygraphCss = resource(QStringLiteral(XRF_DYGRAPHS_DIR "/dygraph.min.css"));
    if (s_dygraphJs.isEmpty())
        QTextStream(stderr) << "xrfresults: no " XRF_DYGRAPHS_DIR
                               "/dygraph.min.js (libjs-dygraphs);"
                               " pages show no plots\n";

    httplib::Server svr;
    svr.new_task_queue = [] { return new httplib::ThreadPool(8); };
    // Small answers go out at once, not after the peer's delayed ack.
    svr.set_tcp_nodelay(true);
    svr.set_payload_max_length(64 * 1024);
    svr.set_read_timeout(5, 0);
    svr.set_write_timeout(10, 0);
    svr.set_keep_alive_timeout(5);
    svr.set_keep_alive_max_count(100);

    const std::string tokenText = token.toStdString();
    svr.set_pre_routing_handler([tokenText](const httplib::Request &req, httplib::Response &res) {
        if (!tokenText.empty()) {
            const std::string given = tokenOf(req);
            if (!sameToken(given, tokenText)) {
                sendText(res, 401,
                         QStringLiteral("this viewer needs its token (?token=... as printed at "
                                        "its start)"));
                return httplib::Server::HandlerResponse::Handled;
            }
            if (req.has_param("token"))
                res.set_header("Set-Cookie",
                               "xrftoken=" + tokenText + "; Path=/; HttpOnly; SameSite=Strict");
            return httplib::Server::HandlerResponse::Unhandled;
        }
        // Without a token only names of this machine may be asked for (on
        // any port: a tunnel forwards another), so a page elsewhere cannot
        // point a name of its own at the viewer and read it.
        static const QRegularExpression loopback(
                QStringLiteral("^(127\\.0\\.0\\.1|localhost|\\[::1\\])(:\\d+)?$"));
        if (!loopback.match(q(req.get_header_value("Host"))).hasMatch()) {
            sendText(res, 421,
                     QStringLiteral("this viewer answers to 127.0.0.1 and localhost only"));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    svr.set_post_routing_handler([](const httplib::Request &, httplib::Response &res) {
        // Scripts only from the server's files; dygraphs sets style
        // attributes on what it draws, which inline styles must allow.
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                       "img-src 'self'; "
                       "connect-src 'self'; form-action 'self'; base-uri 'none'; "
                       "frame-ancestors 'none'");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        if (!res.has_header("Cache-Control"))
            res.set_header("Cache-Control", "no-store");
    });
    svr.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty() || res.content_length_ > 0)
            return;
        sendText(res, res.status,
                 res.status == 404 ? QStringLiteral("no such page")
                                   : QStringLiteral("refused (%1)").arg(res.status));
    });
    svr.set_exception_handler(
            [](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
                sendText(res, 500, QStringLiteral("the request failed"));
            });
    svr.set_logger([](const httplib::Request &req, const httplib::Response &res) {
        // The path only: a token in the query stays out of the log.
        qInfo().noquote() << QStringLiteral("serve: %1 %2 %3 %4")
                                     .arg(q(req.remote_addr), q(req.method), q(req.path))
                                     .arg(res.status);
    });
    route(svr);
    s_host = context.host;
    ServePages::setWritable(allowWrite);
    if (allowWrite)
        routeWrites(svr);

    const int bound = port == 0 ? svr.bind_to_any_port(bind.toStdString())
                                : (svr.bind_to_port(bind.toStdString(), port) ? port : -1);
    if (bound <= 0)
        return fail(ExitLibrary, QStringLiteral("cannot listen on %1 port %2").arg(bind).arg(port));

    if (::pipe(s_signalPipe) != 0)
        return fail(ExitLibrary, QStringLiteral("cannot make a pipe"));
    QEventLoop loop;
    QSocketNotifier stop(s_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    const QString host
            = bind.contains(QLatin1Char(':')) ? QLatin1Char('[') + bind + QLatin1Char(']') : bind;
    out() << "Serving " << context.host->dataDir()
          << (allowWrite ? " (averages and test info may be changed)" : " read-only")
          << " at http://" << host << ':' << bound << '/'
          << (token.isEmpty() ? QString() : QStringLiteral("?token=") + token)
          << "\nCtrl-C stops.\n";
    out().flush();

    std::atomic<bool> stopped { false };
    std::thread listening([&svr, &stopped] {
        svr.listen_after_bind();
        stopped = true;
    });
    loop.exec();
    svr.stop();
    // A request may still wait for an export on this thread.
    while (!stopped)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    listening.join();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    ::close(s_signalPipe[0]);
    ::close(s_signalPipe[1]);
    return ExitOk;
}
