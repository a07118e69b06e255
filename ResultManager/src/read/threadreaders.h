#ifndef THREADREADERS_H
#define THREADREADERS_H

// One read-only reader of the results database for each thread that asks a
// blocking question (the queue's exactly-once checks, a host's synchronous
// reads), so that none of them waits for the worker: the write-ahead log
// lets them read while it writes, and a long export or import on the worker
// holds nobody up.
//
// Invariants: a reader is used only on the thread that made it, and is made
// again when the database object says its file changed (a new generation:
// opened, closed, replaced); a thread's reader dies when the thread ends, or
// when dropThisThread() is called on it. The readers are kept thread-local
// by C++ rather than by QThreadStorage, which deletes the main thread's
// data while the application object is being torn down.

#include <QMutex>
#include <QString>

class XrfResultReader;

class ThreadReaders
{
public:
    // The file to read and its generation, as the database object publishes
    // them; an empty file while no database is open.
    struct Target
    {
        QString file;
        quint64 generation = 0;
    };

    void publish(const QString &file);
    Target target() const;

    // The calling thread's reader of the current target; null when none is
    // open or the file cannot be read (then *why says so).
    XrfResultReader *reader(QString *why);
    void dropThisThread();

    ThreadReaders();

private:
    mutable QMutex m_mutex;
    Target m_target;
    const quint64 m_id; // keys this object's readers in each thread
};

#endif // THREADREADERS_H
