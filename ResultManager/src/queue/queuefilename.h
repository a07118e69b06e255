#ifndef QUEUEFILENAME_H
#define QUEUEFILENAME_H

// The name of a queue file: "<UTC yyyyMMddhhmmsszzz>_<safe name>_<test id>.json".
// The date-time and the name find a result's file again; the id only keeps
// two files of one date-time and name apart. Safe names can coincide ("A:B"
// and "A?B"), so a match by name is only a candidate: the result inside
// decides.

#include "resultmanager_global.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfoList>
#include <QString>

class RESULTMANAGER_EXPORT QueueFileName
{
public:
    static const char dateTimeFormat[];
    // What a directory listing of the queue folder asks for.
    static const char filter[];
    // Whether a name matches that filter, without compiling it into a
    // pattern (a queue pass lists the folder several times).
    static bool isQueueFile(const QString &fileName);
    // The queue files of a folder, by name.
    static QFileInfoList listed(const QString &folder);

    QueueFileName(const QDateTime &testDateTime, const QString &tidName, int testId);
    // The parts of a listed name; not valid when the name has not this shape.
    static QueueFileName parse(const QString &fileName);

    // The tidName as it may stand in a file name: path separators, control
    // characters and the characters FAT refuses become "_", and the whole
    // name stays within 255 bytes.
    static QString safeName(const QString &tidName);
    static QString dateTimeText(const QDateTime &testDateTime);

    bool isValid() const { return !m_dateTime.isEmpty(); }
    QString fileName() const;
    // The 17 digits of the UTC date-time.
    QString dateTime() const { return m_dateTime; }
    QString name() const { return m_name; }
    QString testId() const { return m_id; }

    bool isOf(const QDateTime &testDateTime, const QString &tidName) const;
    bool isAt(const QDateTime &testDateTime) const;
    bool isOfDay(const QDate &day) const;

private:
    QueueFileName() = default;

    QString m_dateTime;
    QString m_name;
    QString m_id;
};

#endif // QUEUEFILENAME_H
