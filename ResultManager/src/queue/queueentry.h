#ifndef QUEUEENTRY_H
#define QUEUEENTRY_H

// What the queue keeps of one queue file besides the result: the two flags
// of each action, the provisional or stored test id, the file's path and
// when its upload started. The states the flags make are drawn at the top
// of queuestates.cpp.

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

struct QueueEntry
{
    // A flag the file does not hold stays unset, and unset when written
    // back: the queue never writes such a file, and each reader says what
    // it takes an unset flag for.
    std::optional<bool> queuedForDb;
    std::optional<bool> savedToDb;
    std::optional<bool> queuedForCloud;
    std::optional<bool> sentToCloud;
    std::optional<bool> queuedForExport;
    std::optional<bool> exported;
    int testId = 0;
    QString filePath;
    // Whole seconds, UTC, as the file keeps it; invalid when not uploading.
    QDateTime cloudStamp;
    // Members the queue does not know, kept as they were.
    QJsonObject other;

    // A new result: every action still to do.
    static QueueEntry fresh(int testId, const QString &filePath);
    // The object of a queue file, without its "result".
    static QueueEntry fromJson(const QJsonObject &object);
    QJsonObject toJson() const;

    static QDateTime cloudStampNow();
};

#endif // QUEUEENTRY_H
