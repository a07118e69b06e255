#include "resultaverager.h"

#include <QDebug>
#include <QHash>
#include <QMap>
#include <QStringList>

#include "requestarguments.h"
#include "resultqueries.h"
#include "resultreader.h"
#include "xrftinyexpr.h"

ResultAverager::ResultAverager(ResultReader &reader, QueueLookup queued)
    : m_reader(reader), m_queued(std::move(queued))
{
}

double ResultAverager::offsetScale(int methodFamily)
{
    return methodFamily >= 0 && methodFamily <= 16 && ((0x18484 >> methodFamily) & 1) ? 0.0001
                                                                                      : 1.0;
}

XrfErrorInfo::XrfError ResultAverager::resolve(const QString &entries, QList<int> *ids)
{
    QStringList parts;
    for (const QString &part : entries.split(QLatin1Char(',')))
        if (!part.trimmed().isEmpty())
            parts << part.trimmed();
    if (parts.isEmpty())
        return XrfErrorInfo::InvalidArgument;

    bool firstIsNumber = false;
    parts.first().toInt(&firstIsNumber);
    if (firstIsNumber) {
        if (!RequestArguments::parseTestIds(parts, ids))
            return XrfErrorInfo::InvalidArgument;
        ResultQueries queries(m_reader.database());
        for (int id : qAsConst(*ids)) {
            bool exists = false;
            queries.testIdExists(id, &exists);
            if (!exists) {
                qInfo() << "Creating average failed. No stored test" << id;
                return XrfErrorInfo::ResultNotFound;
            }
        }
    } else {
        for (const QString &entry : qAsConst(parts)) {
            int id = -1;
            const XrfErrorInfo::XrfError rc = resolveNamed(entry, &id);
            if (rc != XrfErrorInfo::NoError)
                return rc;
            if (!ids->contains(id))
                ids->append(id);
        }
    }
    if (ids->size() < 2) {
        qInfo() << "Creating average failed. test Ids list contains less than two testIds";
        return XrfErrorInfo::InvalidArgument;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultAverager::resolveNamed(const QString &entry, int *id)
{
    const int blank = entry.indexOf(QLatin1Char(' '));
    QDateTime start;
    QDateTime end;
    if (blank < 0 || !RequestArguments::parseLocalDay(entry.left(blank), &start, &end)) {
        qInfo() << "Creating average failed. Not a date and test name:" << entry;
        return XrfErrorInfo::InvalidArgument;
    }
    const QString tidName = entry.mid(blank + 1);
    QList<int> found;
    if (ResultQueries(m_reader.database()).testIdsNamed(tidName, start, end, &found)
        != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    if (found.size() > 1) {
        qInfo() << "Creating average failed." << found.size() << "tests named" << tidName << "on"
                << entry.left(blank);
        return XrfErrorInfo::InvalidArgument;
    }
    if (found.size() == 1) {
        *id = found.first();
        return XrfErrorInfo::NoError;
    }

    qWarning() << "Could not find result for average. Entry:" << entry << "Checking the queue ...";
    // Queue files are named by UTC day; a local day touches one or two.
    const QDateTime last = end.addMSecs(-1);
    for (const QDate &day : { start.date(), last.date() }) {
        XrfKorviResult queued;
        if (!m_queued || !m_queued(day.toString(QStringLiteral("yyyy-MM-dd")), tidName, &queued))
            continue;
        const QDateTime at = queued.analysis().testDateTime();
        if (at < start || at >= end)
            continue;
        // Its provisional id may belong to another result by now.
        int stored = -1;
        if (ResultQueries(m_reader.database())
                    .storedTestId(queued.analysis().dateTimeString(), tidName, &stored)
            != XrfErrorInfo::NoError)
            return XrfErrorInfo::DbQueryFailed;
        if (stored > 0) {
            qDebug() << "Found valid queued result, testId = " << stored;
            *id = stored;
            return XrfErrorInfo::NoError;
        }
        qWarning() << "Result" << tidName << "is still in the queue, not yet stored";
        return XrfErrorInfo::ResultNotFound;
    }
    qWarning() << "Result not in queue. Average will fail.";
    return XrfErrorInfo::ResultNotFound;
}

XrfErrorInfo::XrfError ResultAverager::average(const QList<int> &ids, const QString &newTidName,
                                               const QString &currentMethod,
                                               const QJsonObject &methodOverride,
                                               XrfKorviResult *averaged)
{
    QList<XrfKorviResult> tests;
    for (int id : ids) {
        XrfKorviResult test;
        const XrfErrorInfo::XrfError rc = m_reader.read(id, &test);
        if (rc != XrfErrorInfo::NoError)
            return rc;
        tests << test;
    }
    if (tests.size() < 2)
        return XrfErrorInfo::InvalidArgument;

    const XrfAnalysisResult &first = tests.first().analysis();
    const int family = first.methodFamilyName();
    if (family == XrfAnalysisResult::CoatingMethodFamily) {
        qInfo() << "Creating average failed. Averaging of Coating methods not supported.";
        return XrfErrorInfo::MethodMismatch;
    }
    if (first.methodId() != currentMethod) {
        qInfo() << "Creating average failed. Method Id are different to current selected method."
                << "First method:" << first.methodId() << "Current method:" << currentMethod;
        return XrfErrorInfo::NotCurrentMethod;
    }
    int collimated = first.collimatedStatusInt();
    for (const XrfKorviResult &test : qAsConst(tests)) {
        if (test.analysis().methodId() != first.methodId()) {
            qInfo() << "Creating average failed. Method Id are different.";
            return XrfErrorInfo::MethodMismatch;
        }
        if (test.analysis().collimatedStatusInt() != first.collimatedStatusInt())
            collimated = 2;
    }

    // Sums per element, in the order the elements first appear.
    struct Sum
    {
        double concentration = 0;
        double error = 0;
        int count = 0;
    };
    QStringList order;
    QHash<QString, Sum> sums;
    const double scale = offsetScale(family);
    for (const XrfKorviResult &test : qAsConst(tests)) {
        const double stored = test.analysis().userFactorNormalizeFactor();
        const double n = stored > 0 ? stored : 1.0;
        QHash<QString, XrfUserFactorResult> factors;
        for (const XrfUserFactorResult &f : test.userFactor())
            factors.insert(f.elementName(), f);
        for (const XrfChemistryResult &c : test.chemistry()) {
            double concentration = c.concentration();
            double error = c.error();
            const auto f = factors.constFind(c.elementName());
            if (f != factors.constEnd()) {
                concentration = concentration * f->factor() + scale * f->offset();
                error = error * f->factor();
            }
            if (!sums.contains(c.elementName()))
                order << c.elementName();
            Sum &sum = sums[c.elementName()];
            sum.concentration += concentration * n;
            sum.error += error * n;
            ++sum.count;
        }
    }

    XrfKorviResult result;
    for (const QString &element : qAsConst(order)) {
        const Sum &sum = sums.value(element);
        XrfChemistryResult c;
        c.setElementName(element);
        c.setConcentration(float(sum.concentration / sum.count));
        c.setError(float(sum.error / sum.count));
        result.chemistry().append(c);
    }
    XrfAnalysisResult &a = result.analysis();
    a.setTestType(QStringLiteral("AVERAGED"));
    a.setTidName(newTidName);
    bool ok = false;
    const int dailyId = newTidName.left(newTidName.size() - 1).toInt(&ok, 10);
    a.setDailyId(ok ? dailyId : 0);
    a.setMethodDispName(first.methodDispName());
    a.setMethodId(first.methodId());
    a.setCollimatedStatusInt(collimated);
    a.setCollimated(collimated == 1);
    a.setMethodFamilyName(family);

    const QJsonValue pseudo = methodOverride.value(QStringLiteral("pseudoElementOption"));
    if (pseudo.isObject())
        addPseudoElements(pseudo.toObject(), &result);
    const QJsonValue compound = methodOverride.value(QStringLiteral("compound"));
    if (compound.isObject())
        addCompounds(compound.toObject(), &result);

    QStringList sources;
    for (int id : ids)
        sources << QString::number(id);
    m_reader.readAveragedSources(sources, &result.avgOfTestsInfo());
    *averaged = result;
    return XrfErrorInfo::NoError;
}

void ResultAverager::addPseudoElements(const QJsonObject &option, XrfKorviResult *averaged)
{
    QMap<QString, double> values;
    QMap<QString, double> errors;
    for (const XrfChemistryResult &c : averaged->chemistry()) {
        values.insert(c.elementName(), c.concentration());
        errors.insert(c.elementName(), c.error());
    }
    const QStringList variables = values.keys();
    for (const QJsonValue &item : option.value(QStringLiteral("elements")).toArray()) {
        if (!item.isObject())
            continue;
        const QJsonObject element = item.toObject();
        XrfTinyExpr expression;
        const QString formula = element.value(QStringLiteral("formula")).toString();
        XrfPseudoElementResult pseudo;
        pseudo.setElementName(element.value(QStringLiteral("pseudoElement")).toString());
        double value = 0;
        double error = 0;
        if (expression.compile(formula, variables)
            && expression.evaluateWithError(values, errors, &value, &error)) {
            pseudo.setFormula(expression.expression());
            pseudo.setConcentration(float(value));
            pseudo.setError(float(error));
            pseudo.setNotApplicable(false);
        } else {
            qInfo() << "Pseudo element" << pseudo.elementName() << "cannot be computed from"
                    << formula;
            pseudo.setFormula(formula);
            pseudo.setNotApplicable(true);
        }
        averaged->pseudoElement().append(pseudo);
    }
    averaged->analysis().setPseudoElementConfigName(
            option.value(QStringLiteral("name")).toString());
}

void ResultAverager::addCompounds(const QJsonObject &compound, XrfKorviResult *averaged)
{
    const QString selected = compound.value(QStringLiteral("selected")).toString();
    if (selected.isEmpty())
        return;
    const QJsonObject elements = compound.value(selected).toObject();
    // QJsonObject keys come in alphabetical order.
    for (auto it = elements.constBegin(); it != elements.constEnd(); ++it) {
        const QJsonObject compounds = it.value().toObject();
        if (compounds.isEmpty())
            continue;
        XrfCompoundResult c;
        c.setElementName(it.key());
        c.setCompoundName(compounds.constBegin().key());
        c.setFactor(float(compounds.constBegin().value().toDouble(0)));
        averaged->compound().append(c);
    }
    averaged->analysis().setCompoundTemplateName(selected);
    averaged->analysis().setCompoundSuppress100Warning(
            compound.value(QStringLiteral("suppress")).toBool(false));
}
