#include "queuefilename.h"

#include <QDir>

#include <algorithm>

#include "xrfutils.h"

namespace {
const int maxFileNameBytes = 255;
const int dateTimeLength = 17;
const QLatin1String suffix(".json");
} // namespace

const char QueueFileName::dateTimeFormat[] = "yyyyMMddhhmmsszzz";
const char QueueFileName::filter[] = "*_*.json";

bool QueueFileName::isQueueFile(const QString &fileName)
{
    // As QDir matches "*_*.json": any case, an underscore before the suffix.
    return fileName.size() > suffix.size() && fileName.endsWith(suffix, Qt::CaseInsensitive)
            && fileName.leftRef(fileName.size() - suffix.size()).contains(QLatin1Char('_'));
}

QFileInfoList QueueFileName::listed(const QString &folder)
{
    QFileInfoList files = QDir(folder).entryInfoList(QDir::Files, QDir::Name);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const QFileInfo &f) { return !isQueueFile(f.fileName()); }),
                files.end());
    return files;
}

QueueFileName::QueueFileName(const QDateTime &testDateTime, const QString &tidName, int testId)
    : m_dateTime(dateTimeText(testDateTime)), m_name(safeName(tidName)),
      m_id(QString::number(testId))
{
}

QueueFileName QueueFileName::parse(const QString &fileName)
{
    // Split by hand: the name part may itself hold "_".
    QueueFileName parts;
    const int lastSep = fileName.lastIndexOf(QLatin1Char('_'));
    if (fileName.size() <= dateTimeLength + 1 || fileName.at(dateTimeLength) != QLatin1Char('_')
        || lastSep <= dateTimeLength)
        return parts;
    parts.m_dateTime = fileName.left(dateTimeLength);
    parts.m_name = fileName.mid(dateTimeLength + 1, lastSep - dateTimeLength - 1);
    parts.m_id = fileName.mid(lastSep + 1);
    if (parts.m_id.endsWith(suffix))
        parts.m_id.chop(suffix.size());
    return parts;
}

QString QueueFileName::safeName(const QString &tidName)
{
    // 17 digits, two "_", an id of up to 11 characters and ".json".
    return XrfUtils::safeFileNamePart(tidName, maxFileNameBytes - dateTimeLength - 2 - 11 - 5);
}

QString QueueFileName::dateTimeText(const QDateTime &testDateTime)
{
    // Local time would make the name depend on the instrument's zone.
    return testDateTime.toUTC().toString(QLatin1String(dateTimeFormat));
}

QString QueueFileName::fileName() const
{
    return QStringLiteral("%1_%2_%3").arg(m_dateTime, m_name, m_id) + suffix;
}

bool QueueFileName::isOf(const QDateTime &testDateTime, const QString &tidName) const
{
    return isAt(testDateTime) && m_name == safeName(tidName);
}

bool QueueFileName::isAt(const QDateTime &testDateTime) const
{
    return isValid() && m_dateTime == dateTimeText(testDateTime);
}

bool QueueFileName::isOfDay(const QDate &day) const
{
    return isValid() && m_dateTime.startsWith(day.toString(QStringLiteral("yyyyMMdd")));
}
