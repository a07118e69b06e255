#include "resultgenerator.h"

#include <QRandomGenerator>

namespace ResultGenerator {

QList<XrfKorviResult> generate(const QList<XrfKorviResult> &templates, int count,
                               const QDateTime &firstTest, quint32 seed)
{
    QList<XrfKorviResult> results;
    if (templates.isEmpty())
        return results;
    QRandomGenerator rng(seed);
    QDateTime when = firstTest.toUTC();
    for (int i = 0; i < count; ++i) {
        XrfKorviResult r = templates.at(i % templates.size());
        XrfAnalysisResult &a = r.analysis();
        // A test every 20 to 90 seconds, as an operator works.
        when = when.addMSecs(20000 + rng.bounded(70000));
        a.setTestDateTime(when);
        a.setTestId(-1);
        a.setDailyId(i + 1);
        a.setTidName(QStringLiteral("%1-%2")
                             .arg(a.tidName().section(QLatin1Char('-'), 0, 0))
                             .arg(i + 1, 4, 10, QLatin1Char('0')));
        for (XrfChemistryResult &c : r.chemistry()) {
            const double spread = (rng.generateDouble() * 2 - 1) * c.error();
            c.setConcentration(float(qMax(0.0, double(c.concentration()) + spread)));
        }
        // Pictures belong to the test that took them.
        r.images().clear();
        results.append(r);
    }
    return results;
}

} // namespace ResultGenerator
