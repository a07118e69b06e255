#include "reportlayout.h"

#include "reportfonts.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPagedPaintDevice>
#include <QPainter>

#include <algorithm>

namespace {

const QColor ruleColour(0x80, 0x80, 0x80);
const QColor shadeColour(0xf0, 0xf3, 0xf6);

} // namespace

ReportLayout::ReportLayout(QPainter *painter, QPagedPaintDevice *device, const QFont &font)
    : m_painter(painter), m_device(device), m_font(font)
{
    const double footer = lineHeight() * 1.6;
    m_content = QRectF(0.0, 0.0, device->width(), device->height() - footer);
    m_footerTop = device->height() - footer;
    m_y = m_content.top();
}

double ReportLayout::mm(double millimetres) const
{
    return millimetres * m_device->logicalDpiY() / 25.4;
}

double ReportLayout::pt(double points) const
{
    return points * m_device->logicalDpiY() / 72.0;
}

QFont ReportLayout::font(double scale, bool bold) const
{
    QFont f = m_font;
    f.setPointSizeF(m_font.pointSizeF() * scale);
    f.setBold(bold);
    return f;
}

double ReportLayout::lineHeight() const
{
    return QFontMetricsF(m_font, m_device).height();
}

void ReportLayout::startResult(const QString &footer, const QString &continuation)
{
    m_footer = ReportFonts::printable(footer);
    m_continuation = ReportFonts::printable(continuation);
    m_firstOfResult = true;
    if (m_pageUsed) {
        m_device->newPage();
        ++m_pages;
    }
    m_y = m_content.top();
    m_pageUsed = false;
    drawPageDecoration();
}

void ReportLayout::newPage()
{
    m_device->newPage();
    ++m_pages;
    m_firstOfResult = false;
    m_y = m_content.top();
    m_pageUsed = false;
    drawPageDecoration();
}

void ReportLayout::ensureSpace(double height)
{
    if (m_pageUsed && m_y + height > m_content.bottom())
        newPage();
}

void ReportLayout::skip(double height)
{
    m_y += height;
    m_pageUsed = true;
}

void ReportLayout::drawPageDecoration()
{
    m_painter->save();
    const QFont small = font(0.8);
    const QFontMetricsF metrics(small, m_device);
    m_painter->setFont(small);
    m_painter->setPen(QPen(ruleColour, pt(0.4)));
    m_painter->drawLine(QPointF(m_content.left(), m_footerTop + metrics.height() * 0.3),
                        QPointF(m_content.right(), m_footerTop + metrics.height() * 0.3));
    m_painter->setPen(Qt::black);
    const QString page = QStringLiteral("Page %1").arg(m_pages);
    const double baseline = m_footerTop + metrics.height() * 0.4 + metrics.ascent();
    m_painter->drawText(QPointF(m_content.left(), baseline),
                        metrics.elidedText(m_footer, Qt::ElideRight, m_content.width() * 0.8));
    m_painter->drawText(QPointF(m_content.right() - metrics.horizontalAdvance(page), baseline),
                        page);
    if (!m_firstOfResult && !m_continuation.isEmpty()) {
        m_painter->setPen(ruleColour);
        m_painter->drawText(QPointF(m_content.left(), m_y + metrics.ascent()),
                            metrics.elidedText(m_continuation, Qt::ElideRight, m_content.width()));
        m_y += metrics.height() * 1.5;
    }
    m_painter->restore();
}

void ReportLayout::title(const QString &given, const QImage &logo)
{
    const QString text = ReportFonts::printable(given);
    const QFont big = font(1.6, true);
    const QFontMetricsF metrics(big, m_device);
    const double height = std::max(metrics.height(), logo.isNull() ? 0.0 : mm(12.0));
    double textWidth = m_content.width();
    if (!logo.isNull()) {
        const double h = mm(12.0);
        const double w
                = std::min(h * logo.width() / std::max(1, logo.height()), m_content.width() / 3.0);
        const QRectF target(m_content.right() - w, m_y, w, h);
        m_painter->drawImage(target, logo);
        textWidth -= w + mm(3.0);
    }
    m_painter->setFont(big);
    m_painter->setPen(Qt::black);
    m_painter->drawText(
            QPointF(m_content.left(), m_y + (height - metrics.height()) / 2.0 + metrics.ascent()),
            metrics.elidedText(text, Qt::ElideRight, textWidth));
    m_y += height + mm(1.5);
    m_painter->setPen(QPen(Qt::black, pt(0.8)));
    m_painter->drawLine(QPointF(m_content.left(), m_y), QPointF(m_content.right(), m_y));
    m_y += mm(2.5);
    m_pageUsed = true;
}

void ReportLayout::heading(const QString &given, double keepWith)
{
    const QString text = ReportFonts::printable(given);
    const QFont bold = font(1.15, true);
    const QFontMetricsF metrics(bold, m_device);
    ensureSpace(mm(3.0) + metrics.height() + std::max(keepWith, 3.0 * lineHeight()));
    m_y += mm(2.0);
    m_painter->setFont(bold);
    m_painter->setPen(Qt::black);
    m_painter->drawText(QPointF(m_content.left(), m_y + metrics.ascent()), text);
    m_y += metrics.height();
    m_painter->setPen(QPen(ruleColour, pt(0.4)));
    m_painter->drawLine(QPointF(m_content.left(), m_y), QPointF(m_content.right(), m_y));
    m_y += mm(1.0);
    m_pageUsed = true;
}

void ReportLayout::paragraph(const QString &given, bool bold)
{
    const QString text = ReportFonts::printable(given);
    const QFont f = font(1.0, bold);
    const QFontMetricsF metrics(f, m_device);
    const QRectF bounds
            = metrics.boundingRect(QRectF(0, 0, m_content.width(), 1e9), Qt::TextWordWrap, text);
    ensureSpace(bounds.height());
    m_painter->setFont(f);
    m_painter->setPen(Qt::black);
    m_painter->drawText(QRectF(m_content.left(), m_y, m_content.width(), bounds.height()),
                        Qt::TextWordWrap, text);
    m_y += bounds.height() + mm(0.5);
    m_pageUsed = true;
}

void ReportLayout::keyValues(const QVector<QPair<QString, QString>> &given, int columns)
{
    QVector<QPair<QString, QString>> pairs;
    for (const auto &pair : given)
        pairs << qMakePair(ReportFonts::printable(pair.first), ReportFonts::printable(pair.second));
    columns = std::max(1, columns);
    const QFont bold = font(1.0, true);
    const QFontMetricsF boldMetrics(bold, m_device);
    const QFontMetricsF metrics(m_font, m_device);
    const double gap = mm(4.0);
    const double cell = (m_content.width() - gap * (columns - 1)) / columns;
    double labelWidth = 0.0;
    for (const auto &pair : pairs)
        labelWidth = std::max(labelWidth, boldMetrics.horizontalAdvance(pair.first));
    labelWidth = std::min(labelWidth + mm(2.0), cell * 0.45);
    const double valueWidth = cell - labelWidth;

    for (int first = 0; first < pairs.size(); first += columns) {
        double height = lineHeight();
        for (int c = 0; c < columns && first + c < pairs.size(); ++c) {
            const QString &value = pairs.at(first + c).second;
            height = std::max(
                    height,
                    metrics.boundingRect(QRectF(0, 0, valueWidth, 1e9), Qt::TextWordWrap, value)
                            .height());
        }
        ensureSpace(height);
        for (int c = 0; c < columns && first + c < pairs.size(); ++c) {
            const double x = m_content.left() + c * (cell + gap);
            const auto &pair = pairs.at(first + c);
            m_painter->setPen(Qt::black);
            m_painter->setFont(bold);
            m_painter->drawText(
                    QPointF(x, m_y + boldMetrics.ascent()),
                    boldMetrics.elidedText(pair.first, Qt::ElideRight, labelWidth - mm(1.0)));
            m_painter->setFont(m_font);
            m_painter->drawText(QRectF(x + labelWidth, m_y, valueWidth, height), Qt::TextWordWrap,
                                pair.second);
        }
        m_y += height + mm(0.4);
        m_pageUsed = true;
    }
}

void ReportLayout::tableHeader(const QVector<Column> &columns, const QVector<double> &widths,
                               int groups, double groupWidth, double gap)
{
    const QFont bold = font(1.0, true);
    const QFontMetricsF metrics(bold, m_device);
    const double pad = mm(1.0);
    const double height = lineHeight() * 1.25;
    m_painter->setFont(bold);
    for (int g = 0; g < groups; ++g) {
        double x = m_content.left() + g * (groupWidth + gap);
        m_painter->setPen(Qt::black);
        for (int c = 0; c < columns.size(); ++c) {
            m_painter->drawText(QRectF(x + pad, m_y, widths.at(c) - 2 * pad, height),
                                columns.at(c).alignment | Qt::AlignVCenter,
                                metrics.elidedText(columns.at(c).header, Qt::ElideRight,
                                                   widths.at(c) - 2 * pad));
            x += widths.at(c);
        }
        const double left = m_content.left() + g * (groupWidth + gap);
        m_painter->setPen(QPen(Qt::black, pt(0.6)));
        m_painter->drawLine(QPointF(left, m_y + height), QPointF(left + groupWidth, m_y + height));
    }
    m_y += height + pt(0.6);
    m_pageUsed = true;
}

void ReportLayout::table(const QVector<Column> &givenColumns, const QVector<QStringList> &givenRows,
                         int groups)
{
    QVector<Column> columns = givenColumns;
    for (Column &column : columns)
        column.header = ReportFonts::printable(column.header);
    QVector<QStringList> rows;
    for (const QStringList &row : givenRows) {
        QStringList cells;
        for (const QString &cell : row)
            cells << ReportFonts::printable(cell);
        rows << cells;
    }
    if (columns.isEmpty())
        return;
    groups = std::max(1, std::min(groups, int(rows.size())));
    const double gap = groups > 1 ? mm(6.0) : 0.0;
    // Wider than this, a few short columns only spread their numbers apart.
    const double groupWidth
            = std::min((m_content.width() - gap * (groups - 1)) / groups, mm(110.0));
    double weights = 0.0;
    for (const Column &column : columns)
        weights += column.weight;
    QVector<double> widths;
    for (const Column &column : columns)
        widths << groupWidth * column.weight / weights;

    const QFontMetricsF metrics(m_font, m_device);
    const double pad = mm(1.0);
    const double rowHeight = lineHeight() * 1.2;
    const int perGroup = (rows.size() + groups - 1) / groups;
    ensureSpace(lineHeight() * 1.25 + 2 * rowHeight);
    tableHeader(columns, widths, groups, groupWidth, gap);
    m_painter->setFont(m_font);
    for (int r = 0; r < perGroup; ++r) {
        if (m_y + rowHeight > m_content.bottom()) {
            newPage();
            tableHeader(columns, widths, groups, groupWidth, gap);
            m_painter->setFont(m_font);
        }
        for (int g = 0; g < groups; ++g) {
            const int index = g * perGroup + r;
            if (index >= rows.size())
                continue;
            const QStringList &row = rows.at(index);
            double x = m_content.left() + g * (groupWidth + gap);
            if (r % 2 == 1)
                m_painter->fillRect(QRectF(x, m_y, groupWidth, rowHeight), shadeColour);
            m_painter->setPen(Qt::black);
            for (int c = 0; c < columns.size(); ++c) {
                const QString text = c < row.size() ? row.at(c) : QString();
                m_painter->drawText(
                        QRectF(x + pad, m_y, widths.at(c) - 2 * pad, rowHeight),
                        columns.at(c).alignment | Qt::AlignVCenter,
                        metrics.elidedText(text, Qt::ElideRight, widths.at(c) - 2 * pad));
                x += widths.at(c);
            }
        }
        m_y += rowHeight;
    }
    m_y += mm(1.0);
    m_pageUsed = true;
}
