#ifndef PROGRESSBAR_H
#define PROGRESSBAR_H

// A one-line progress bar on stderr, drawn only on a terminal and only once
// the work has taken about a second.

#include <QElapsedTimer>

class ProgressBar
{
public:
    explicit ProgressBar(bool wanted);
    void show(int done, int total);
    void finish();

private:
    bool m_enabled;
    bool m_drawn = false;
    int m_last = -1;
    QElapsedTimer m_clock;
};

#endif // PROGRESSBAR_H
