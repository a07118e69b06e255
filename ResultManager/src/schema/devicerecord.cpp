// There is at most one device row, and reading it makes it when it is
// missing: every caller that needs the serial, model or anode gets a row
// behind them. The settings win over the row: an instrument whose serial
// changed takes the row over. Only storedVersion() and describe() read
// without writing, since they run on files that may still be upgraded or
// only looked at.
//
// Plain and built per call over the caller's connection, like the other
// rooms; values are quoted with sqlQuote(), never spliced raw.

#include "devicerecord.h"

#include <QDebug>
#include <QJsonValue>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include "resultbinding.h"
#include "resultschema.h"
#include "sqltext.h"
#include "xrfsettingsmanager.h"

using SqlText::sqlQuote;

DeviceRecord::DeviceRecord(const QSqlDatabase &db) : m_db(db) { }

QString DeviceRecord::configuredSerial()
{
    QJsonObject config;
    if (XrfSettingsManager::instance()->getUniversalSetting(QStringLiteral("hardware.config"),
                                                            &config)
        == 0) {
        const QJsonValue serial = config.value(QStringLiteral("insSerialNumber"));
        if (serial.isString())
            return serial.toString();
    }
    return QStringLiteral("123456");
}

void DeviceRecord::readConfiguration(QString &serial, QString &model, QString &anode)
{
    XrfSettingsManager *settings = XrfSettingsManager::instance();
    QJsonObject config;
    if (settings->getUniversalSetting(QStringLiteral("hardware.config"), &config) == 0) {
        if (config.value(QStringLiteral("insSerialNumber")).isString())
            serial = config.value(QStringLiteral("insSerialNumber")).toString();
        if (config.value(QStringLiteral("tubeAnode")).isString())
            anode = config.value(QStringLiteral("tubeAnode")).toString();
    }
    QJsonObject modelGroup;
    if (settings->getUniversalSetting(QStringLiteral("hardware.instrumentModel"), &modelGroup) == 0
        && !modelGroup.isEmpty()) {
        model = modelGroup.value(QStringLiteral("model")).toString();
    }
}

XrfErrorInfo::XrfError DeviceRecord::read(QString &dbId, QString &dbVersion, QString &serial,
                                          QString &model, QString &anode)
{
    readConfiguration(serial, model, anode);
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("select dbId,dbVersion,devSerialNum,model,tubeAnode from ")
           + XrfTables::devInfo + QStringLiteral(";"));
    if (q.next()) {
        dbId = q.value(0).toString();
        dbVersion = q.value(1).toString();
        const QString rowSerial = q.value(2).toString();
        if (serial.isEmpty()) {
            serial = rowSerial;
            model = q.value(3).toString();
            anode = q.value(4).toString();
        } else if (serial != rowSerial) {
            q.finish();
            QSqlQuery update(m_db);
            update.exec(QStringLiteral("UPDATE ") + XrfTables::devInfo
                        + QStringLiteral(" SET devSerialNum=") + sqlQuote(serial)
                        + QStringLiteral(",model=") + sqlQuote(model)
                        + QStringLiteral(",tubeAnode=") + sqlQuote(anode)
                        + QStringLiteral(" WHERE devSerialNum=") + sqlQuote(rowSerial)
                        + QStringLiteral(";"));
        }
        return XrfErrorInfo::NoError;
    }
    q.finish();

    if (serial.isEmpty()) {
        serial = QStringLiteral(" ");
        model = QStringLiteral(" ");
        anode = QStringLiteral(" ");
    }
    const QString newId = insert(serial, model, anode);
    if (newId.isEmpty())
        return XrfErrorInfo::DbQueryFailed;
    dbId = newId;
    dbVersion = ResultSchema::version;
    return XrfErrorInfo::NoError;
}

void DeviceRecord::ensure()
{
    QString dbId, dbVersion, serial, model, anode;
    read(dbId, dbVersion, serial, model, anode);
    if (dbId.isEmpty()) {
        // No row could be made above; try once more with what the settings
        // know now.
        if (serial.isEmpty())
            readConfiguration(serial, model, anode);
        if (!serial.isEmpty())
            insert(serial, model, anode);
    }
}

QString DeviceRecord::insert(const QString &serial, const QString &model, const QString &anode)
{
    const QString newId = QUuid::createUuid().toString();
    QSqlQuery insert(m_db);
    if (!insert.exec(QStringLiteral("INSERT into ") + XrfTables::devInfo
                     + QStringLiteral(" (dbId,dbVersion,devSerialNum,model,tubeAnode) VALUES (")
                     + sqlQuote(newId) + ',' + sqlQuote(ResultSchema::version) + ','
                     + sqlQuote(serial) + ',' + sqlQuote(model) + ',' + sqlQuote(anode)
                     + QStringLiteral(");"))) {
        qDebug() << "SQL Query failed: " << insert.lastError().text();
        return QString();
    }
    return newId;
}

QString DeviceRecord::storedVersion()
{
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("SELECT dbVersion FROM ") + XrfTables::devInfo) && q.next())
        return q.value(0).toString();
    return QString();
}

void DeviceRecord::describe(QJsonObject *info)
{
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("SELECT dbId,dbVersion,devSerialNum FROM ") + XrfTables::devInfo)
        && q.next()) {
        info->insert(QStringLiteral("dbId"), q.value(0).toString());
        info->insert(QStringLiteral("dbVersion"), q.value(1).toString());
        info->insert(QStringLiteral("serial"), q.value(2).toString());
    }
}
