// Bytes as a result document: read into the model and written back. What
// the model writes it must read back unchanged, or a stored result would
// drift every time it passes through the queue or a stream.
#include "xrfkorviresult.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument doc = QJsonDocument::fromJson(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (!doc.isObject())
        return 0;
    XrfKorviResult result;
    result.fromJsonObject(doc.object());
    const QJsonObject once = result.toJsonObject();

    XrfKorviResult again;
    again.fromJsonObject(once);
    const QJsonObject twice = again.toJsonObject();
    if (twice != once) {
        fprintf(stderr, "round trip changed the result:\n%s\n%s\n",
                QJsonDocument(once).toJson().constData(),
                QJsonDocument(twice).toJson().constData());
        abort();
    }
    // The reader that names what it could not use must not disagree with
    // the model about what it could.
    XrfKorviResult read;
    if (read.readResultJson(once).isEmpty() && !(read.toJsonObject() == once)) {
        fprintf(stderr, "readResultJson differs from fromJsonObject\n");
        abort();
    }
    return 0;
}
