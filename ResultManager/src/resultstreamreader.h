#ifndef RESULTSTREAMREADER_H
#define RESULTSTREAMREADER_H

// Reads the objects of a JSON object stream one at a time from a device.
//
// Invariants: an object is the text from a "{" at depth 0 to the "}" that
// closes it; braces and quotes inside JSON strings (escapes included) do not
// count, so a "}" in a test info value never splits a result. Text outside
// objects is passed over. An object that does not parse is reported as such
// and the reader goes on after it, so one bad object costs only itself
// (unless its own quotes are unbalanced: then it runs on to the next place
// where the text balances, and the caller keeps the file).

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

    QIODevice *m_device;
    QByteArray m_buffer;
    int m_offset = 0;
    qint64 m_consumed = 0;
};

#endif // RESULTSTREAMREADER_H
