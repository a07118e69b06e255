#ifndef RESULTSTREAMREADER_H
#define RESULTSTREAMREADER_H

// Reads the objects of a JSON object stream one at a time from a device.
//
// Invariants: an object is the text from a "{" at depth 0 to the "}" that
// closes it; braces and quotes inside JSON strings (escapes included) do not
// count, so a "}" in a test info value never splits a result. Text outside
// objects is passed over. An object that does not parse, or that never
// closes (a quote left open), is reported as one unreadable object, and the
// reader goes on at the next "}{" boundary inside what it took: one damaged
// object costs only itself, never the objects behind it.

#include <QByteArray>
#include <QJsonObject>

class QIODevice;

class ResultStreamReader
{
public:
    enum Outcome {
        Object, // *object holds the next object
        Unreadable, // an object was there but is not JSON (or too large)
        End, // no further object
        Truncated // the device ended inside an object
    };

    explicit ResultStreamReader(QIODevice *device);

    Outcome next(QJsonObject *object, QString *problem = nullptr);
    // Bytes consumed so far.
    qint64 position() const { return m_consumed; }

    // Larger objects are passed over as unreadable rather than held.
    static const int maxObjectBytes = 64 * 1024 * 1024;

private:
    bool fill();
    // Puts back what follows the first object boundary inside `failed`;
    // false when there is none.
    bool resynchronise(const QByteArray &failed);

    QIODevice *m_device;
    QByteArray m_buffer;
    int m_offset = 0;
    qint64 m_consumed = 0;
};

#endif // RESULTSTREAMREADER_H
