// xrfsamples: writes the sample results (one JSON file each) and their camera images (JPEG)
// kept in samples/, so that hosts, tests and demos have results a user would recognise.
//
//     xrfsamples OUTDIR
//
// The output is deterministic: fixed dates and seeded noise, so a run writes the same bytes
// as the files kept. Every written file is read back and must give the same result; the exit
// code is 0 only when all of them do.

#include "catalogue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTextStream>

namespace {

// Empty lists as "[]", the way the files have always had them; Qt spreads them over two lines.
QByteArray withShortEmptyLists(const QByteArray &json)
{
    static const QRegularExpression empty(QStringLiteral("\\[\\n *\\]"));
    return QString::fromUtf8(json).replace(empty, QStringLiteral("[]")).toUtf8();
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    return file.flush();
}

// Reads the file back as a host would and checks that nothing was lost.
bool verifyResult(const QString &path, const XrfKorviResult &built, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read it back");
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        *why = QStringLiteral("not a JSON object: ") + parseError.errorString();
        return false;
    }
    const QJsonObject object = doc.object();
    if (!XrfKorviResult::isValidResultJson(object, why))
        return false;
    XrfKorviResult loaded;
    loaded.fromJsonObject(object);
    if (loaded.toJsonObject() != object) {
        *why = QStringLiteral("loaded result does not give the file's JSON again");
        return false;
    }
    if (!(loaded == built)) {
        *why = QStringLiteral("loaded result differs from the one written");
        return false;
    }
    return true;
}

bool writeImage(const QString &path, const QImage &image, QString *why)
{
    QImageWriter writer(path, "jpeg");
    writer.setQuality(85);
    if (!writer.write(image)) {
        *why = writer.errorString();
        return false;
    }
    QImageReader reader(path);
    const QImage back = reader.read();
    if (back.isNull() || back.size() != image.size()) {
        *why = QStringLiteral("cannot read it back: ") + reader.errorString();
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 || args.at(1).startsWith(QLatin1Char('-'))) {
        err() << "usage: xrfsamples OUTDIR\n"
                 "Writes the sample results (*.json) to OUTDIR and their camera images to "
                 "OUTDIR/images.\n";
        return 1;
    }
    if (!QImageWriter::supportedImageFormats().contains("jpeg")) {
        err() << "xrfsamples: this Qt has no JPEG writer\n";
        return 2;
    }
    const QDir out(args.at(1));
    if (!QDir().mkpath(out.filePath(QStringLiteral("images")))) {
        err() << "xrfsamples: cannot create " << out.filePath(QStringLiteral("images")) << '\n';
        return 2;
    }

    const QList<Sample> samples = sampleCatalogue();
    QTextStream log(stdout);
    int failures = 0;
    for (const Sample &sample : samples) {
        QString why;
        const QString path = out.filePath(sample.fileName);
        const QByteArray json
                = withShortEmptyLists(QJsonDocument(sample.result.toJsonObject()).toJson());
        if (!writeFile(path, json)) {
            why = QStringLiteral("cannot write it");
        } else if (verifyResult(path, sample.result, &why)) {
            const QList<XrfImageInfo> &infos = sample.result.images();
            for (int i = 0; i < infos.size() && why.isEmpty(); ++i) {
                const QString name = infos.at(i).name();
                if (name.contains(QLatin1Char('/')))
                    why = QStringLiteral("image name %1 holds a '/'").arg(name);
                else if (!writeImage(out.filePath(QStringLiteral("images/") + name),
                                     sample.photos.at(i), &why))
                    why = name + QStringLiteral(": ") + why;
            }
        }
        if (!why.isEmpty()) {
            err() << "xrfsamples: " << path << ": " << why << '\n';
            ++failures;
            continue;
        }
        const XrfAnalysisResult &a = sample.result.analysis();
        log << sample.fileName << "  " << a.testType() << "  " << a.tidName() << "  "
            << a.dateTimeString() << "  spectra " << sample.result.spectra().size() << "  images "
            << sample.result.images().size() << '\n';
    }
    log.flush();
    return failures == 0 ? 0 : 3;
}
