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

QString chemistry(const XrfKorviResult &r)
{
    if (r.chemistry().isEmpty())
        return QString();
    using Unit = MethodDisplaySettings::Unit;
    const MethodDisplaySettings display
            = MethodDisplaySettings::fromJsonObject(
                      XrfMethodManager::instance()->getDisplaySettings())
                      .forMethod(r.analysis().methodId());
    QString text = QStringLiteral("  chemistry\n");
    for (const XrfChemistryResult &c : r.chemistry()) {
        // Stored in %; whole ppm keep the resolution of four decimals of %.
        const Unit unit = display.unitOf(c.elementName());
        const int decimals = unit == Unit::Ppm ? 0 : 4;
        text += QStringLiteral("    ") + c.elementName().leftJustified(4) + QLatin1Char(' ')
                + QString::number(MethodDisplaySettings::fromPercent(c.concentration(), unit), 'f',
                                  decimals)
                          .rightJustified(10)
                + QString::fromUtf8(" ± ")
                + QString::number(MethodDisplaySettings::fromPercent(c.error(), unit), 'f',
                                  decimals)
                + QLatin1Char(' ')
                + (unit == Unit::Ppm ? QStringLiteral("ppm") : QStringLiteral("%"))
                + QLatin1Char('\n');
    }
    return text;
}

QString summary(const XrfKorviResult &r)
{
    QString text;
    QTextStream out(&text);
    const XrfAnalysisResult &a = r.analysis();
    const QString plusMinus = QString::fromUtf8(" ± ");
    out << "Test " << a.testId() << "  " << a.tidName() << '\n';
    out << "  date-time   " << localAndUtc(a.testDateTime()) << '\n';
    out << "  type        " << a.testType() << '\n';
    out << "  method      " << a.methodDispName() << " (" << a.methodId() << ")\n";
    out << "  user        " << a.userId() << '\n';
    for (const QJsonObject &info : r.testInfo())
        out << "  " << info.value(QStringLiteral("key")).toString().leftJustified(11) << ' '
            << info.value(QStringLiteral("value")).toString() << '\n';
    out << chemistry(r);
    for (const XrfCoatingResult &layer : r.coating())
        out << "  layer " << layer.layerOrder() << "     " << layer.element() << ' '
            << QString::number(layer.thickness(), 'f', 3) << plusMinus
            << QString::number(layer.error(), 'f', 3) << QString::fromUtf8(" µm\n");
    if (r.hasCalCheck())
        out << "  cal check   rate " << r.calCheck()->rate() << ", resolution "
            << r.calCheck()->resolution() << " eV, error code " << r.calCheck()->errorCode()
            << '\n';
    if (!r.gradeMatch().isEmpty()) {
        const XrfGradeMatch &best = r.gradeMatch().first();
        out << "  grade match " << best.gradeName() << " (match number "
            << QString::number(best.matchNumber(), 'f', 2) << ")";
        if (r.gradeMatch().size() > 1)
            out << ", next " << r.gradeMatch().at(1).gradeName();
        out << '\n';
    }
    for (const XrfImageInfo &image : r.images())
        out << "  image       " << image.name() << (image.type() == 0 ? " (inline)" : " (macro)")
            << '\n';
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
