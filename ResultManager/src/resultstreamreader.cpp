// The scan is a small state machine over bytes (depth, inside a string,
// after a backslash); every byte that matters is ASCII, and no byte of a
// multi-byte UTF-8 character is, so the text need not be decoded to be cut.

#include "resultstreamreader.h"

#include <QIODevice>
#include <QJsonDocument>
#include <QJsonParseError>

ResultStreamReader::ResultStreamReader(QIODevice *device) : m_device(device) { }

bool ResultStreamReader::fill()
{
    m_buffer = m_device->read(1 << 16);
    m_offset = 0;
    return !m_buffer.isEmpty();
}

ResultStreamReader::Outcome ResultStreamReader::next(QJsonObject *object, QString *problem)
{
    QByteArray collected;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    bool oversized = false;
    for (;;) {
        if (m_offset >= m_buffer.size() && !fill())
            return depth > 0 ? Truncated : End;
        const char *data = m_buffer.constData();
        const int size = m_buffer.size();
        int i = m_offset;
        if (depth == 0) {
            while (i < size && data[i] != '{')
                ++i;
            m_consumed += i - m_offset;
            m_offset = i;
            if (i == size)
                continue;
        }
        const int start = i;
        for (; i < size; ++i) {
            const char c = data[i];
            if (inString) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == '{') {
                ++depth;
            } else if (c == '}' && --depth == 0) {
                ++i;
                break;
            }
        }
        if (!oversized) {
            if (collected.size() + (i - start) > maxObjectBytes) {
                oversized = true;
                collected.clear();
            } else {
                collected.append(data + start, i - start);
            }
        }
        m_consumed += i - m_offset;
        m_offset = i;
        if (depth > 0)
            continue;

        if (oversized) {
            if (problem)
                *problem = QStringLiteral("an object of more than %1 bytes").arg(maxObjectBytes);
            return Unreadable;
        }
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(collected, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            if (problem)
                *problem = error.errorString();
            return Unreadable;
        }
        *object = document.object();
        return Object;
    }
}
