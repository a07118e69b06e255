// Bytes as a queue file left by an earlier run, read as the queue reads
// one: the file's object, the result it holds, and the entry of its flags.
#include "queueentry.h"
#include "xrfkorviresult.h"
#include "xrfutils.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("queued.json"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    QJsonObject object;
    if (XrfUtils::openFileJsonFile(path, &object) != XrfErrorInfo::NoError)
        return 0;
    const QJsonObject member = object.value(QStringLiteral("result")).toObject();
    if (XrfKorviResult::isValidResultJson(member)) {
        XrfKorviResult result;
        result.fromJsonObject(member);
    }
    // The queue writes a file back from its entry: nothing of it may change.
    const QJsonObject written = QueueEntry::fromJson(object).toJson();
    if (QueueEntry::fromJson(written).toJson() != written)
        abort();
    return 0;
}
