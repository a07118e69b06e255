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
          Command::ReadsBeside,
          { QStringLiteral("json") },
          QString(),
          runShow },
        { QStringLiteral("info"),
          QStringLiteral("info"),
          QStringLiteral("the database, the queue and the free space"),
          Command::ReadsBeside,
          {},
          QString(),
          runInfo },
        { QStringLiteral("list"),
          QStringLiteral("list [--day D | --latest N | --from T --to T | --search TEXT] [--json]"),
          QStringLiteral("tests of a local day, the latest N (20), between two times or "
                         "holding a text"),
          Command::ReadsBeside,
          { QStringLiteral("day"), QStringLiteral("latest"), QStringLiteral("from"),
            QStringLiteral("to"), QStringLiteral("search"), QStringLiteral("json") },
          QString(),
          runList },
        { QStringLiteral("calendar"),
          QStringLiteral("calendar [--json]"),
          QStringLiteral("the local days that hold tests, and the number stored"),
          Command::ReadsBeside,
          { QStringLiteral("json") },
          QString(),
          runCalendar },
        { QStringLiteral("delete"),
          QStringLiteral("delete --ids L | --day D | --all [--yes] [--json]"),
          QStringLiteral("delete stored results, after confirmation"),
          Command::Stores,
          { QStringLiteral("ids"), QStringLiteral("day"), QStringLiteral("all"),
            QStringLiteral("yes"), QStringLiteral("json") },
          QString(),
          runDelete },
        { QStringLiteral("average"),
          QStringLiteral("average ID ID... [--name N] [--store] [--json]"),
          QStringLiteral("the average of stored results; with --store, stored as well"),
          Command::Stores,
          { QStringLiteral("name"), QStringLiteral("store"), QStringLiteral("json") },
          QStringLiteral("average needs at least two test ids"),
          runAverage },
        { QStringLiteral("edit-info"),
          QStringLiteral("edit-info ID LABEL VALUE [--json]"),
          QStringLiteral("set one test info entry of a stored test"),
          Command::Stores,
          { QStringLiteral("json") },
          QStringLiteral("edit-info needs a test id, a label and a value"),
          runEditInfo },
        { QStringLiteral("export"),
          QStringLiteral("export [--ids L | --day D | --all] [--format F] [--out DIR] [--zip]"),
          QStringLiteral("stored results as JSON, CSV, PDF or MSA files"),
          Command::ReadsBeside,
          { QStringLiteral("ids"), QStringLiteral("day"), QStringLiteral("from"),
            QStringLiteral("to"), QStringLiteral("all"), QStringLiteral("format"),
            QStringLiteral("zip"), QStringLiteral("out"), QStringLiteral("location"),
            QStringLiteral("template"), QStringLiteral("csv-separator"),
            QStringLiteral("decimal-comma"), QStringLiteral("json") },
          QString(),
          runExport },
        { QStringLiteral("upgrade"),
          QStringLiteral("upgrade [--json]"),
          QStringLiteral("upgrade an older results database, say the versions"),
          Command::Reads,
          { QStringLiteral("json") },
          QString(),
          runUpgrade },
        { QStringLiteral("sync-out"),
          QStringLiteral("sync-out --from T (--sqlite FILE | --json FILE) [--to T] [--ids L] "
                         "[--limit N]"),
          QStringLiteral("results after a time for a PC: a mini database or a JSON stream"),
          Command::ReadsBeside,
          { QStringLiteral("from"), QStringLiteral("sqlite"), QStringLiteral("json"),
            QStringLiteral("to"), QStringLiteral("ids"), QStringLiteral("limit") },
          QString(),
          runSyncOut },
        { QStringLiteral("import"),
          QStringLiteral("import FILE [--json]"),
          QStringLiteral("the results of a mini database or a JSON stream not stored yet"),
          Command::Stores,
          { QStringLiteral("json") },
          QStringLiteral("import needs a file"),
          runImport },
        { QStringLiteral("push"),
          QStringLiteral("push --to URL [--dry-run] [--batch N]"),
          QStringLiteral("the results not there yet into the lab's PostgreSQL database"),
          Command::Reads,
          { QStringLiteral("to"), QStringLiteral("dry-run"), QStringLiteral("batch") },
          QString(),
          runPush },
        { QStringLiteral("serve"),
          QStringLiteral("serve [--port N] [--bind ADDRESS] [--token T] [--allow-write]"),
          QStringLiteral("a read-only web viewer of the results, until Ctrl-C"),
          Command::ReadsBeside,
          { QStringLiteral("port"), QStringLiteral("bind"), QStringLiteral("token"),
            QStringLiteral("allow-write") },
          QString(),
          runServe },
        { QStringLiteral("demo"),
          QStringLiteral("demo [--generate N] [--out DIR]"),
          QStringLiteral("store the samples and N generated results, export them"),
          Command::StoresInNewFolder,
          { QStringLiteral("generate"), QStringLiteral("wait"), QStringLiteral("out") },
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
    const int column = 20;
    for (const Command &command : commands()) {
        // A long synopsis gets a line of its own, the summary under the column.
        if (command.synopsis.size() < column) {
            lines << QStringLiteral("  ") + command.synopsis.leftJustified(column - 1)
                            + QLatin1Char(' ') + command.summary;
        } else {
            lines << QStringLiteral("  ") + command.synopsis;
            lines << QString(column + 2, QLatin1Char(' ')) + command.summary;
        }
    }
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
