#ifndef DEVICERECORD_H
#define DEVICERECORD_H

// The device row of a results file (devinfo): its id, schema version, and
// the serial number, model and tube anode of the instrument that stores in it.

#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>

#include "xrferrorinfo.h"

class DeviceRecord
{
public:
    explicit DeviceRecord(const QSqlDatabase &db);

    // The serial number the file is named after ("123456" when unset).
    static QString configuredSerial();
    // What the settings say; a field they do not hold is left as it is.
    static void readConfiguration(QString &serial, QString &model, QString &anode);

    // The row's fields; the row is made when there is none, and moved to the
    // configured instrument when it names another.
    XrfErrorInfo::XrfError read(QString &dbId, QString &dbVersion, QString &serial, QString &model,
                                QString &anode);
    // As read(), and once more from the settings when no row could be made.
    void ensure();
    // The new row's dbId, or empty when the insert failed.
    QString insert(const QString &serial, const QString &model, const QString &anode);
    // The version in the row, or empty when there is no row.
    QString storedVersion();
    // dbId, dbVersion and serial into *info, read as they are.
    void describe(QJsonObject *info);

private:
    QSqlDatabase m_db;
};

#endif // DEVICERECORD_H
