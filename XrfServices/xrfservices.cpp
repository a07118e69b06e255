#include "xrfservices.h"

#include "xrfhardwaremanager.h"
#include "xrfmethodmanager.h"
#include "xrfsettingsmanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QMutex>
#include <QMutexLocker>

namespace {

// A missing file is an empty object; anything else must parse completely.
bool readConfigFile(const QDir &folder, const QString &name, QJsonObject *obj, QString *error)
{
    const QString path = folder.filePath(name);
    if (!QFileInfo::exists(path)) {
        *obj = QJsonObject();
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1 is not valid JSON: %2 at offset %3")
                         .arg(path, parseError.errorString())
                         .arg(parseError.offset);
        return false;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("%1 does not hold a JSON object").arg(path);
        return false;
    }
    *obj = doc.object();
    return true;
}

} // namespace

bool XrfServices::loadConfiguration(const QString &folder, QString *errorText)
{
    // Two host threads loading at once must not interleave their halves.
    static QMutex loadMutex;
    QMutexLocker locker(&loadMutex);

    QString error;
    auto fail = [&](const QString &reason) {
        if (errorText)
            *errorText = reason;
        return false;
    };

    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return fail(QStringLiteral("Configuration folder %1 does not exist").arg(folder));
    const QDir dir(folder);

    QJsonObject universal, global, user, method, hardware;
    if (!readConfigFile(dir, QStringLiteral("universal.json"), &universal, &error)
        || !readConfigFile(dir, QStringLiteral("global.json"), &global, &error)
        || !readConfigFile(dir, QStringLiteral("user.json"), &user, &error)
        || !readConfigFile(dir, QStringLiteral("method.json"), &method, &error)
        || !readConfigFile(dir, QStringLiteral("hardware.json"), &hardware, &error))
        return fail(error);

    XrfHardwareConfiguration configuration;
    if (!configuration.fromJsonObject(hardware))
        return fail(QStringLiteral("%1: the hardware members must be strings")
                            .arg(dir.filePath(QStringLiteral("hardware.json"))));

    XrfSettingsManager::instance()->loadConfiguration(universal, global, user);
    XrfMethodManager::instance()->loadConfiguration(method);
    XrfHardwareManager::instance()->setHardwareConfiguration(configuration);
    // Template files beside the configuration are templates a user can pick;
    // those named in method.json win.
    const QDir templates(dir.filePath(QStringLiteral("templates/exports")));
    QJsonObject known;
    for (const QFileInfo &file :
         templates.entryInfoList({ QStringLiteral("*.json") }, QDir::Files)) {
        QJsonObject content;
        if (!readConfigFile(templates, file.fileName(), &content, &error))
            continue;
        known = QJsonObject();
        if (XrfMethodManager::instance()->getExportTemplate(file.completeBaseName(), &known) != 0)
            XrfMethodManager::instance()->setExportTemplate(file.completeBaseName(), content);
    }
    if (errorText)
        errorText->clear();
    return true;
}
