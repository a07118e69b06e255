// Measures `xrfresults push` into a PostgreSQL server of its own, side by
// side with psql's COPY of the very rows the push stored (into an empty
// database of the same schema, one transaction); and the push's peak
// resident memory with 1,000 and with COUNT results stored. Cards are made
// from one stored result copied in SQL, as browsebench does.
//
//     pushbench XRFRESULTS [COUNT]      (COUNT: 10000)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "benchsupport.h"
#include "resultschema.h"
#include "scratchpostgres.h"

namespace {

struct ChildRun
{
    int exitCode = -1;
    double seconds = 0;
    double peakMb = 0;
};

// Run to its end with stdout discarded; its own peak RSS from wait4.
ChildRun runChild(const QStringList &args, const QProcessEnvironment &env)
{
    QList<QByteArray> argBytes;
    for (const QString &a : args)
        argBytes << a.toLocal8Bit();
    QList<QByteArray> envBytes;
    for (const QString &e : env.toStringList())
        envBytes << e.toLocal8Bit();
    QVector<char *> argv;
    for (QByteArray &a : argBytes)
        argv << a.data();
    argv << nullptr;
    QVector<char *> envp;
    for (QByteArray &e : envBytes)
        envp << e.data();
    envp << nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ChildRun run;
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv.first(), &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        rusage usage {};
        if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status))
            run.exitCode = WEXITSTATUS(status);
        run.peakMb = usage.ru_maxrss / 1024.0;
    }
    run.seconds = clock.elapsed() / 1000.0;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

// A data folder holding `count` results: the first stored, the rest copies.
bool makeCard(const XrfKorviResult &result, const QString &dataDir, int count)
{
    storeThroughFacade({ result }, dataDir);
    const QString file = dataDir + QStringLiteral("/db/XL5-70312.sqlite");
    if (!QFile::exists(file))
        return false;
    withFile(file,
             [&](QSqlDatabase &db) { replicate(db, count, dataDir + QStringLiteral("/images/")); });
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: pushbench XRFRESULTS [COUNT]\n";
        return 1;
    }
    const QString xrfresults = args.at(1);
    const int count = args.value(2, QStringLiteral("10000")).toInt();
    QTemporaryDir dir;
    QList<XrfKorviResult> input;
    if (!benchInput({ args.at(0), xrfresults, QStringLiteral("1") }, dir.filePath("input"), &input))
        return 1;

    ScratchPostgres server;
    QString error;
    if (!server.start({}, &error)) {
        QTextStream(stderr) << "pushbench: " << error << '\n';
        return 2;
    }
    const QString psql = ScratchPostgres::binDir() + QStringLiteral("/psql");
    const QProcessEnvironment env = server.environment();
    auto sql = [&](const QString &database, const QStringList &commands) {
        QStringList call { psql,
                           QStringLiteral("-X"),
                           QStringLiteral("-q"),
                           QStringLiteral("-v"),
                           QStringLiteral("ON_ERROR_STOP=1"),
                           QStringLiteral("-1"),
                           server.socketUrl(database) };
        for (const QString &c : commands)
            call << QStringLiteral("-c") << c;
        return runChild(call, env);
    };
    // Outside a transaction: no -1.
    for (const char *database : { "small", "large", "copied" })
        runChild({ psql, QStringLiteral("-X"), QStringLiteral("-q"),
                   server.socketUrl(QStringLiteral("postgres")), QStringLiteral("-c"),
                   QStringLiteral("CREATE DATABASE %1").arg(QLatin1String(database)) },
                 env);

    const int small = qMin(1000, count);
    if (!makeCard(input.first(), dir.filePath("small"), small)
        || !makeCard(input.first(), dir.filePath("large"), count)) {
        QTextStream(stderr) << "pushbench: cannot make the cards\n";
        return 2;
    }
    auto push = [&](const QString &data, const QString &database) {
        return runChild({ xrfresults, QStringLiteral("--data"), dir.filePath(data),
                          QStringLiteral("push"), QStringLiteral("--to"),
                          server.socketUrl(database) },
                        env);
    };
    const ChildRun pushSmall = push(QStringLiteral("small"), QStringLiteral("small"));
    const ChildRun pushLarge = push(QStringLiteral("large"), QStringLiteral("large"));
    const ChildRun again = push(QStringLiteral("large"), QStringLiteral("large"));
    // The schema and the instrument's row of the copy come from a push of
    // a card without results.
    QDir().mkpath(dir.filePath("empty"));
    const ChildRun empty = push(QStringLiteral("empty"), QStringLiteral("copied"));
    if (pushSmall.exitCode != 0 || pushLarge.exitCode != 0 || empty.exitCode != 0) {
        QTextStream(stderr) << "pushbench: a push failed\n";
        return 2;
    }

    QStringList tables { QStringLiteral("analysisresult") };
    for (const ResultSchema::Table &t : ResultSchema::tables())
        if (t.name != XrfTables::analysisResult && t.name != XrfTables::devInfo)
            tables << t.name;
    QStringList dumps;
    QStringList loads;
    for (const QString &t : tables) {
        const QString file = dir.filePath(t + QStringLiteral(".copy"));
        dumps << QStringLiteral("\\copy %1 TO '%2'").arg(t, file);
        loads << QStringLiteral("\\copy %1 FROM '%2'").arg(t, file);
    }
    if (sql(QStringLiteral("large"), dumps).exitCode != 0) {
        QTextStream(stderr) << "pushbench: the rows cannot be dumped\n";
        return 2;
    }
    const ChildRun copy = sql(QStringLiteral("copied"), loads);
    if (copy.exitCode != 0) {
        QTextStream(stderr) << "pushbench: COPY failed\n";
        return 2;
    }

    QProcess size;
    size.setProcessEnvironment(env);
    size.start(psql,
               { QStringLiteral("-X"), QStringLiteral("-At"),
                 server.socketUrl(QStringLiteral("large")), QStringLiteral("-c"),
                 QStringLiteral("SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c JOIN "
                                "pg_namespace n ON n.oid = c.relnamespace WHERE "
                                "n.nspname = 'public' AND c.relkind = 'r'") });
    size.waitForFinished();
    const double bytes = size.readAllStandardOutput().trimmed().toDouble();

    const double copyRate = count / copy.seconds;
    out << rateRow(QStringLiteral("psql COPY of the pushed rows, %1 results").arg(count), copyRate,
                   0);
    out << rateRow(QStringLiteral("xrfresults push, %1 results").arg(count),
                   count / pushLarge.seconds, copyRate);
    out << rateRow(QStringLiteral("xrfresults push again, all there"), count / again.seconds,
                   copyRate);
    out << QStringLiteral("push takes %1x the time of COPY (target: at most 3x)\n")
                    .arg(pushLarge.seconds / copy.seconds, 0, 'f', 2);
    out << QStringLiteral("peak RSS of the push: %1 MB with %2 results, %3 MB with %4\n")
                    .arg(pushSmall.peakMb, 0, 'f', 1)
                    .arg(small)
                    .arg(pushLarge.peakMb, 0, 'f', 1)
                    .arg(count);
    out << QStringLiteral("on the server: %1 kB per result, tables and indices\n")
                    .arg(bytes / count / 1024, 0, 'f', 1);
    return 0;
}
