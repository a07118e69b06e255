#include "resultreport.h"

#include <QLocale>
#include <QTextStream>

#include "resultmanager.h"
#include "xrfhost.h"
#include "xrfmethoddisplaysettings.h"
#include "xrfmethodmanager.h"
#include "xrfutils.h"

namespace ResultReport {

namespace {

    QString localAndUtc(const QDateTime &when)
    {
        return QStringLiteral("%1 (UTC %2)")
                .arg(when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss t")),
                     when.toUTC().toString(XrfAnalysisResult::dateTimeFormat));
    }

    QString bytes(qint64 n)
    {
        return QLocale::c().formattedDataSize(n, 1, QLocale::DataSizeTraditionalFormat);
    }

} // namespace

QString storedLine(int testId, const XrfKorviResult &result)
{
    return QStringLiteral("%1\t%2\t%3")
            .arg(testId)
            .arg(result.analysis().dateTimeString(), result.analysis().tidName());
}

QList<ChemistryRow> chemistryRows(const XrfKorviResult &r)
{
    QList<ChemistryRow> rows;
    if (r.chemistry().isEmpty())
        return rows;
    using Unit = MethodDisplaySettings::Unit;
    const MethodDisplaySettings display
            = MethodDisplaySettings::fromJsonObject(
                      XrfMethodManager::instance()->getDisplaySettings())
                      .forMethod(r.analysis().methodId());
    for (const XrfChemistryResult &c : r.chemistry()) {
        // Stored in %; whole ppm keep the resolution of four decimals of %.
        const Unit unit = display.unitOf(c.elementName());
        const int decimals = unit == Unit::Ppm ? 0 : 4;
        rows.append({ c.elementName(),
                      QString::number(MethodDisplaySettings::fromPercent(c.concentration(), unit),
                                      'f', decimals),
                      QString::number(MethodDisplaySettings::fromPercent(c.error(), unit), 'f',
                                      decimals),
                      unit == Unit::Ppm ? QStringLiteral("ppm") : QStringLiteral("%") });
    }
    return rows;
}

QString chemistry(const XrfKorviResult &r)
{
    const QList<ChemistryRow> rows = chemistryRows(r);
    if (rows.isEmpty())
        return QString();
    QString text = QStringLiteral("  chemistry\n");
    for (const ChemistryRow &row : rows)
        text += QStringLiteral("    ") + row.element.leftJustified(4) + QLatin1Char(' ')
                + row.value.rightJustified(10) + QString::fromUtf8(" ± ") + row.error
                + QLatin1Char(' ') + row.unit + QLatin1Char('\n');
    return text;
}

QList<Line> headerLines(const XrfKorviResult &r)
{
    const XrfAnalysisResult &a = r.analysis();
    QList<Line> lines {
        { QStringLiteral("date-time"), localAndUtc(a.testDateTime()) },
        { QStringLiteral("type"), a.testType() },
        { QStringLiteral("method"),
          a.methodDispName() + QStringLiteral(" (") + a.methodId() + QLatin1Char(')') },
        { QStringLiteral("user"), a.userId() },
    };
    for (const QJsonObject &info : r.testInfo())
        lines.append({ info.value(QStringLiteral("key")).toString(),
                       info.value(QStringLiteral("value")).toString() });
    return lines;
}

QList<Line> trailingLines(const XrfKorviResult &r)
{
    const QString plusMinus = QString::fromUtf8(" ± ");
    QList<Line> lines;
    for (const XrfCoatingResult &layer : r.coating())
        lines.append({ QStringLiteral("layer %1").arg(layer.layerOrder()),
                       layer.element() + QLatin1Char(' ')
                               + QString::number(layer.thickness(), 'f', 3) + plusMinus
                               + QString::number(layer.error(), 'f', 3)
                               + QString::fromUtf8(" µm") });
    if (r.hasCalCheck())
        lines.append({ QStringLiteral("cal check"),
                       QStringLiteral("rate %1, resolution %2 eV, error code %3")
                               .arg(QString::number(r.calCheck()->rate()),
                                    QString::number(r.calCheck()->resolution()))
                               .arg(r.calCheck()->errorCode()) });
    if (!r.gradeMatch().isEmpty()) {
        const XrfGradeMatch &best = r.gradeMatch().first();
        QString value = best.gradeName() + QStringLiteral(" (match number ")
                + QString::number(best.matchNumber(), 'f', 2) + QLatin1Char(')');
        if (r.gradeMatch().size() > 1)
            value += QStringLiteral(", next ") + r.gradeMatch().at(1).gradeName();
        lines.append({ QStringLiteral("grade match"), value });
    }
    for (const XrfImageInfo &image : r.images())
        lines.append({ QStringLiteral("image"),
                       image.name()
                               + (image.type() == 0 ? QStringLiteral(" (inline)")
                                                    : QStringLiteral(" (macro)")) });
    return lines;
}

QString summary(const XrfKorviResult &r)
{
    auto lineText = [](const Line &line) {
        return QStringLiteral("  ") + line.label.leftJustified(11) + QLatin1Char(' ') + line.value
                + QLatin1Char('\n');
    };
    QString text = QStringLiteral("Test %1  %2\n")
                           .arg(r.analysis().testId())
                           .arg(r.analysis().tidName());
    for (const Line &line : headerLines(r))
        text += lineText(line);
    text += chemistry(r);
    for (const Line &line : trailingLines(r))
        text += lineText(line);
    return text;
}

QString info(XrfHost &host)
{
    QString text;
    QTextStream out(&text);
    XrfResultManager *rm = XrfResultManager::instance();
    QJsonObject database;
    rm->getDatabaseInfo(&database);
    int lastId = 0;
    QString lastDateTime;
    rm->getLastTestID(&lastId);
    rm->getLastTestDateTime(&lastDateTime);
    out << "data folder       " << host.dataDir() << '\n';
    out << "database file     " << database.value(QStringLiteral("file")).toString() << '\n';
    out << "dbId              " << database.value(QStringLiteral("dbId")).toString() << '\n';
    out << "schema version    " << host.dbInfo().value(QStringLiteral("dbVersion")).toString()
        << '\n';
    out << "results           " << database.value(QStringLiteral("results")).toInt() << '\n';
    out << "last test id      " << lastId << '\n';
    out << "last date-time    "
        << (lastDateTime.isEmpty() ? QStringLiteral("-") : lastDateTime + QStringLiteral(" UTC"))
        << '\n';
    out << "free space        " << bytes(XrfUtils::availableSpaceOnSdCard()) << '\n';
    out << "image store       " << host.imageDir() << '\n';
    out << "queue folder      " << host.queueDir() << " (" << host.queuedFileCount() << " files)\n";
    return text;
}

} // namespace ResultReport
