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
        if (m_offset >= m_buffer.size() && !fill()) {
            if (depth == 0)
                return End;
            // A quote left open runs to the end of the file: the objects
            // behind the damage are read again from where they begin.
            if (!oversized && resynchronise(collected)) {
                if (problem)
                    *problem = QStringLiteral("an object that never closes");
                return Unreadable;
            }
            return Truncated;
        }
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
            resynchronise(collected);
            return Unreadable;
        }
        *object = document.object();
        return Object;
    }
}

bool ResultStreamReader::resynchronise(const QByteArray &failed)
{
    // Objects follow each other as "}{" (or with white space between);
    // valid JSON has no such pair outside strings, so the first one after
    // the failed object's start is where the next object begins.
    for (int i = 1; i < failed.size(); ++i) {
        if (failed.at(i) != '}')
            continue;
        int j = i + 1;
        while (j < failed.size()
               && (failed.at(j) == ' ' || failed.at(j) == '\n' || failed.at(j) == '\r'
                   || failed.at(j) == '\t'))
            ++j;
        if (j < failed.size() && failed.at(j) == '{') {
            m_buffer = failed.mid(j) + m_buffer.mid(m_offset);
            m_offset = 0;
            m_consumed -= failed.size() - j;
            return true;
        }
    }
    return false;
}
