#include "commands.h"

const QList<Command> &commands()
{
    static const QList<Command> table {
        { QStringLiteral("store"),
          QStringLiteral("store FILE|DIR..."),
          QStringLiteral("queue result files and wait until they are stored"),
          Command::Stores,
          { QStringLiteral("wait") },
          QStringLiteral("store needs at least one file or folder"),
          runStore },
        { QStringLiteral("show"),
          QStringLiteral("show ID [--json]"),
          QStringLiteral("one stored result"),
          Command::Reads,
          { QStringLiteral("json") },
          QString(),
          runShow },
        { QStringLiteral("info"),
          QStringLiteral("info"),
          QStringLiteral("the database, the queue and the free space"),
          Command::Reads,
          {},
          QString(),
          runInfo },
        { QStringLiteral("demo"),
          QStringLiteral("demo [--generate N]"),
          QStringLiteral("store the samples and N generated results"),
          Command::StoresInNewFolder,
          { QStringLiteral("generate"), QStringLiteral("wait") },
          QString(),
          runDemo },
        { QStringLiteral("generate"),
          QStringLiteral("generate N DIR"),
          QStringLiteral("write N generated result files"),
          Command::NoLibrary,
          {},
          QString(),
          runGenerate },
    };
    return table;
}

const Command *findCommand(const QString &name)
{
    for (const Command &command : commands())
        if (command.name == name)
            return &command;
    return nullptr;
}

QString commandsHelp()
{
    QStringList lines { QStringLiteral("Commands:") };
    for (const Command &command : commands())
        lines << QStringLiteral("  ") + command.synopsis.leftJustified(19) + QLatin1Char(' ')
                        + command.summary;
    return lines.join(QLatin1Char('\n'));
}

QString commandNames()
{
    QStringList names;
    for (const Command &command : commands())
        names << command.name;
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

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
