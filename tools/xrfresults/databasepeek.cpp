#include "databasepeek.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <functional>

namespace DatabasePeek {

namespace {

    // Runs `query` on a read-only connection of its own; false when the file
    // could not be opened or the query failed.
    bool peek(const QString &file, const QString &sql, const std::function<void(QSqlQuery &)> &rows)
    {
        const QString name = QStringLiteral("xrfresults-peek");
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(file);
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (db.open()) {
                QSqlQuery q(db);
                ok = q.exec(sql);
                if (ok)
                    rows(q);
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        return ok;
    }

    QVariant firstValue(const QString &file, const QString &sql)
    {
        QVariant value;
        peek(file, sql, [&value](QSqlQuery &q) {
            if (q.next())
                value = q.value(0);
        });
        return value;
    }

} // namespace

QString databaseFile(const QString &dataDir)
{
    const QDir db(dataDir + QStringLiteral("/db"));
    const QStringList files = db.entryList({ QStringLiteral("*.sqlite") }, QDir::Files);
    return files.isEmpty() ? QString() : db.absoluteFilePath(files.first());
}

QString databaseId(const QString &file)
{
    return firstValue(file, QStringLiteral("SELECT dbId FROM devinfo")).toString();
}

int storedResultCount(const QString &file)
{
    return firstValue(file, QStringLiteral("SELECT count(*) FROM analysisresult")).toInt();
}

bool imageNames(const QString &file, QSet<QString> *names)
{
    return peek(file, QStringLiteral("SELECT fileName FROM imageresult"), [names](QSqlQuery &q) {
        while (q.next())
            names->insert(q.value(0).toString());
    });
}

} // namespace DatabasePeek
