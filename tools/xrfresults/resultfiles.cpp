#include "resultfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace ResultFiles {

Loaded load(const QStringList &paths)
{
    Loaded loaded;
    QStringList files;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            const QDir dir(path);
            for (const QString &name :
                 dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name))
                files << dir.filePath(name);
        } else {
            files << path;
        }
    }
    for (const QString &file : files) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) {
            loaded.problems << QStringLiteral("%1: cannot read (%2)").arg(file, f.errorString());
            continue;
        }
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            loaded.problems << QStringLiteral("%1: not JSON (%2 at byte %3)")
                                       .arg(file, parseError.errorString())
                                       .arg(parseError.offset);
            continue;
        }
        if (!doc.isObject() || !doc.object().value(QStringLiteral("analysis")).isObject()) {
            loaded.problems << QStringLiteral("%1: not a test result (%2)")
                                       .arg(file,
                                            doc.isObject()
                                                    ? QStringLiteral("no \"analysis\" object")
                                                    : QStringLiteral("not an object"));
            continue;
        }
        // Stored with defaults in place of what could not be read, a result
        // would be wrong for good: the whole file is refused instead.
        XrfHost::Stored s;
        s.source = file;
        const QStringList unread = s.result.readResultJson(doc.object());
        if (!unread.isEmpty()) {
            QString line = QStringLiteral("%1: member %2 is missing or has a wrong type or value")
                                   .arg(file, unread.first());
            if (unread.size() > 1)
                line += QStringLiteral(" (and %1 more)").arg(unread.size() - 1);
            loaded.problems << line;
            continue;
        }
        loaded.results << s;
    }
    return loaded;
}

} // namespace ResultFiles
