#ifndef QUEUEHOSTRESULTS_H
#define QUEUEHOSTRESULTS_H

// What the queue host makes of a result index, shared by the host and the
// tests that check what it left behind.

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace QueueHostResults {

inline QDateTime testDateTime(int index)
{
    return QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).addSecs(index);
}

// Every 7th name carries a quote, which must survive the SQL on its way.
inline QString tidName(int index)
{
    return index % 7 == 0 ? QStringLiteral("O'Brien %1").arg(index)
                          : QStringLiteral("R%1").arg(index);
}

inline bool hasImage(int index)
{
    return index % 5 == 0;
}

inline QString imageFileName(int index)
{
    return QStringLiteral("cam%1.jpeg").arg(index);
}

// Distinct per index, so that a stored image can be traced to its result.
inline QByteArray imageContent(int index)
{
    return QByteArray("jpeg of ") + QByteArray::number(index);
}

} // namespace QueueHostResults

#endif // QUEUEHOSTRESULTS_H
