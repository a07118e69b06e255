#include "testsupport.h"

#include <algorithm>

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "xrfsettingsmanager.h"

namespace TestSupport {

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

bool writeJsonLines(const QString &path, const QList<QJsonObject> &results, int repeat)
{
    QByteArray lines;
    for (int i = 0; i < repeat; ++i)
        for (const QJsonObject &result : results)
            lines += QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n';
    return writeFile(path, lines);
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

QStringList databaseFolder(const QString &folder)
{
    QStringList files;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name))
        if (!name.endsWith(QLatin1String(".sqlite-wal"))
            && !name.endsWith(QLatin1String(".sqlite-shm")))
            files << name;
    return files;
}

QDateTime utc(const QString &text)
{
    // Date and time apart: read as local time, a wall clock in a
    // daylight-saving gap would be moved.
    return QDateTime(QDate::fromString(text.left(10), "yyyy-MM-dd"),
                     QTime::fromString(text.mid(11), "hh:mm:ss.zzz"), Qt::UTC);
}

QString tidNameOf(const QJsonObject &result)
{
    return result.value("analysis").toObject().value("tidName").toString();
}

int runTool(const QString &program, const QStringList &args, QByteArray *output)
{
    QProcess process;
    process.start(program, args);
    const bool ended = process.waitForFinished(60000);
    if (output)
        *output = process.readAllStandardOutput();
    return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString toolOutput(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return QStringLiteral("(%1 failed: %2)").arg(program, process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput());
}

QList<QStringList> csvRows(const QString &path, const QString &delimiter)
{
    QByteArray json;
    runTool("python3",
            { "-c",
              "import csv, json, sys\n"
              "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
              "    json.dump(list(csv.reader(f, delimiter=sys.argv[2], strict=True)), "
              "sys.stdout)\n",
              path, delimiter },
            &json);
    QList<QStringList> rows;
    for (const QJsonValue &row : QJsonDocument::fromJson(json).array()) {
        QStringList cells;
        for (const QJsonValue &cell : row.toArray())
            cells << cell.toString();
        rows << cells;
    }
    return rows;
}

QString debianPython()
{
    const QString debian = QStringLiteral("/usr/bin/python3");
    return QFileInfo(debian).isExecutable() ? debian : QStringLiteral("python3");
}

bool pythonHas(const QString &module)
{
    return runTool(debianPython(),
                   { "-c",
                     "import importlib.util, sys\n"
                     "sys.exit(importlib.util.find_spec(sys.argv[1]) is None)\n",
                     module })
            == 0;
}

void configureInstrument(const QString &serial, const QString &tubeAnode)
{
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->clear();
    QJsonObject config { { QStringLiteral("insSerialNumber"), serial } };
    if (!tubeAnode.isEmpty())
        config.insert(QStringLiteral("tubeAnode"), tubeAnode);
    settings->setUniversalSetting(QStringLiteral("hardware.config"), config);
}

namespace {
    // Hands a private connection to the file to `use`; the connection is
    // removed again before this returns.
    template<class Use>
    void withConnection(const QString &dbFile, bool readOnly, Use use)
    {
        static QAtomicInt counter;
        const QString name = QStringLiteral("testsupport-%1").arg(counter.fetchAndAddRelaxed(1));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(dbFile);
            if (readOnly)
                db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (db.open())
                use(db);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
} // namespace

bool execSqlite(const QString &dbFile, const QStringList &statements)
{
    bool ok = false;
    withConnection(dbFile, false, [&](QSqlDatabase &db) {
        ok = std::all_of(statements.begin(), statements.end(),
                         [&](const QString &statement) { return QSqlQuery(db).exec(statement); });
    });
    return ok;
}

QVariantList querySqlite(const QString &dbFile, const QString &sql)
{
    QVariantList rows;
    withConnection(dbFile, true, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        if (q.exec(sql)) {
            while (q.next())
                rows << q.value(0);
        }
    });
    return rows;
}

QList<int> queryInts(const QString &dbFile, const QString &sql)
{
    QList<int> values;
    for (const QVariant &v : querySqlite(dbFile, sql))
        values << v.toInt();
    std::sort(values.begin(), values.end());
    return values;
}

} // namespace TestSupport
