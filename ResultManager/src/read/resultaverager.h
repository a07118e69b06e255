#ifndef RESULTAVERAGER_H
#define RESULTAVERAGER_H

// Builds an averaged result from stored tests: resolves the request's
// entries to test ids, checks that the tests share the current method, and
// averages their chemistry element by element with each test's user factors
// and normalisation applied; pseudo elements and compounds are recomputed
// from the method's override settings.
//
// Invariants: an entry resolves to exactly one stored test or the request
// fails (no test: ResultNotFound; two: InvalidArgument); a result still in
// the queue counts only under the id it is stored with, never under its
// provisional one; fewer than two distinct tests average nothing. The
// averaged result carries no test id and no date-time: it gets both when it
// is stored like any new result.

#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

#include "xrferrorinfo.h"
#include "xrfkorviresult.h"

class ResultReader;

class ResultAverager
{
public:
    // The queued result of a UTC day ("yyyy-MM-dd") and name, when there is
    // exactly one.
    using QueueLookup = std::function<bool(const QString &, const QString &, XrfKorviResult *)>;

    ResultAverager(ResultReader &reader, QueueLookup queued);

    // Entries are test ids, or "date name" pairs (the date a local day).
    XrfErrorInfo::XrfError resolve(const QString &entries, QList<int> *ids);
    XrfErrorInfo::XrfError average(const QList<int> &ids, const QString &newTidName,
                                   const QString &currentMethod, const QJsonObject &methodOverride,
                                   XrfKorviResult *averaged);

    // 0.0001 for the families whose offsets are kept in ten-thousandths.
    static double offsetScale(int methodFamily);

private:
    XrfErrorInfo::XrfError resolveNamed(const QString &entry, int *id);
    static void addPseudoElements(const QJsonObject &option, XrfKorviResult *averaged);
    static void addCompounds(const QJsonObject &compound, XrfKorviResult *averaged);

    ResultReader &m_reader;
    QueueLookup m_queued;
};

#endif // RESULTAVERAGER_H
