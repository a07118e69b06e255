#include "testsupport.h"

#include <QAtomicInt>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "xrfsettingsmanager.h"

namespace TestSupport {

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
    QString newConnectionName()
    {
        static QAtomicInt counter;
        return QStringLiteral("testsupport-%1").arg(counter.fetchAndAddRelaxed(1));
    }
} // namespace

bool execSqlite(const QString &dbFile, const QStringList &statements)
{
    const QString name = newConnectionName();
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbFile);
        if (db.open()) {
            ok = true;
            for (const QString &statement : statements) {
                QSqlQuery q(db);
                if (!q.exec(statement)) {
                    ok = false;
                    break;
                }
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

QVariantList querySqlite(const QString &dbFile, const QString &sql)
{
    const QString name = newConnectionName();
    QVariantList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbFile);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql)) {
                while (q.next())
                    rows << q.value(0);
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

} // namespace TestSupport
