#include "progressbar.h"

#include <cstdio>
#include <unistd.h>

ProgressBar::ProgressBar(bool wanted) : m_enabled(wanted && ::isatty(STDERR_FILENO))
{
    m_clock.start();
}

void ProgressBar::show(int done, int total)
{
    if (!m_enabled || total <= 0 || done == m_last || m_clock.elapsed() < 1000)
        return;
    m_last = done;
    m_drawn = true;
    const int width = 40;
    const int filled = int(qint64(done) * width / total);
    std::fprintf(stderr, "\r[%.*s%*s] %d/%d", filled, "########################################",
                 width - filled, "", done, total);
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
