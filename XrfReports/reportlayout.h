#ifndef REPORTLAYOUT_H
#define REPORTLAYOUT_H

// The running layout of a report: a cursor down the page, blocks that move to a new page when
// they do not fit, a footer on every page and a continuation line on the pages after a
// result's first. Text is drawn with QFontMetricsF in device units, which keeps a page to a
// few milliseconds where a QTextDocument per table would cost many times that. Every text is
// drawn as ReportFonts::printable() gives it.

#include <QFont>
#include <QPair>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QVector>

class QImage;
class QPagedPaintDevice;
class QPainter;

class ReportLayout
{
public:
    struct Column
    {
        QString header;
        double weight = 1.0;
        Qt::Alignment alignment = Qt::AlignLeft;
    };

    ReportLayout(QPainter *painter, QPagedPaintDevice *device, const QFont &font);

    double mm(double millimetres) const;
    double pt(double points) const;
    QFont font(double scale = 1.0, bool bold = false) const;
    double lineHeight() const;
    // The printable area above the footer.
    QRectF content() const { return m_content; }
    double y() const { return m_y; }
    double remaining() const { return m_content.bottom() - m_y; }
    int pages() const { return m_pages; }

    // A result starts on a page of its own, with this footer on each of its pages and this
    // line at the top of the pages after its first.
    void startResult(const QString &footer, const QString &continuation);
    void newPage();
    // Moves to a new page when `height` does not fit below the cursor and the page already
    // holds something of this result (a block taller than a page is drawn and clipped).
    void ensureSpace(double height);
    void skip(double height);

    void title(const QString &text, const QImage &logo);
    // A heading stays on the page of the first `keepWith` of what follows it.
    void heading(const QString &text, double keepWith = 0.0);
    void paragraph(const QString &text, bool bold = false);
    // Label and value pairs in `columns` columns; values wrap within their cell.
    void keyValues(const QVector<QPair<QString, QString>> &pairs, int columns);
    // Rows split into `groups` blocks side by side; the header is repeated after a page break.
    void table(const QVector<Column> &columns, const QVector<QStringList> &rows, int groups = 1);

private:
    void drawPageDecoration();
    void tableHeader(const QVector<Column> &columns, const QVector<double> &widths, int groups,
                     double groupWidth, double gap);

    QPainter *m_painter;
    QPagedPaintDevice *m_device;
    QFont m_font;
    QRectF m_content;
    double m_footerTop = 0.0;
    double m_y = 0.0;
    int m_pages = 1;
    bool m_pageUsed = false;
    bool m_firstOfResult = true;
    QString m_footer;
    QString m_continuation;
};

#endif // REPORTLAYOUT_H
