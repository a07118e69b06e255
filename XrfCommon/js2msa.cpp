#include "js2msa.h"

#include "xrfanalysisresult.h"
#include "xrfspectrum.h"

#include <QIODevice>
#include <QJsonArray>
#include <QSet>

#include <charconv>
#include <cmath>

namespace {

constexpr int kLineLength = 80;
constexpr int kKeywordWidth = 13;

QString plainNumber(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("0");
    char text[400];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return QString::fromLatin1(text, int(end.ptr - text));
}

// Readers take the file as ASCII: "Müller" is kept as "Muller", what has no
// ASCII form becomes "_".
QByteArray asciiText(const QString &text)
{
    QByteArray ascii;
    for (const QChar c : text.normalized(QString::NormalizationForm_KD)) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        const ushort u = c.unicode();
        ascii.append(u >= 0x20 && u < 0x7f ? char(u) : '_');
    }
    return ascii;
}

QByteArray line(const char *keyword, const QByteArray &value)
{
    QByteArray text(keyword);
    text = text.leftJustified(kKeywordWidth, ' ') + ": " + value;
    return text.left(kLineLength).trimmed() + "\r\n";
}

QByteArray line(const char *keyword, const QString &value)
{
    return line(keyword, asciiText(value));
}

} // namespace

class Js2MsaPrivate
{
public:
    QSet<QString> names;
};

Js2Msa::Js2Msa() : d(new Js2MsaPrivate) { }

Js2Msa::~Js2Msa() = default;

bool Js2Msa::doBegin()
{
    d->names.clear();
    return true;
}

bool Js2Msa::doWriteResult(const QJsonObject &result)
{
    static const char *const months[] = { "JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC" };
    XrfAnalysisResult analysis;
    analysis.fromJsonObject(result.value(QLatin1String("analysis")).toObject());
    const QDateTime utc = analysis.testDateTime().toUTC();
    QByteArray date;
    if (utc.isValid())
        date = QByteArray::number(utc.date().day()).rightJustified(2, '0') + '-'
                + months[utc.date().month() - 1] + '-' + QByteArray::number(utc.date().year());

    for (const QJsonValue &value : result.value(QLatin1String("spectra")).toArray()) {
        XrfSpectrum spectrum;
        spectrum.fromJsonObject(value.toObject());

        const QString stem = QStringLiteral("%1-%2-%3")
                                     .arg(base())
                                     .arg(analysis.testId())
                                     .arg(spectrum.exposureNumber());
        QString path = stem + QStringLiteral(".msa");
        for (int n = 2; d->names.contains(path); ++n)
            path = stem + QStringLiteral("_%1.msa").arg(n);
        d->names.insert(path);

        QString title = QStringLiteral("%1 exposure %2")
                                .arg(analysis.tidName())
                                .arg(spectrum.exposureNumber());
        if (spectrum.totalExposureNumber() > 0)
            title += QStringLiteral(" of %1").arg(spectrum.totalExposureNumber());

        QByteArray text;
        text += line("#FORMAT", QByteArray("EMSA/MAS Spectral Data File"));
        text += line("#VERSION", QByteArray("1.0"));
        text += line("#TITLE", title);
        text += line("#DATE", date);
        text += line("#TIME", utc.isValid() ? utc.toString(QStringLiteral("hh:mm")) : QString());
        text += line("#OWNER", analysis.userId());
        text += line("#NPOINTS", QByteArray::number(spectrum.channels().size()) + '.');
        text += line("#NCOLUMNS", QByteArray("1."));
        text += line("#XUNITS", QByteArray("keV"));
        text += line("#YUNITS", QByteArray("counts"));
        text += line("#DATATYPE", QByteArray("Y"));
        text += line("#XPERCHAN", plainNumber(spectrum.energySlope()));
        text += line("#OFFSET", plainNumber(spectrum.energyOffset()));
        text += line("#SIGNALTYPE", QByteArray("XRF"));
        text += line("#BEAMKV", plainNumber(spectrum.tubeVoltageSet()));
        text += line("#EMISSION", plainNumber(spectrum.tubeCurrentSet()));
        text += line("#LIVETIME", plainNumber(spectrum.liveTime()));
        text += line("#REALTIME", plainNumber(spectrum.realTime()));
        text += line("##TIMEZONE", QByteArray("UTC"));
        text += line("##TESTID", QByteArray::number(analysis.testId()));
        if (!serialNumber.isEmpty())
            text += line("##SERIALNO", serialNumber);
        text += line("##PROBESN", QByteArray::number(spectrum.probeSerialNumber()));
        // Readers split each line at ": " and look for these words.
        text += line("#SPECTRUM", QByteArray("Spectral Data Starts Here"));
        text.reserve(text.size() + spectrum.channels().size() * 8 + 16);
        for (const quint32 count : spectrum.channels())
            text += QByteArray::number(count) + "\r\n";
        text += line("#ENDOFDATA", QByteArray("End Of Data and File"));

        QIODevice *output = openOutput(path);
        if (!output || !write(output, text) || !closeOutput(output))
            return false;
    }
    return true;
}

bool Js2Msa::doFinish()
{
    return true;
}
