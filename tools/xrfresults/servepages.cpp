#include "servepages.h"

#include <QLocale>
#include <QSet>
#include <QUrlQuery>

#include "commands.h"
#include "resultreport.h"

namespace ServePages {

namespace {

    bool s_writable = false;

    QString page(const QString &title, const QString &body)
    {
        return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                              "<title>%1</title>"
                              "<link rel=\"stylesheet\" href=\"/static/dygraph.min.css\">"
                              "<link rel=\"stylesheet\" href=\"/static/viewer.css\">"
                              "<script src=\"/static/dygraph.min.js\" defer></script>"
                              "<script src=\"/static/viewer.js\" defer></script></head>\n"
                              "<body><nav><a href=\"/\">Calendar</a> <a href=\"/latest\">Latest</a>"
                              " <form action=\"/search\" method=\"get\" class=\"search\">"
                              "<input type=\"search\" name=\"q\" placeholder=\"name, heat, lot, "
                              "customer\" aria-label=\"Search\"> <button>Search</button></form>"
                              "</nav>\n<main><h1>%1</h1>\n%2</main></body></html>\n")
                .arg(escape(title), body);
    }

    QString link(const QString &href, const QString &text)
    {
        return QStringLiteral("<a href=\"%1\">%2</a>").arg(escape(href), escape(text));
    }

    QString number(double value, int decimals = 4)
    {
        return QString::number(value, 'f', decimals);
    }

    QString linesTable(const QList<ResultReport::Line> &lines, const QString &cssClass)
    {
        if (lines.isEmpty())
            return QString();
        QString html = QStringLiteral("<table class=\"%1\">").arg(cssClass);
        for (const ResultReport::Line &line : lines)
            html += QStringLiteral("<tr><th>%1</th><td>%2</td></tr>")
                            .arg(escape(line.label), escape(line.value));
        return html + QStringLiteral("</table>\n");
    }

} // namespace

void setWritable(bool writable)
{
    s_writable = writable;
}

QString escape(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
}

QList<QDate> calendarDays(const QJsonObject &calendar)
{
    QList<QDate> days;
    for (const QJsonValue &year : calendar.value(QStringLiteral("Calendar")).toArray()) {
        const QJsonObject y = year.toObject();
        for (auto yi = y.begin(); yi != y.end(); ++yi)
            for (const QJsonValue &month : yi.value().toArray()) {
                const QJsonObject m = month.toObject();
                for (auto mi = m.begin(); mi != m.end(); ++mi)
                    for (const QJsonValue &day : mi.value().toArray()) {
                        const QDate date(yi.key().toInt(), mi.key().toInt(),
                                         day.toString().toInt());
                        if (date.isValid())
                            days << date;
                    }
            }
    }
    std::sort(days.begin(), days.end());
    return days;
}

QString calendar(const QMap<QDate, int> &counts, const QJsonObject &calendarAnswer)
{
    QString body = QStringLiteral("<p class=\"stored\">%1 results stored.</p>\n")
                           .arg(calendarAnswer.value(QStringLiteral("numOfRecsInDb")).toInt());
    // Months newest first, each with its days and their counts.
    QMap<QDate, QList<QDate>> months;
    for (auto i = counts.cbegin(); i != counts.cend(); ++i)
        months[QDate(i.key().year(), i.key().month(), 1)] << i.key();
    for (auto m = months.cend(); m != months.cbegin();) {
        --m;
        body += QStringLiteral("<section class=\"month\"><h2>%1</h2><ul class=\"days\">")
                        .arg(QLocale::c().toString(m.key(), QStringLiteral("MMMM yyyy")));
        for (const QDate &day : m.value()) {
            const int n = counts.value(day);
            body += QStringLiteral("<li>%1 <span class=\"count\">%2</span></li>")
                            .arg(link(QStringLiteral("/day/") + day.toString(Qt::ISODate),
                                      QString::number(day.day())),
                                 n == 1 ? QStringLiteral("1 test")
                                        : QStringLiteral("%1 tests").arg(n));
        }
        body += QStringLiteral("</ul></section>\n");
    }
    if (months.isEmpty())
        body += QStringLiteral("<p>No tests stored.</p>\n");
    return page(QStringLiteral("Calendar"), body);
}

QString list(const QString &title, const QJsonArray &tests, int total, const QString &target)
{
    QString body;
    if (total > tests.size())
        body += QStringLiteral("<p class=\"capped\">Showing the first %1 of %2 tests.</p>\n")
                        .arg(tests.size())
                        .arg(total);
    if (tests.isEmpty())
        return page(title, body + QStringLiteral("<p>No tests.</p>\n"));
    body += QStringLiteral(
            "<form method=\"get\" action=\"/export\"><table class=\"tests\"><thead><tr>"
            "<th></th><th>Test</th><th>Local date-time</th><th>Name</th><th>Method</th>"
            "<th>Grade</th><th>Elements</th></tr></thead><tbody>\n");
    QStringList elementsSeen;
    for (const QJsonValue &value : tests) {
        const QJsonObject t = value.toObject();
        const QString id = QString::number(t.value(QStringLiteral("tid")).toInt());
        QStringList first;
        for (const QJsonValue &e : t.value(QStringLiteral("elements")).toArray()) {
            const QJsonObject o = e.toObject();
            const QString element = o.value(QStringLiteral("element")).toString();
            if (!elementsSeen.contains(element))
                elementsSeen << element;
            if (first.size() < 4)
                first << escape(element) + QLatin1Char(' ')
                                + number(o.value(QStringLiteral("concentration")).toDouble(), 2);
        }
        body += QStringLiteral("<tr><td><input type=\"checkbox\" name=\"id\" value=\"%1\" "
                               "aria-label=\"select test %1\"></td><td>%2</td><td>%3</td>"
                               "<td>%4</td><td>%5</td><td>%6</td><td>%7</td></tr>\n")
                        .arg(id, link(QStringLiteral("/test/") + id, id),
                             escape(localDateTime(t.value(QStringLiteral("dateTime")).toString())),
                             escape(t.value(QStringLiteral("tidName")).toString()),
                             escape(t.value(QStringLiteral("method")).toString()),
                             escape(t.value(QStringLiteral("grade")).toString()),
                             first.join(QStringLiteral(", ")));
    }
    body += QStringLiteral(
                    "</tbody></table>\n<p class=\"actions\">Selected tests: "
                    "<button name=\"format\" value=\"csv\">Export CSV</button> "
                    "<button name=\"format\" value=\"pdf\">Export PDF</button> "
                    "<button name=\"format\" value=\"msa\">Export MSA</button> "
                    "<button name=\"format\" value=\"zip\">Export zip</button> "
                    "<button formaction=\"/average\">Average</button> "
                    "%1"
                    "<button type=\"button\" class=\"select-all\">Select all</button></p></form>\n")
                    .arg(s_writable ? QStringLiteral(
                                 "<input name=\"name\" placeholder=\"Avg\" aria-label=\"name of "
                                 "the average\"> <button formmethod=\"post\" "
                                 "formaction=\"/average\">Store average</button> ")
                                    : QString());
    // A trend of one element across the same tests.
    const QUrlQuery query(target.section(QLatin1Char('?'), 1));
    QString scope;
    if (target.startsWith(QLatin1String("/day/")))
        scope = QStringLiteral("<input type=\"hidden\" name=\"day\" value=\"%1\">")
                        .arg(escape(target.mid(5).section(QLatin1Char('?'), 0, 0)));
    else if (target.startsWith(QLatin1String("/range")))
        scope = QStringLiteral("<input type=\"hidden\" name=\"from\" value=\"%1\">"
                               "<input type=\"hidden\" name=\"to\" value=\"%2\">")
                        .arg(escape(query.queryItemValue(QStringLiteral("from"),
                                                         QUrl::FullyDecoded)),
                             escape(query.queryItemValue(QStringLiteral("to"),
                                                         QUrl::FullyDecoded)));
    if (!scope.isEmpty() && !elementsSeen.isEmpty()) {
        body += QStringLiteral("<form method=\"get\" action=\"/trend\" class=\"trend-form\">")
                + scope + QStringLiteral("Trend of <select name=\"element\">");
        for (const QString &element : qAsConst(elementsSeen))
            body += QStringLiteral("<option>%1</option>").arg(escape(element));
        body += QStringLiteral("</select> <button>Show</button></form>\n");
    }
    return page(title, body);
}

QString result(const XrfKorviResult &r, int previous, int next)
{
    const int id = r.analysis().testId();
    const bool stored = id > 0;
    QString body;
    if (stored) {
        body += QStringLiteral("<p class=\"neighbours\">");
        if (previous > 0)
            body += QStringLiteral("<a rel=\"prev\" href=\"/test/%1\">\u2190 test %1</a> ")
                            .arg(previous);
        if (next > 0)
            body += QStringLiteral("<a rel=\"next\" href=\"/test/%1\">test %1 \u2192</a> ")
                            .arg(next);
        body += QStringLiteral("<a href=\"/api/test/%1\">JSON</a> "
                               "<a href=\"/export?id=%1&amp;format=pdf\">PDF</a> "
                               "<a href=\"/export?id=%1&amp;format=csv\">CSV</a></p>\n")
                        .arg(id);
    } else {
        body += QStringLiteral("<p class=\"note\">Not stored: shown only.</p>\n");
    }
    body += linesTable(ResultReport::headerLines(r), QStringLiteral("header"));
    const QList<ResultReport::ChemistryRow> rows = ResultReport::chemistryRows(r);
    if (!rows.isEmpty()) {
        body += QStringLiteral("<h2>Chemistry</h2><table class=\"chemistry\"><thead><tr>"
                               "<th>Element</th><th>Value</th><th>\u00b1 \u03c3</th><th>Unit</th>"
                               "</tr></thead><tbody>");
        for (const ResultReport::ChemistryRow &row : rows)
            body += QStringLiteral("<tr><th>%1</th><td class=\"value\">%2</td>"
                                   "<td class=\"error\">%3</td><td>%4</td></tr>")
                            .arg(escape(row.element), escape(row.value), escape(row.error),
                                 escape(row.unit));
        body += QStringLiteral("</tbody></table>\n");
    }
    if (stored && s_writable)
        body += QStringLiteral("<form method=\"post\" action=\"/test/%1/info\" class=\"edit\">"
                               "<input name=\"label\" placeholder=\"label\" required> "
                               "<input name=\"value\" placeholder=\"value\"> "
                               "<button>Set test info</button></form>\n")
                        .arg(id);
    body += linesTable(ResultReport::trailingLines(r), QStringLiteral("details"));
    if (stored && !r.images().isEmpty()) {
        body += QStringLiteral("<h2>Pictures</h2><div class=\"pictures\">");
        for (int i = 0; i < r.images().size(); ++i)
            body += QStringLiteral("<img src=\"/test/%1/picture/%2\" alt=\"%3\">")
                            .arg(id)
                            .arg(i)
                            .arg(escape(r.images().at(i).name()));
        body += QStringLiteral("</div>\n");
    }
    if (stored && !r.spectra().isEmpty()) {
        body += QStringLiteral("<h2>Spectra</h2>\n");
        for (int i = 0; i < r.spectra().size(); ++i) {
            const XrfSpectrum &s = r.spectra().at(i);
            body += QStringLiteral(
                            "<section class=\"spectrum\" data-src=\"/api/test/%1/spectrum/%2\">"
                            "<h3>Exposure %3 of %4%5</h3><label><input type=\"checkbox\" "
                            "class=\"logscale\"> log counts</label> <span class=\"hint\">drag "
                            "to zoom, shift-drag to pan, double-click to reset</span>"
                            "<div class=\"plot\"></div><div class=\"line-labels\"></div>"
                            "</section>\n")
                            .arg(id)
                            .arg(i)
                            .arg(s.exposureNumber() > 0 ? s.exposureNumber() : i + 1)
                            .arg(s.totalExposureNumber() > 0 ? s.totalExposureNumber()
                                                             : r.spectra().size())
                            .arg(s.tubeVoltageSet() > 0.0
                                         ? QStringLiteral(" \u00b7 %1 kV").arg(s.tubeVoltageSet())
                                         : QString());
        }
    }
    const QString title = stored ? QStringLiteral("Test %1  %2").arg(id).arg(r.analysis().tidName())
                                 : QStringLiteral("Average  ") + r.analysis().tidName();
    return page(title, body);
}

QString trend(const QJsonObject &series, const QString &target)
{
    const QString element = series.value(QStringLiteral("element")).toString();
    const QJsonArray points = series.value(QStringLiteral("points")).toArray();
    QString body;
    if (series.value(QStringLiteral("capped")).toBool())
        body += QStringLiteral("<p class=\"capped\">Only the first tests are shown.</p>\n");
    if (points.isEmpty())
        return page(element + QStringLiteral(" trend"),
                    body + QStringLiteral("<p>No test holds this element.</p>\n"));
    body += QStringLiteral("<section class=\"trend\" data-src=\"/api%1\"><div class=\"plot\">"
                           "</div></section>\n")
                    .arg(escape(target));
    body += QStringLiteral("<table class=\"tests\"><thead><tr><th>Test</th><th>Local date-time"
                           "</th><th>Name</th><th>%1 (%)</th><th>\u00b1 \u03c3</th></tr></thead>"
                           "<tbody>")
                    .arg(escape(element));
    for (const QJsonValue &value : points) {
        const QJsonObject p = value.toObject();
        const QString id = QString::number(p.value(QStringLiteral("tid")).toInt());
        body += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>")
                        .arg(link(QStringLiteral("/test/") + id, id),
                             escape(localDateTime(p.value(QStringLiteral("dateTime")).toString())),
                             escape(p.value(QStringLiteral("tidName")).toString()),
                             number(p.value(QStringLiteral("concentration")).toDouble()),
                             number(p.value(QStringLiteral("error")).toDouble()));
    }
    body += QStringLiteral("</tbody></table>\n");
    return page(element + QStringLiteral(" across ")
                        + series.value(QStringLiteral("title")).toString(),
                body);
}

} // namespace ServePages
