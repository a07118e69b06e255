// The builder keeps the order in which a sample's parts were added: it is the order of
// their lists in the file, and the spectra and pictures take their noise from the
// generator in that order.

#include "samplebuilder.h"

#include <QDateTime>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

constexpr quint64 kSeed = 20261123;

QDateTime utc(const char *text)
{
    const QString s = QString::fromLatin1(text);
    return QDateTime(QDate::fromString(s.left(10), QStringLiteral("yyyy-MM-dd")),
                     QTime::fromString(s.mid(11), QStringLiteral("hh:mm:ss.zzz")), Qt::UTC);
}

XrfImageInfo imageInfo(const QString &name, const Framing &f)
{
    XrfImageInfo i;
    i.setName(name);
    i.setType(f.type);
    i.setCropAreaTop(f.top);
    i.setCropAreaLeft(f.left);
    i.setCropAreaWidth(f.width);
    i.setCropAreaHeight(f.height);
    i.setCollimatorSpotX(f.spotX);
    i.setCollimatorSpotY(f.spotY);
    i.setImageHasCircle(f.circle);
    return i;
}

// An element that was not measured counts as none.
float concentration(const XrfKorviResult &r, const QString &element)
{
    for (const XrfChemistryResult &c : r.chemistry())
        if (c.elementName() == element)
            return c.concentration();
    return 0.0f;
}

void appendChemistry(XrfKorviResult &r, const QVector<Concentration> &chemistry)
{
    for (const Concentration &row : chemistry) {
        XrfChemistryResult c;
        c.setElementName(QString::fromLatin1(row.element));
        c.setConcentration(float(row.percent));
        c.setError(float(row.error));
        r.chemistry().append(c);
    }
}

Composition composition(const XrfKorviResult &r)
{
    Composition parts;
    for (const XrfChemistryResult &c : r.chemistry())
        parts.append({ c.elementName(), c.concentration() });
    return parts;
}

} // namespace

Composition composition(const QVector<Concentration> &chemistry)
{
    XrfKorviResult r;
    appendChemistry(r, chemistry);
    return composition(r);
}

SampleBuilder::SampleBuilder(const SampleHeader &header) : m_rng(kSeed + header.number)
{
    m_sample.fileName = QString::fromLatin1(header.fileName);
    XrfAnalysisResult &a = analysis();
    a.setTestDateTime(utc(header.dateTime));
    a.setDailyId(header.dailyId);
    a.setTestType(QString::fromLatin1(header.testType));
    a.setTidName(QString::fromUtf8(header.tidName));
    a.setUserId(QString::fromLatin1(header.user));
    a.setStatusId(0);
    a.setFinal(true);
    a.setCollimatedStatusInt(0);
    a.setCollimated(false);

    a.setMethodId(QString::fromLatin1(header.method.id));
    a.setMethodDispName(QString::fromLatin1(header.method.displayName));
    a.setMethodFamilyName(header.method.family);
}

void SampleBuilder::addChemistry(const QVector<Concentration> &chemistry)
{
    appendChemistry(result(), chemistry);
}

void SampleBuilder::setLocation(double latitude, double longitude, double elevation)
{
    analysis().setLatitude(latitude);
    analysis().setLongitude(longitude);
    analysis().setElevation(elevation);
}

void SampleBuilder::addGrade(const char *name, double matchNumber, double nSigma,
                             const char *message, const char *limits)
{
    XrfGradeMatch g;
    g.setGradeName(QString::fromLatin1(name));
    g.setMatchNumber(float(matchNumber));
    g.setMatchNSigma(float(nSigma));
    g.setCompGrade(0);
    g.setNominalFactor(1.0f);
    g.setPassFailCutOff(2.0f);
    g.setPassFailNSigma(3.0f);
    g.setPassFailShowMatchNumber(true);
    g.setMatchMessage(QString::fromLatin1(message));
    for (const QString &limit : QString::fromLatin1(limits).split(QStringLiteral(", "))) {
        static const QRegularExpression form(QStringLiteral("^(\\w+) ([0-9.]+)-([0-9.]+)$"));
        const QRegularExpressionMatch m = form.match(limit);
        if (!m.hasMatch())
            qFatal("grade %s: cannot read the limit \"%s\"", name, qPrintable(limit));
        XrfGradeMatchSpec row;
        row.setElementName(m.captured(1));
        row.setMin(float(m.captured(2).toDouble()));
        row.setMax(float(m.captured(3).toDouble()));
        const float measured = concentration(result(), row.elementName());
        row.setResult(measured < row.min()           ? QStringLiteral("LOW")
                              : measured > row.max() ? QStringLiteral("HIGH")
                                                     : QStringLiteral("OK"));
        g.gradeSpec().append(row);
    }
    result().gradeMatch().append(g);
    analysis().setGradeCompareEnable(1);
}

void SampleBuilder::addTestInfo(std::initializer_list<TestInfoEntry> entries)
{
    for (const TestInfoEntry &entry : entries)
        result().testInfo().append(
                QJsonObject { { QStringLiteral("key"), QString::fromUtf8(entry.key) },
                              { QStringLiteral("value"), QString::fromUtf8(entry.value) } });
}

void SampleBuilder::measure(const Matrix &m, std::initializer_list<Exposure> exposures)
{
    measure(composition(result()), m, exposures);
}

void SampleBuilder::measure(const Composition &seen, const Matrix &m,
                            std::initializer_list<Exposure> exposures)
{
    const int total = int(exposures.size());
    int number = 0;
    for (const Exposure &x : exposures)
        result().spectra().append(simulate(m_rng, seen, m, x, ++number, total));
}

void SampleBuilder::addPhoto(Look look, const Framing &framing, const QString &name)
{
    QList<XrfImageInfo> &images = result().images();
    const QString fileName = !name.isEmpty()
            ? name
            : QStringLiteral("cam-%1-%2.jpeg").arg(analysis().tidName()).arg(images.size() + 1);
    const XrfImageInfo info = imageInfo(fileName, framing);
    images.append(info);
    m_sample.photos.append(photo(look, m_rng, info, framing.spotRadius));
}
