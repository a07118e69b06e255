#ifndef REPORTFONTS_H
#define REPORTFONTS_H

// The fonts a report is drawn in, and the text they can draw.
//
// DejaVu Sans (fonts-dejavu-core) draws Latin, Greek, Cyrillic and the signs of the report;
// WenQuanYi Micro Hei (fonts-wqy-microhei) draws Chinese, Japanese and Korean. A character is
// taken from the first of them that has it; one that neither has would print as nothing, so
// printable() puts U+FFFD (DejaVu Sans has it) in its place, where a reader sees that
// something was there. Which fonts are installed decides only that: a missing CJK font turns
// CJK text into marks, never into blanks.
//
// Fonts need a QGuiApplication. Safe to call from any thread.

#include <QFont>
#include <QString>
#include <QStringList>

class ReportFonts
{
public:
    // In order of preference.
    static QStringList families();
    // The fonts of the families that fontconfig does not know, loaded from their packages'
    // folders; once per process.
    static void ensureLoaded();
    // The report font of that size.
    static QFont font(double pointSize);
    // The text with each character that no family can draw replaced by U+FFFD. Spaces, line
    // breaks and marks that combine with the character before them are kept.
    static QString printable(const QString &text);
};

#endif // REPORTFONTS_H
