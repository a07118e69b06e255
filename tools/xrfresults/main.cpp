// xrfresults: the command-line host of the result manager. It uses the
// library as the analyser's application does: the public facade, the result
// queue, their signals and the services' configuration folder.
//
// Exit codes: 0 success, 1 usage, 2 library error or unusable data folder
// (a store that waited too long too), 3 bad input file.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLockFile>
#include <QMutex>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

#include "resultgenerator.h"
#include "resultmanager.h"
#include "resultreport.h"
#include "xrfhost.h"
#include "xrfutils.h"

namespace {

enum ExitCode { ExitOk = 0, ExitUsage = 1, ExitLibrary = 2, ExitBadInput = 3 };

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(ExitCode code, const QString &what)
{
    out().flush();
    QTextStream(stderr) << "xrfresults: " << what << '\n';
    return code;
}

QString codeText(XrfErrorInfo::XrfError code)
{
    return QStringLiteral(" (%1 %2)").arg(int(code)).arg(XrfErrorInfo::errorName(code));
}

// The library's log goes to stderr with -v, else to a file in the data
// folder. Messages come from the library's three threads at once.
QFile *s_logFile = nullptr;
QMutex s_logMutex;
void logToFile(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    // Debug lines of every queue pass would bury the rest; -v shows them.
    if (type == QtDebugMsg)
        return;
    static const char *const levels[] = { "debug", "warning", "critical", "fatal", "info" };
    const QByteArray line
            = QStringLiteral("%1 %2: %3\n")
                      .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                           QLatin1String(levels[type]), msg)
                      .toUtf8();
    QMutexLocker lock(&s_logMutex);
    if (s_logFile && s_logFile->isOpen()) {
        s_logFile->write(line);
        s_logFile->flush();
    }
}

void startLog(const QString &dataDir, bool verbose)
{
    if (verbose) {
        qSetMessagePattern(QStringLiteral("%{time hh:mm:ss.zzz} %{type}: %{message}"));
        return;
    }
    s_logFile = new QFile(dataDir + QStringLiteral("/xrfresults.log"));
    s_logFile->open(QIODevice::Append);
    qInstallMessageHandler(logToFile);
}

struct Loaded
{
    QList<XrfHost::Stored> results;
    QStringList problems;
};

// Reads result files; a folder stands for its *.json files.
Loaded loadResults(const QStringList &paths)
{
    Loaded loaded;
    QStringList files;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            const QDir dir(path);
            for (const QString &name :
                 dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name))
                files << dir.filePath(name);
        } else {
            files << path;
        }
    }
    for (const QString &file : files) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) {
            loaded.problems << QStringLiteral("%1: cannot read (%2)").arg(file, f.errorString());
            continue;
        }
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            loaded.problems << QStringLiteral("%1: not JSON (%2 at byte %3)")
                                       .arg(file, parseError.errorString())
                                       .arg(parseError.offset);
            continue;
        }
        if (!doc.isObject() || !doc.object().value(QStringLiteral("analysis")).isObject()) {
            loaded.problems << QStringLiteral("%1: not a test result (%2)")
                                       .arg(file,
                                            doc.isObject()
                                                    ? QStringLiteral("no \"analysis\" object")
                                                    : QStringLiteral("not an object"));
            continue;
        }
        // Stored with defaults in place of what could not be read, a result
        // would be wrong for good: the whole file is refused instead.
        XrfHost::Stored s;
        s.source = file;
        const QStringList unread = s.result.readResultJson(doc.object());
        if (!unread.isEmpty()) {
            QString line = QStringLiteral("%1: member %2 is missing or has a wrong type or value")
                                   .arg(file, unread.first());
            if (unread.size() > 1)
                line += QStringLiteral(" (and %1 more)").arg(unread.size() - 1);
            loaded.problems << line;
            continue;
        }
        loaded.results << s;
    }
    return loaded;
}

QString imagesFolderBeside(const QList<XrfHost::Stored> &results)
{
    return results.isEmpty()
            ? QString()
            : QFileInfo(results.first().source).absolutePath() + QStringLiteral("/images");
}

int storeAndReport(XrfHost &host, QList<XrfHost::Stored> &results, const QString &imagesFrom)
{
    QString error;
    const bool ok = host.store(results, imagesFrom, true, &error);
    for (const XrfHost::Stored &s : results) {
        if (s.testId > 0)
            out() << ResultReport::storedLine(s.testId, s.result) << '\n';
    }
    out().flush();
    return ok ? ExitOk : fail(ExitLibrary, error);
}

int runStore(XrfHost &host, const QStringList &paths)
{
    Loaded loaded = loadResults(paths);
    const int code = storeAndReport(host, loaded.results, imagesFolderBeside(loaded.results));
    for (const QString &problem : loaded.problems)
        QTextStream(stderr) << "xrfresults: " << problem << '\n';
    if (code != ExitOk)
        return code;
    return loaded.problems.isEmpty() ? ExitOk : ExitBadInput;
}

// One data folder serves one xrfresults at a time: two queues on one folder
// would hand the same files over twice and stall each other. The lock file
// names its holder's process, so a killed holder leaves no stale lock.
int lockDataFolder(QLockFile &lock, const QString &dataDir, bool storing, bool wait)
{
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return ExitOk;
    if (lock.error() == QLockFile::LockFailedError) {
        if (!wait)
            return fail(ExitLibrary, QStringLiteral("another xrfresults is using %1").arg(dataDir));
        QTextStream(stderr) << "xrfresults: another xrfresults is using " << dataDir
                            << "; waiting\n";
        if (lock.lock())
            return ExitOk;
    }
    // A read-only card has room for no lock, and no one can store there.
    if (!storing)
        return ExitOk;
    return fail(ExitLibrary, QStringLiteral("cannot write in the data folder ") + dataDir);
}

int runShow(const QString &idText, bool json)
{
    bool ok = false;
    const int id = idText.toInt(&ok);
    if (!ok || id <= 0)
        return fail(ExitUsage, QStringLiteral("show needs a test id, not '%1'").arg(idText));
    XrfKorviResult result;
    XrfResultManager::instance()->syncGetFullResult(id, &result);
    if (result.analysis().testId() != id)
        return fail(ExitLibrary,
                    QStringLiteral("no result with test id %1").arg(id)
                            + codeText(XrfErrorInfo::ResultNotFound));
    if (json)
        out() << QJsonDocument(result.toJsonObject()).toJson(QJsonDocument::Indented);
    else
        out() << ResultReport::summary(result);
    return ExitOk;
}

int runDemo(XrfHost &host, const QString &samplesDir, int generated)
{
    Loaded samples = loadResults({ samplesDir });
    if (samples.results.isEmpty())
        return fail(ExitBadInput, QStringLiteral("no sample results in ") + samplesDir);
    QList<XrfKorviResult> templates;
    for (const XrfHost::Stored &s : samples.results)
        if (s.result.analysis().testType() != QLatin1String("CALCHECK"))
            templates << s.result;
    QList<XrfHost::Stored> all = samples.results;
    const QDateTime morning(QDate::currentDate().addDays(-1), QTime(7, 30), Qt::UTC);
    int n = 0;
    for (const XrfKorviResult &r :
         ResultGenerator::generate(templates, generated, morning, 20261206)) {
        XrfHost::Stored s;
        s.source = QStringLiteral("generated #%1").arg(++n);
        s.result = r;
        all << s;
    }
    out() << "Storing " << samples.results.size() << " sample results and " << generated
          << " generated results through the result queue...\n";
    out().flush();
    QString error;
    if (!host.store(all, samplesDir + QStringLiteral("/images"), true, &error))
        return fail(ExitLibrary, error);
    out() << "\nOne of them, as stored:\n\n";
    const int shown = runShow(QString::number(all.first().testId), false);
    out() << '\n' << ResultReport::info(host);
    out() << "\nThe library's log is " << host.dataDir() << "/xrfresults.log; look again with\n"
          << "  " << QCoreApplication::applicationFilePath() << " --data " << host.dataDir()
          << " info\n";
    return shown;
}

int runGenerate(const QString &samplesDir, const QString &countText, const QString &outDir)
{
    bool ok = false;
    const int count = countText.toInt(&ok);
    if (!ok || count < 0 || outDir.isEmpty())
        return fail(ExitUsage, QStringLiteral("generate needs a count and a folder"));
    Loaded samples = loadResults({ samplesDir });
    QList<XrfKorviResult> templates;
    for (const XrfHost::Stored &s : samples.results)
        templates << s.result;
    if (!QDir().mkpath(outDir))
        return fail(ExitUsage, QStringLiteral("cannot create ") + outDir);
    const QDateTime start(QDate(2026, 1, 5), QTime(7, 0), Qt::UTC);
    int i = 0;
    for (const XrfKorviResult &r : ResultGenerator::generate(templates, count, start, 7)) {
        QFile f(QStringLiteral("%1/gen-%2.json").arg(outDir).arg(++i, 5, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(r.toJsonObject()).toJson()) < 0)
            return fail(ExitUsage, QStringLiteral("cannot write ") + f.fileName());
    }
    return ExitOk;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("xrfresults"));
    QCoreApplication::setApplicationVersion(QStringLiteral(XRF_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Result manager of an XRF analyser, from the command line.\n\n"
            "Commands:\n"
            "  store FILE|DIR...   queue result files and wait until they are stored\n"
            "  show ID [--json]    one stored result\n"
            "  info                the database, the queue and the free space\n"
            "  demo [--generate N] store the samples and N generated results\n"
            "  generate N DIR      write N generated result files"));
    parser.addHelpOption();
    // -v is --verbose here, so --version has no short form.
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Displays version information."));
    const QCommandLineOption dataOption(QStringLiteral("data"),
                                        QStringLiteral("Instrument data folder."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption configOption(
            QStringLiteral("config"), QStringLiteral("Folder of the services' JSON files."),
            QStringLiteral("DIR"), QStringLiteral(XRF_DEFAULT_CONFIG_DIR));
    const QCommandLineOption verboseOption({ QStringLiteral("v"), QStringLiteral("verbose") },
                                           QStringLiteral("The library's log on stderr."));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("show: the full result JSON."));
    const QCommandLineOption generateOption(
            QStringLiteral("generate"), QStringLiteral("demo: generated results (default 200)."),
            QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption waitOption(
            QStringLiteral("wait"),
            QStringLiteral("store: give up when nothing was stored for this long (default 60)."),
            QStringLiteral("SECONDS"), QStringLiteral("60"));
    const QCommandLineOption noWaitOption(
            QStringLiteral("no-wait"),
            QStringLiteral("Exit at once when another xrfresults uses the data folder."));
    parser.addOptions({ versionOption, dataOption, configOption, verboseOption, jsonOption,
                        generateOption, waitOption, noWaitOption });
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("store, show, info, demo or generate"));
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(ExitUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitOk);
    if (parser.isSet(versionOption)) {
        out() << "xrfresults " << QCoreApplication::applicationVersion() << '\n';
        return ExitOk;
    }

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const QStringList rest = args.mid(1);
    const QStringList commands { "store", "show", "info", "demo", "generate" };
    if (command.isEmpty())
        return fail(ExitUsage, QStringLiteral("no command; see --help"));
    if (!commands.contains(command))
        return fail(ExitUsage, QStringLiteral("unknown command '%1'; see --help").arg(command));
    if ((parser.isSet(jsonOption) && command != QLatin1String("show"))
        || (parser.isSet(generateOption) && command != QLatin1String("demo")))
        return fail(ExitUsage, QStringLiteral("option not valid with '%1'").arg(command));
    bool waitOk = false;
    const int waitSeconds = parser.value(waitOption).toInt(&waitOk);
    if (!waitOk || waitSeconds <= 0)
        return fail(ExitUsage,
                    QStringLiteral("--wait needs a number of seconds, not '%1'")
                            .arg(parser.value(waitOption)));
    if (parser.isSet(waitOption) && command != QLatin1String("store")
        && command != QLatin1String("demo"))
        return fail(ExitUsage, QStringLiteral("option not valid with '%1'").arg(command));
    if (command == QLatin1String("store") && rest.isEmpty())
        return fail(ExitUsage, QStringLiteral("store needs at least one file or folder"));

    // Paths are taken from where they were typed; the host later works in
    // the data folder, where the queue lives.
    const QDir typedIn = QDir::current();
    auto typed = [&typedIn](const QString &path) {
        return path.isEmpty() ? path : QDir::cleanPath(typedIn.absoluteFilePath(path));
    };
    QStringList paths;
    for (const QString &path : rest)
        paths << typed(path);

    const QString samplesDir = QStringLiteral(XRF_SOURCE_DIR "/samples");
    if (command == QLatin1String("generate"))
        return runGenerate(samplesDir, rest.value(0), typed(rest.value(1)));

    QTemporaryDir demoDir(QDir::tempPath() + QStringLiteral("/xrfresults-demo-XXXXXX"));
    QString dataDir = parser.value(dataOption);
    if (dataDir.isEmpty() && command == QLatin1String("demo")) {
        if (!demoDir.isValid())
            return fail(ExitUsage, QStringLiteral("cannot create a temporary data folder"));
        demoDir.setAutoRemove(false);
        dataDir = demoDir.path();
    } else if (dataDir.isEmpty()) {
        dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    }
    dataDir = typed(dataDir);
    const bool storing = command == QLatin1String("store") || command == QLatin1String("demo");
    if (storing && !QDir().mkpath(dataDir))
        return fail(ExitLibrary, QStringLiteral("cannot create the data folder ") + dataDir);
    if (!storing && !QFileInfo(dataDir).isDir())
        return fail(ExitLibrary, QStringLiteral("no data folder ") + dataDir);
    // Test hook, as the library's XRF_CRASH_POINT: the free space the
    // library sees, in bytes, so that a full card can be tried on any disk.
    const QByteArray freeSpace = qgetenv("XRF_FREE_SPACE_OVERRIDE");
    if (!freeSpace.isEmpty())
        XrfUtils::setAvailableSpaceOverride(freeSpace.toLongLong());
    QLockFile lock(dataDir + QStringLiteral("/xrfresults.lock"));
    const int locked = lockDataFolder(lock, dataDir, storing, !parser.isSet(noWaitOption));
    if (locked != ExitOk)
        return locked;
    startLog(dataDir, parser.isSet(verboseOption));

    XrfHost host(dataDir, typed(parser.value(configOption)),
                 storing ? XrfHost::Storing : XrfHost::ReadOnly);
    host.setWaitSeconds(waitSeconds);
    QString error;
    XrfErrorInfo::XrfError code = XrfErrorInfo::NoError;
    if (!host.start(&error, &code))
        return fail(code == XrfErrorInfo::NoError ? ExitUsage : ExitLibrary,
                    error + (code == XrfErrorInfo::NoError ? QString() : codeText(code)));

    int exitCode = ExitOk;
    if (command == QLatin1String("store"))
        exitCode = runStore(host, paths);
    else if (command == QLatin1String("show"))
        exitCode = runShow(rest.value(0), parser.isSet(jsonOption));
    else if (command == QLatin1String("info"))
        out() << ResultReport::info(host);
    else
        exitCode = runDemo(host, samplesDir, parser.value(generateOption).toInt());
    out().flush();
    host.stop();
    return exitCode;
}
