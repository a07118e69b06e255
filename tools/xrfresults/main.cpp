// xrfresults: the command-line host of the result manager. It uses the
// library as the analyser's application does: the public facade, the result
// queue, their signals and the services' configuration folder. The commands
// are listed in commands.cpp.

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include "commands.h"
#include "reportapplication.h"
#include "resultmanager.h"
#include "xrfhost.h"
#include "xrfutils.h"

namespace {

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

// One data folder serves one xrfresults at a time: two queues on one folder
// would hand the same files over twice and stall each other. The lock file
// names its holder's process, so a killed holder leaves no stale lock.
// A holder killed between making the lock file and writing its process id
// leaves an empty file that names no one; QLockFile would wait for it for
// ever. Once older than such a write takes, it is taken as stale.
bool tryLockOrClearUnnamed(QLockFile &lock, const QString &path)
{
    if (lock.tryLock(0))
        return true;
    qint64 pid = 0;
    QString host, app;
    const QFileInfo file(path);
    if (lock.error() != QLockFile::LockFailedError || lock.getLockInfo(&pid, &host, &app)
        || !file.exists() || file.lastModified().msecsTo(QDateTime::currentDateTime()) < 2000)
        return false;
    lock.removeStaleLockFile();
    return lock.tryLock(0);
}

int lockDataFolder(QLockFile &lock, const QString &dataDir, bool storing, bool wait)
{
    const QString path = dataDir + QStringLiteral("/xrfresults.lock");
    lock.setStaleLockTime(0);
    if (tryLockOrClearUnnamed(lock, path))
        return ExitOk;
    if (lock.error() == QLockFile::LockFailedError) {
        if (!wait)
            return fail(ExitLibrary, QStringLiteral("another xrfresults is using %1").arg(dataDir));
        QTextStream(stderr) << "xrfresults: another xrfresults is using " << dataDir
                            << "; waiting\n";
        while (lock.error() == QLockFile::LockFailedError) {
            if (tryLockOrClearUnnamed(lock, path))
                return ExitOk;
            QThread::msleep(100);
        }
    }
    // A read-only card has room for no lock, and no one can store there.
    if (!storing)
        return ExitOk;
    return fail(ExitLibrary, QStringLiteral("cannot write in the data folder ") + dataDir);
}

// The platform plugin looks for a display server's socket in the runtime
// folder; outside a desktop session Qt warns that none is set, which tells
// a user of xrfresults nothing.
QtMessageHandler s_startupHandler = nullptr;
void quietStartup(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (!msg.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        s_startupHandler(type, context, msg);
}

// An installed xrfresults reads the configuration and samples installed
// with it; one run from the build tree reads those of the repository.
QString installedShareDir()
{
    const QString dir = QDir(QCoreApplication::applicationDirPath())
                                .absoluteFilePath(QStringLiteral(XRF_INSTALLED_SHARE_DIR));
    return QFileInfo(dir + QStringLiteral("/config")).isDir() ? QDir::cleanPath(dir) : QString();
}

} // namespace

int main(int argc, char *argv[])
{
    // The PDF export draws with QtGui; a command-line program never needs a
    // window, so no display either unless the environment asks for one.
    s_startupHandler = qInstallMessageHandler(quietStartup);
    const auto app = makeReportApplication(argc, argv);
    qInstallMessageHandler(s_startupHandler);
    QCoreApplication::setApplicationName(QStringLiteral("xrfresults"));
    QCoreApplication::setApplicationVersion(QStringLiteral(XRF_VERSION));

    const QString shareDir = installedShareDir();

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Result manager of an XRF analyser, from the command line.\n\n")
            + commandsHelp());
    parser.addHelpOption();
    // -v is --verbose here, so --version has no short form.
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Displays version information."));
    const QCommandLineOption dataOption(QStringLiteral("data"),
                                        QStringLiteral("Instrument data folder."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption configOption(
            QStringLiteral("config"), QStringLiteral("Folder of the services' JSON files."),
            QStringLiteral("DIR"),
            shareDir.isEmpty() ? QStringLiteral(XRF_DEFAULT_CONFIG_DIR)
                               : shareDir + QStringLiteral("/config"));
    const QCommandLineOption verboseOption({ QStringLiteral("v"), QStringLiteral("verbose") },
                                           QStringLiteral("The library's log on stderr."));
    const QCommandLineOption jsonOption(
            QStringLiteral("json"),
            QStringLiteral("One JSON document on stdout (show: the full result)."));
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
    // Options of one command or two, handed to it as given.
    const QList<QCommandLineOption> commandOptions {
        { QStringLiteral("day"), QStringLiteral("list, delete, export: the tests of a local day."),
          QStringLiteral("YYYY-MM-DD") },
        { QStringLiteral("latest"), QStringLiteral("list: the N latest tests (default 20)."),
          QStringLiteral("N") },
        { QStringLiteral("from"),
          QStringLiteral("list, export, sync-out: tests after this local date-time "
                         "(yyyy-MM-dd hh:mm:ss[.zzz] or ISO 8601)."),
          QStringLiteral("DATETIME") },
        { QStringLiteral("to"),
          QStringLiteral("list, export, sync-out: tests up to and including this one; push: "
                         "the database, postgresql://user@host:port/db (the password from "
                         "PGPASSWORD or ~/.pgpass)."),
          QStringLiteral("DATETIME|URL") },
        { QStringLiteral("ids"),
          QStringLiteral("delete, export, sync-out: these test ids (1,2,3)."),
          QStringLiteral("LIST") },
        { QStringLiteral("all"), QStringLiteral("delete, export: every stored result.") },
        { QStringLiteral("yes"), QStringLiteral("delete: without asking.") },
        { QStringLiteral("store"), QStringLiteral("average: store the average as well.") },
        { QStringLiteral("name"), QStringLiteral("average: the test name (default Avg)."),
          QStringLiteral("NAME") },
        { QStringLiteral("format"),
          QStringLiteral("export: any of json,csv,pdf,msa (default: the method's, else csv)."),
          QStringLiteral("LIST") },
        { QStringLiteral("zip"), QStringLiteral("export: everything in one zip file.") },
        { QStringLiteral("out"),
          QStringLiteral("export, demo: into this folder (default <data>/exports)."),
          QStringLiteral("DIR") },
        { QStringLiteral("location"),
          QStringLiteral("export: usb, network or default (default: the method's)."),
          QStringLiteral("PLACE") },
        { QStringLiteral("template"),
          QStringLiteral("export: the export template (default: the method's)."),
          QStringLiteral("NAME") },
        { QStringLiteral("csv-separator"), QStringLiteral("export: , or ; between CSV cells."),
          QStringLiteral("SEP") },
        { QStringLiteral("sqlite"),
          QStringLiteral("sync-out: a mini database, FILE.sqlite (with --json: a JSON stream "
                         "into the file given)."),
          QStringLiteral("FILE") },
        { QStringLiteral("limit"),
          QStringLiteral("sync-out --json: at most N results (below 500: 500)."),
          QStringLiteral("N") },
        { QStringLiteral("dry-run"),
          QStringLiteral("push: say what would be sent, send nothing.") },
        { QStringLiteral("batch"), QStringLiteral("push: results per transaction (default 250)."),
          QStringLiteral("N") },
        { QStringLiteral("search"),
          QStringLiteral("list: tests whose name or any test info value holds TEXT (any case)."),
          QStringLiteral("TEXT") },
        { QStringLiteral("port"),
          QStringLiteral("serve: the port (default 8080; 0: any free one)."), QStringLiteral("N") },
        { QStringLiteral("bind"),
          QStringLiteral("serve: the address to listen on (default 127.0.0.1; any other needs "
                         "a token)."),
          QStringLiteral("ADDRESS") },
        { QStringLiteral("token"),
          QStringLiteral("serve: the token every request must carry (default: none on "
                         "127.0.0.1, else one made up and printed)."),
          QStringLiteral("T") },
        { QStringLiteral("allow-write"),
          QStringLiteral("serve: storing an average and editing test info too (POST, with "
                         "the token); takes the data folder as a store does.") },
        { QStringLiteral("decimal-comma"),
          QStringLiteral("export: 67,5 in CSV cells, parted by ;.") },
    };
    parser.addOptions({ versionOption, dataOption, configOption, verboseOption, jsonOption,
                        generateOption, waitOption, noWaitOption });
    parser.addOptions(commandOptions);
    parser.addPositionalArgument(QStringLiteral("command"), commandNames());
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(ExitUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitOk);
    if (parser.isSet(versionOption)) {
        out() << "xrfresults " << QCoreApplication::applicationVersion() << '\n';
        return ExitOk;
    }

    const QStringList args = parser.positionalArguments();
    const QString name = args.value(0);
    const QStringList rest = args.mid(1);
    if (name.isEmpty())
        return fail(ExitUsage, QStringLiteral("no command; see --help"));
    const Command *command = findCommand(name);
    if (!command)
        return fail(ExitUsage, QStringLiteral("unknown command '%1'; see --help").arg(name));
    auto notTaken = [&](const QCommandLineOption &option) {
        return parser.isSet(option) && !command->options.contains(option.names().constLast());
    };
    if (notTaken(jsonOption) || notTaken(generateOption))
        return fail(ExitUsage, QStringLiteral("option not valid with '%1'").arg(name));
    bool waitOk = false;
    const int waitSeconds = parser.value(waitOption).toInt(&waitOk);
    if (!waitOk || waitSeconds <= 0)
        return fail(ExitUsage,
                    QStringLiteral("--wait needs a number of seconds, not '%1'")
                            .arg(parser.value(waitOption)));
    // After the value of --wait: a bad number is said first.
    if (notTaken(waitOption))
        return fail(ExitUsage, QStringLiteral("option not valid with '%1'").arg(name));
    for (const QCommandLineOption &option : commandOptions)
        if (notTaken(option))
            return fail(ExitUsage,
                        QStringLiteral("--%1 not valid with '%2'")
                                .arg(option.names().constLast(), name));
    if (!command->needsArguments.isEmpty() && rest.isEmpty())
        return fail(ExitUsage, command->needsArguments);

    // Paths are taken from where they were typed; the host later works in
    // the data folder, where the queue lives.
    const QDir typedIn = QDir::current();
    auto typed = [&typedIn](const QString &path) {
        return path.isEmpty() ? path : QDir::cleanPath(typedIn.absoluteFilePath(path));
    };
    CommandContext context;
    context.args = rest;
    for (const QString &path : rest)
        context.paths << typed(path);
    context.json = parser.isSet(jsonOption);
    context.generate = parser.value(generateOption).toInt();
    for (const QCommandLineOption &option : commandOptions)
        if (parser.isSet(option))
            context.options.insert(option.names().constLast(), parser.value(option));
    for (const QString &option : { QStringLiteral("out"), QStringLiteral("sqlite") })
        if (context.options.contains(option))
            context.options.insert(option, typed(context.options.value(option)));
    context.samplesDir = shareDir.isEmpty() ? QStringLiteral(XRF_SOURCE_DIR "/samples")
                                            : shareDir + QStringLiteral("/samples");
    if (command->library == Command::NoLibrary)
        return command->run(context);

    QTemporaryDir demoDir(QDir::tempPath() + QStringLiteral("/xrfresults-demo-XXXXXX"));
    QString dataDir = parser.value(dataOption);
    if (dataDir.isEmpty() && command->library == Command::StoresInNewFolder) {
        if (!demoDir.isValid())
            return fail(ExitUsage, QStringLiteral("cannot create a temporary data folder"));
        demoDir.setAutoRemove(false);
        dataDir = demoDir.path();
    } else if (dataDir.isEmpty()) {
        dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    }
    dataDir = typed(dataDir);
    // A viewer that may write is a writer like any other.
    const bool writingViewer = command->library == Command::ReadsBeside
            && context.options.contains(QStringLiteral("allow-write"));
    const bool readsBeside = command->library == Command::ReadsBeside && !writingViewer;
    const bool storing = command->stores() || writingViewer;
    if (storing && !QDir().mkpath(dataDir))
        return fail(ExitLibrary, QStringLiteral("cannot create the data folder ") + dataDir);
    if (!storing && !QFileInfo(dataDir).isDir())
        return fail(ExitLibrary, QStringLiteral("no data folder ") + dataDir);
    // Test hook, as the library's XRF_CRASH_POINT: the free space the
    // library sees, in bytes, so that a full card can be tried on any disk.
    const QByteArray freeSpace = qgetenv("XRF_FREE_SPACE_OVERRIDE");
    if (!freeSpace.isEmpty())
        XrfUtils::setAvailableSpaceOverride(freeSpace.toLongLong());
    // A command that only reads the database reads beside a writer (the
    // file keeps a write-ahead log), so it neither takes nor waits for the lock.
    QLockFile lock(dataDir + QStringLiteral("/xrfresults.lock"));
    if (!readsBeside) {
        const int locked = lockDataFolder(lock, dataDir, storing, !parser.isSet(noWaitOption));
        if (locked != ExitOk)
            return locked;
    }
    startLog(dataDir, parser.isSet(verboseOption));

    // Nor does it write the database: a writer beside it commits undisturbed.
    if (readsBeside)
        XrfResultManager::instance()->setReadOnly(true);
    XrfHost host(dataDir, typed(parser.value(configOption)),
                 storing ? XrfHost::Storing : XrfHost::ReadOnly);
    host.setWaitSeconds(waitSeconds);
    QString error;
    XrfErrorInfo::XrfError code = XrfErrorInfo::NoError;
    if (!host.start(&error, &code))
        return fail(code == XrfErrorInfo::NoError ? ExitUsage : ExitLibrary,
                    error + (code == XrfErrorInfo::NoError ? QString() : codeText(code)));

    context.host = &host;
    const int exitCode = command->run(context);
    out().flush();
    host.stop();
    return exitCode;
}
