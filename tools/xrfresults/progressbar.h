#ifndef PROGRESSBAR_H
#define PROGRESSBAR_H

// A one-line progress bar on stderr, drawn only on a terminal and only once
// the work has taken about a second.

#include <QElapsedTimer>
#include <QString>

class ProgressBar
{
public:
    explicit ProgressBar(bool wanted);
    // The note (why the work waits, say) follows the count on the same line.
    void show(int done, int total, const QString &note = QString());
    void finish();

private:
    bool m_enabled;
    bool m_drawn = false;
    int m_last = -1;
    QString m_lastNote;
    QElapsedTimer m_clock;
};

#endif // PROGRESSBAR_H
