#include "reportfonts.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QVector>

#include <algorithm>

namespace {

struct Family
{
    QString name;
    QStringList files; // where Debian's package puts it
};

const QVector<Family> &knownFamilies()
{
    static const QVector<Family> families {
        { QStringLiteral("DejaVu Sans"),
          { QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"),
            QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf") } },
        { QStringLiteral("WenQuanYi Micro Hei"),
          { QStringLiteral("/usr/share/fonts/truetype/wqy/wqy-microhei.ttc") } },
    };
    return families;
}

const QChar replacement(0xfffd);

} // namespace

QStringList ReportFonts::families()
{
    QStringList names;
    for (const Family &family : knownFamilies())
        names << family.name;
    return names;
}

void ReportFonts::ensureLoaded()
{
    static const bool done = [] {
        const QStringList installed = QFontDatabase().families();
        for (const Family &family : knownFamilies())
            if (!installed.contains(family.name))
                for (const QString &file : family.files)
                    QFontDatabase::addApplicationFont(file);
        return true;
    }();
    Q_UNUSED(done)
}

QFont ReportFonts::font(double pointSize)
{
    ensureLoaded();
    QFont font(families().constFirst());
    font.setFamilies(families());
    font.setPointSizeF(pointSize);
    // Without ligatures the text comes out of the PDF as it went in ("Offset", not "Oﬀset").
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

QString ReportFonts::printable(const QString &text)
{
    // The first family draws every printable ASCII character.
    if (std::all_of(text.cbegin(), text.cend(),
                    [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; }))
        return text;
    ensureLoaded();
    // Each family alone: a font that merges in the system's fallbacks would claim characters
    // that the report does not draw in its own fonts.
    QVector<QFontMetricsF> metrics;
    for (const QString &family : families()) {
        QFont font(family);
        font.setStyleStrategy(QFont::NoFontMerging);
        // A family that is not installed is matched to another font; it draws nothing of its own.
        if (QFontInfo(font).family() == family)
            metrics << QFontMetricsF(font);
    }
    QString out;
    out.reserve(text.size());
    const QVector<uint> codes = text.toUcs4();
    for (const uint code : codes) {
        const QString character = QString::fromUcs4(&code, 1);
        bool drawn = QChar::isSpace(code) || QChar::category(code) == QChar::Other_Control
                || QChar::category(code) == QChar::Mark_NonSpacing;
        for (int i = 0; !drawn && i < metrics.size(); ++i)
            drawn = metrics.at(i).inFontUcs4(code);
        out += drawn ? character : QString(replacement);
    }
    return out;
}
