#include "threadreaders.h"

#include <QMutexLocker>

#include <QAtomicInteger>

#include <map>
#include <memory>

#include "xrfresultreader.h"

namespace {

struct Slot
{
    quint64 generation = 0;
    std::unique_ptr<XrfResultReader> reader;
};

// This thread's readers, by the id of the object they belong to.
thread_local std::map<quint64, Slot> t_slots;

QAtomicInteger<quint64> s_ids;

} // namespace

ThreadReaders::ThreadReaders() : m_id(s_ids.fetchAndAddRelaxed(1) + 1) { }

void ThreadReaders::publish(const QString &file)
{
    QMutexLocker lock(&m_mutex);
    m_target.file = file;
    ++m_target.generation;
}

ThreadReaders::Target ThreadReaders::target() const
{
    QMutexLocker lock(&m_mutex);
    return m_target;
}

XrfResultReader *ThreadReaders::reader(QString *why)
{
    const Target now = target();
    Slot *slot = &t_slots[m_id];
    if (slot->generation != now.generation || !slot->reader) {
        // A reader of a file no longer in use goes first: it may hold a
        // card that is being taken out.
        slot->reader.reset();
        slot->generation = now.generation;
        if (!now.file.isEmpty())
            slot->reader.reset(new XrfResultReader(now.file));
    }
    if (!slot->reader) {
        *why = QStringLiteral("no results database is open");
        return nullptr;
    }
    if (!slot->reader->isOpen()) {
        *why = slot->reader->errorString();
        // Tried again at the next question: the file may be back by then.
        slot->reader.reset();
        return nullptr;
    }
    return slot->reader.get();
}

void ThreadReaders::dropThisThread()
{
    t_slots.erase(m_id);
}
