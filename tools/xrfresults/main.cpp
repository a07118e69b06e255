// xrfresults: the command-line host of the result manager. It uses the
// library as the analyser's application does: the public facade, its signals
// and the services' configuration folder.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

#include "resultmanager.h"
#include "xrfplatform.h"
#include "xrfservices.h"

namespace {

enum ExitCode { ExitOk = 0, ExitUsage = 1, ExitLibrary = 2, ExitBadInput = 3 };

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(ExitCode code, const QString &what)
{
    QTextStream(stderr) << "xrfresults: " << what << '\n';
    return code;
}

QString libraryError(XrfErrorInfo::XrfError code)
{
    return QStringLiteral("%1 %2").arg(int(code)).arg(XrfErrorInfo::errorName(code));
}

// Starts the library on a data folder: instrument data under DIR, the
// profile (day record) under DIR/profile.
int runDemo(const QString &dataDir, const QString &configDir)
{
    QString error;
    if (!XrfServices::loadConfiguration(configDir, &error))
        return fail(ExitBadInput, QStringLiteral("configuration: ") + error);

    if (!QDir().mkpath(dataDir + QStringLiteral("/profile")))
        return fail(ExitUsage, QStringLiteral("cannot create data folder ") + dataDir);
    XrfPlatform::instance()->setInstrumentDataPath(dataDir);

    XrfResultManager *rm = XrfResultManager::instance();
    QObject::connect(rm, &XrfResultManager::dbInfo, [](const QJsonObject &info) {
        out() << "dbInfo: " << QJsonDocument(info).toJson(QJsonDocument::Compact) << '\n';
    });
    const XrfErrorInfo::XrfError initCode = rm->init();
    if (initCode != XrfErrorInfo::NoError) {
        rm->Deinit();
        return fail(ExitLibrary, QStringLiteral("init failed: ") + libraryError(initCode));
    }
    rm->setPaths(dataDir + QStringLiteral("/profile/"), dataDir);

    int lastTestId = -1;
    rm->getLastTestID(&lastTestId);
    const bool open = rm->testIdExists(lastTestId) || lastTestId == 0;
    const QDir dbDir(dataDir + QStringLiteral("/db"));
    const QStringList files = dbDir.entryList({ QStringLiteral("*.sqlite") }, QDir::Files);
    out() << "data folder:   " << QDir::cleanPath(dataDir) << '\n';
    for (const QString &f : files)
        out() << "database file: " << QDir::cleanPath(dbDir.absoluteFilePath(f)) << " ("
              << QFileInfo(dbDir.absoluteFilePath(f)).size() << " bytes)\n";
    out() << "last test id:  " << lastTestId << '\n';
    out().flush();
    rm->Deinit();
    if (!open || files.isEmpty())
        return fail(ExitLibrary, QStringLiteral("the results database did not open"));
    return ExitOk;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("xrfresults"));
    QCoreApplication::setApplicationVersion(QStringLiteral(XRF_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Result manager of an XRF analyser, from the command line.\n\n"
                           "Commands:\n  demo   start the library on a fresh data folder"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption dataOption(QStringLiteral("data"), QStringLiteral("Instrument data folder."),
                                  QStringLiteral("DIR"));
    QCommandLineOption configOption(QStringLiteral("config"),
                                    QStringLiteral("Folder of the services' JSON files."),
                                    QStringLiteral("DIR"), QStringLiteral(XRF_DEFAULT_CONFIG_DIR));
    parser.addOption(dataOption);
    parser.addOption(configOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("demo"));
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(ExitUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(ExitOk);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0, QStringLiteral("demo"));
    if (command != QLatin1String("demo"))
        return fail(ExitUsage, QStringLiteral("unknown command '%1'").arg(command));

    QTemporaryDir tempData(QDir::tempPath() + QStringLiteral("/xrfresults-demo-XXXXXX"));
    QString dataDir = parser.value(dataOption);
    if (dataDir.isEmpty()) {
        if (!tempData.isValid())
            return fail(ExitUsage, QStringLiteral("cannot create a temporary data folder"));
        tempData.setAutoRemove(false);
        dataDir = tempData.path();
    }
    return runDemo(QDir(dataDir).absolutePath(), parser.value(configOption));
}
