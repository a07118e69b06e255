#include "testsupport.h"

#include <algorithm>

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
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

} // namespace TestSupport
