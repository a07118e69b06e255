#ifndef COMMANDS_H
#define COMMANDS_H

// The commands of xrfresults: one table feeds both --help and the dispatch.
// A new command is one row here and its function in the file of its group.
//
// Exit codes: 0 success, 1 usage, 2 library error or unusable data folder
// (a store that waited too long too; for push also the server), 3 bad input
// file (for push: results the server refused).

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include "xrferrorinfo.h"

class XrfHost;

enum ExitCode { ExitOk = 0, ExitUsage = 1, ExitLibrary = 2, ExitBadInput = 3 };

// What a command gets to run with.
struct CommandContext
{
    // Started on the data folder; null for a command that needs no library.
    XrfHost *host = nullptr;
    // The arguments after the command, as typed and as absolute paths from
    // where they were typed.
    QStringList args;
    QStringList paths;
    bool json = false;
    int generate = 0;
    // The command's own options that were given, by long name; a switch
    // has an empty value.
    QMap<QString, QString> options;
    QString samplesDir;
};

struct Command
{
    // What a command needs of the library and the data folder.
    enum Library {
        NoLibrary,
        // Works on a read-only card.
        Reads,
        // As Reads, and opens the database for reading only: takes no lock
        // on the data folder, so it never waits for a store, an import or a
        // deletion, and never holds up their commits.
        ReadsBeside,
        // Needs a writable data folder and the queue.
        Stores,
        // As Stores; without --data, in a new temporary folder.
        StoresInNewFolder,
    };

    QString name;
    QString synopsis;
    QString summary;
    Library library;
    // The command-specific options it takes, by long name.
    QStringList options;
    // Said when the command is given no arguments; empty when it needs none.
    QString needsArguments;
    int (*run)(const CommandContext &context);

    bool stores() const { return library == Stores || library == StoresInNewFolder; }
};

const QList<Command> &commands();
const Command *findCommand(const QString &name);
// The "Commands:" part of --help, and the names for the positional argument.
QString commandsHelp();
QString commandNames();

QTextStream &out();
int fail(ExitCode code, const QString &what);
QString codeText(XrfErrorInfo::XrfError code);
// A stored UTC text ("yyyy-MM-dd hh:mm:ss.zzz") in local wall-clock time,
// or as it is when it is not of that form (browsecommands.cpp).
QString localDateTime(const QString &stored);

// store and generate (storecommands.cpp)
int runStore(const CommandContext &context);
int runGenerate(const CommandContext &context);
// show and info (showcommands.cpp)
int runShow(const CommandContext &context);
int runInfo(const CommandContext &context);
int showResult(const QString &idText, bool json);
// upgrade (upgradecommand.cpp)
int runUpgrade(const CommandContext &context);
// sync-out and import (exchangecommands.cpp)
int runSyncOut(const CommandContext &context);
int runImport(const CommandContext &context);
// push (pushcommand.cpp)
int runPush(const CommandContext &context);
// demo (democommand.cpp)
int runDemo(const CommandContext &context);
// list, calendar, delete, average and edit-info (browsecommands.cpp)
int runList(const CommandContext &context);
int runCalendar(const CommandContext &context);
int runDelete(const CommandContext &context);
int runAverage(const CommandContext &context);
int runEditInfo(const CommandContext &context);
// serve (servecommand.cpp)
int runServe(const CommandContext &context);
// export (exportcommand.cpp), which the demo uses too
int runExport(const CommandContext &context);
// The method's export settings; formats ("csv,pdf") replace its file types,
// and a method that names none exports CSV.
QJsonObject methodExportSettings(const QString &formats);
// The folder, made when missing, as the default export folder.
int useExportFolder(const QString &folder);
// Asks for an export (request 119) with a progress bar on a terminal; on a
// failure says why and returns the exit code.
int requestExport(const QJsonObject &params, QJsonObject *answer);
// Every file an export's answer names: its files, then its pictures.
QStringList exportedFiles(const QJsonObject &answer);

#endif // COMMANDS_H
