// Bytes as a JSON object stream: every object the reader hands out is
// checked as the import checks it. The reader must end, and never go back.
#include "resultstreamreader.h"
#include "xrfkorviresult.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    ResultStreamReader reader(&buffer);
    qint64 last = 0;
    for (;;) {
        QJsonObject object;
        QString problem;
        const ResultStreamReader::Outcome outcome = reader.next(&object, &problem);
        if (reader.position() < last || reader.position() > qint64(size))
            abort();
        last = reader.position();
        if (outcome == ResultStreamReader::End || outcome == ResultStreamReader::Truncated)
            break;
        if (outcome == ResultStreamReader::Object) {
            XrfKorviResult result;
            result.readResultJson(object);
        }
    }
    if (last != qint64(size))
        abort();
    return 0;
}
