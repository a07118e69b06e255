#include "progressbar.h"

#include <cstdio>
#include <unistd.h>

ProgressBar::ProgressBar(bool wanted) : m_enabled(wanted && ::isatty(STDERR_FILENO))
{
    m_clock.start();
}

void ProgressBar::show(int done, int total, const QString &note)
{
    if (!m_enabled || total <= 0 || (done == m_last && note == m_lastNote)
        || m_clock.elapsed() < 1000)
        return;
    m_last = done;
    m_lastNote = note;
    m_drawn = true;
    const int width = 40;
    const int filled = int(qint64(done) * width / total);
    // "\033[K" clears what a longer note left behind.
    std::fprintf(stderr, "\r[%.*s%*s] %d/%d%s%s\033[K", filled,
                 "########################################", width - filled, "", done, total,
                 note.isEmpty() ? "" : "  ", qPrintable(note));
    std::fflush(stderr);
}

void ProgressBar::finish()
{
    if (m_drawn) {
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
    m_drawn = false;
}
