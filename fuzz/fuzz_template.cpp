// Bytes as an export template document, loaded as the method's template and
// used to filter a sample result.
#include "resultsfilter.h"
#include "xrfmethodmanager.h"
#include "xrfutils.h"

#include <QJsonDocument>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QJsonObject sample = [] {
        QJsonObject object;
        XrfUtils::openFileJsonFile(QStringLiteral(XRF_SOURCE_DIR "/samples/03-coating-au-ni-cu.json"),
                                   &object);
        return object;
    }();
    const QJsonDocument doc = QJsonDocument::fromJson(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    XrfMethodManager::instance()->setExportTemplate(QStringLiteral("Fuzzed"), doc.object());
    // The first byte picks the export settings, so that each branch of the
    // load is reached.
    const uint8_t flags = size ? data[0] : 0;
    const QJsonObject exportSettings { { QStringLiteral("export"),
            QJsonObject { { QStringLiteral("selectedTemplate"), QStringLiteral("Fuzzed") },
                          { QStringLiteral("fileType"),
                            (flags & 1) ? QStringLiteral("csv") : QStringLiteral("json,msa") },
                          { QStringLiteral("templateOverride"),
                            QJsonObject { { QStringLiteral("inlineImage"), bool(flags & 2) },
                                          { QStringLiteral("macroImage"), bool(flags & 4) } } } } } };
    ResultsFilter filter;
    if (filter.readExportTemplate(QString(), exportSettings) == XrfErrorInfo::NoError)
        filter.filterResultObject(sample);
    return 0;
}
