#include "queueentry.h"

#include <QJsonValue>

namespace {

const char stampFormat[] = "dd.MM.yyyy hh:mm:ss";

struct FlagMember
{
    const char *key;
    std::optional<bool> QueueEntry::*flag;
};

const FlagMember flagMembers[] = {
    { "queuedForDb", &QueueEntry::queuedForDb },
    { "savedToDb", &QueueEntry::savedToDb },
    { "queuedForCloud", &QueueEntry::queuedForCloud },
    { "sentToCloud", &QueueEntry::sentToCloud },
    { "queuedForExport", &QueueEntry::queuedForExport },
    { "exported", &QueueEntry::exported },
};

const QLatin1String testIdKey("testId");
const QLatin1String pathKey("filepath");
const QLatin1String stampKey("timestampSentToCloudAt");
const QLatin1String resultKey("result");

QDateTime stampFromText(const QString &text)
{
    QDateTime stamp = QDateTime::fromString(text, QLatin1String(stampFormat));
    stamp.setTimeSpec(Qt::UTC);
    return stamp;
}

} // namespace

QueueEntry QueueEntry::fresh(int testId, const QString &filePath)
{
    QueueEntry entry;
    for (const FlagMember &m : flagMembers)
        entry.*m.flag = false;
    entry.testId = testId;
    entry.filePath = filePath;
    return entry;
}

QueueEntry QueueEntry::fromJson(const QJsonObject &object)
{
    QueueEntry entry;
    entry.other = object;
    for (const FlagMember &m : flagMembers) {
        const QJsonValue v = entry.other.take(QLatin1String(m.key));
        // Anything but true reads as false, as a JSON reader of the flag would.
        if (!v.isUndefined())
            entry.*m.flag = v.toBool();
    }
    entry.testId = entry.other.take(testIdKey).toInt();
    entry.filePath = entry.other.take(pathKey).toString();
    entry.cloudStamp = stampFromText(entry.other.take(stampKey).toString());
    entry.other.remove(resultKey);
    return entry;
}

QJsonObject QueueEntry::toJson() const
{
    QJsonObject object = other;
    for (const FlagMember &m : flagMembers) {
        if ((this->*m.flag).has_value())
            object.insert(QLatin1String(m.key), *(this->*m.flag));
    }
    object.insert(testIdKey, testId);
    if (!filePath.isEmpty())
        object.insert(pathKey, filePath);
    if (cloudStamp.isValid())
        object.insert(stampKey, cloudStamp.toString(QLatin1String(stampFormat)));
    return object;
}

QDateTime QueueEntry::cloudStampNow()
{
    return stampFromText(QDateTime::currentDateTimeUtc().toString(QLatin1String(stampFormat)));
}
