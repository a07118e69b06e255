#include "js2pdf.h"

#include "beamplot.h"
#include "reportfonts.h"
#include "reportlayout.h"
#include "xrfkorviresult.h"
#include "xrfkorviresultpretty.h"
#include "xrfmethoddisplaysettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPointer>

#include <algorithm>
#include <memory>

namespace {

const QStringList knownSections
        = { QStringLiteral("header"),   QStringLiteral("chemistry"), QStringLiteral("gradeMatch"),
            QStringLiteral("testInfo"), QStringLiteral("images"),    QStringLiteral("plot") };
const QString defaultTitle = QStringLiteral("Analysis Report");
const QString plusMinus = QStringLiteral(" \u00b1 ");
const QString none = QStringLiteral("\u2013");

// The PDF engine keeps a raw pointer to its device and writes its trailer when the painter
// ends; the base class may drop the output file first (abort, failure). The engine writes
// through this sink instead, which turns writes after that into failures.
class PdfSink : public QIODevice
{
public:
    explicit PdfSink(QIODevice *target) : m_target(target) { }
    bool failed() const { return m_failed; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        if (!m_target || m_target->write(data, size) != size) {
            m_failed = true;
            return -1;
        }
        return size;
    }

private:
    QPointer<QIODevice> m_target;
    bool m_failed = false;
};

QString numberText(const QJsonValue &value)
{
    return value.isDouble() ? QLocale::c().toString(value.toDouble(), 'g', 6) : none;
}

// Test ids are whole numbers of any size; null before the result is stored.
QString idText(const QJsonValue &value)
{
    return value.isDouble() ? QString::number(qint64(value.toDouble())) : none;
}

// A reading's text split into value and error, both as rounded ("18.21 ± 0.09 %").
QStringList readingCells(const QJsonObject &reading)
{
    QString text = reading.value(QStringLiteral("text")).toString();
    const QString unit = reading.value(QStringLiteral("unit")).toString();
    if (!unit.isEmpty() && text.endsWith(QLatin1Char(' ') + unit))
        text.chop(unit.size() + 1);
    const int pm = text.indexOf(plusMinus);
    if (pm < 0)
        return { text, QString(), unit };
    return { text.left(pm), text.mid(pm + plusMinus.size()), unit };
}

QString modelIn(const QJsonObject &object)
{
    for (const QString &key : { QStringLiteral("instrumentModel"), QStringLiteral("model") }) {
        const QJsonValue value = object.value(key);
        if (value.isString() && !value.toString().isEmpty())
            return value.toString();
        if (value.isObject()) {
            const QString model = value.toObject().value(QStringLiteral("model")).toString();
            if (!model.isEmpty())
                return model;
        }
    }
    return QString();
}

} // namespace

class Js2PdfPrivate
{
public:
    void tearDown();
    void header(const QJsonObject &shown, const QString &instrument);
    void chemistry(const QJsonObject &shown);
    void gradeMatch(const QJsonObject &shown);
    void testInfo(const QJsonObject &shown);
    void images(const XrfKorviResult &result, const QString &instrumentDataPath);
    void plots(const XrfKorviResult &result);

    // Template.
    QString title = defaultTitle;
    bool showLogo = false;
    QStringList sections = knownSections;
    QJsonObject templateObject;
    // Print settings.
    QPageSize::PageSizeId pageSize = QPageSize::A4;
    QPageLayout::Orientation orientation = QPageLayout::Portrait;
    double marginMm = 10.0;
    double fontSize = 9.0;
    int decimals = -1;
    // Export settings.
    bool inlineImage = true;
    bool macroImage = true;
    QString model;
    QString layoutName;

    // One conversion.
    std::unique_ptr<PdfSink> sink;
    std::unique_ptr<QPdfWriter> writer;
    std::unique_ptr<QPainter> painter;
    std::unique_ptr<ReportLayout> layout;
    QImage logo;
    MethodDisplaySettings methodDisplay;
    // That of the method with the decimals of the print settings.
    MethodDisplaySettings display;
    int pages = 0;
};

void Js2PdfPrivate::tearDown()
{
    // The painter ends into the writer, the writer into the sink: in that order.
    layout.reset();
    if (painter && painter->isActive())
        painter->end();
    painter.reset();
    writer.reset();
    sink.reset();
}

Js2Pdf::Js2Pdf() : d(new Js2PdfPrivate) { }

Js2Pdf::~Js2Pdf()
{
    d->tearDown();
}

void Js2Pdf::setExportSettings(const QJsonObject &exportSettings)
{
    QJsonObject e = exportSettings;
    if (e.value(QStringLiteral("export")).isObject())
        e = e.value(QStringLiteral("export")).toObject();
    const QJsonObject override = e.value(QStringLiteral("templateOverride")).toObject();
    d->inlineImage = override.value(QStringLiteral("inlineImage")).toBool(true);
    d->macroImage = override.value(QStringLiteral("macroImage")).toBool(true);
    d->model = modelIn(e);
    if (d->model.isEmpty())
        d->model = modelIn(exportSettings);
    d->layoutName = e.value(QStringLiteral("selectedPdfLayout")).toString();
    setTemplate(d->templateObject);
}

void Js2Pdf::setTemplate(const QJsonObject &pdfTemplate)
{
    d->templateObject = pdfTemplate;
    QJsonObject t = pdfTemplate;
    if (!t.contains(QStringLiteral("title")) && !t.contains(QStringLiteral("sections"))) {
        QString name;
        if (t.value(d->layoutName).isObject())
            name = d->layoutName;
        else if (t.value(QStringLiteral("Standard")).isObject())
            name = QStringLiteral("Standard");
        else
            for (auto it = t.constBegin(); it != t.constEnd() && name.isEmpty(); ++it)
                if (it.value().isObject())
                    name = it.key();
        t = t.value(name).toObject();
    }
    d->title = t.value(QStringLiteral("title")).toString(defaultTitle);
    d->showLogo = t.value(QStringLiteral("showLogo")).toBool(false);
    if (!t.value(QStringLiteral("sections")).isArray()) {
        d->sections = knownSections;
        return;
    }
    d->sections.clear();
    for (const QJsonValue &value : t.value(QStringLiteral("sections")).toArray()) {
        const QString wanted = value.toString();
        for (const QString &known : knownSections)
            if (known.compare(wanted, Qt::CaseInsensitive) == 0 && !d->sections.contains(known))
                d->sections << known;
    }
}

void Js2Pdf::setDisplaySettings(const MethodDisplaySettings &settings)
{
    d->methodDisplay = settings;
}

void Js2Pdf::setFormatSettings(const QJsonObject &printSettings)
{
    static const QList<QPair<QString, QPageSize::PageSizeId>> sizes = {
        { QStringLiteral("A4"), QPageSize::A4 },
        { QStringLiteral("Letter"), QPageSize::Letter },
        { QStringLiteral("Legal"), QPageSize::Legal },
        { QStringLiteral("A3"), QPageSize::A3 },
        { QStringLiteral("A5"), QPageSize::A5 },
    };
    const QString size = printSettings.value(QStringLiteral("pageSize")).toString();
    d->pageSize = QPageSize::A4;
    for (const auto &s : sizes)
        if (s.first.compare(size, Qt::CaseInsensitive) == 0)
            d->pageSize = s.second;
    d->orientation = printSettings.value(QStringLiteral("orientation"))
                             .toString()
                             .compare(QLatin1String("landscape"), Qt::CaseInsensitive)
                    == 0
            ? QPageLayout::Landscape
            : QPageLayout::Portrait;
    d->marginMm
            = std::clamp(printSettings.value(QStringLiteral("marginMm")).toDouble(10.0), 0.0, 50.0);
    d->fontSize
            = std::clamp(printSettings.value(QStringLiteral("fontSize")).toDouble(9.0), 5.0, 24.0);
    const QJsonValue decimals = printSettings.value(QStringLiteral("decimals"));
    d->decimals = decimals.isDouble()
            ? std::clamp(decimals.toInt(), 0, MethodDisplaySettings::maxDecimals)
            : -1;
}

bool Js2Pdf::startJson2Pdf(const QString &resultsFile, QString *base, const AbortCheck &aborted,
                           const Progress &progress)
{
    QString path = base ? *base : QString();
    if (path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive)) {
        path.chop(4);
        if (base)
            *base = path;
    }
    // An empty base fails in doBegin(), after the base class has cleared the last run's error.
    return convert(resultsFile, path, aborted, progress);
}

int Js2Pdf::pageCount() const
{
    return d->layout ? d->layout->pages() : d->pages;
}

bool Js2Pdf::doBegin()
{
    d->tearDown();
    d->pages = 0;
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return setError(XrfErrorInfo::NotImplemented,
                        QStringLiteral("PDF reports need a QGuiApplication (the offscreen "
                                       "platform will do); this process has none"));
    if (base().isEmpty())
        return setError(XrfErrorInfo::InvalidArgument, QStringLiteral("no file name for the PDF"));
    QIODevice *output = openOutput(base() + QStringLiteral(".pdf"));
    if (!output)
        return false;

    d->sink.reset(new PdfSink(output));
    d->sink->open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    d->writer.reset(new QPdfWriter(d->sink.get()));
    d->writer->setResolution(600);
    d->writer->setPageLayout(
            QPageLayout(QPageSize(d->pageSize), d->orientation,
                        QMarginsF(d->marginMm, d->marginMm, d->marginMm, d->marginMm),
                        QPageLayout::Millimeter));
    d->writer->setTitle(d->title);
    d->writer->setCreator(QStringLiteral("XrfResults"));
    d->painter.reset(new QPainter);
    if (!d->painter->begin(d->writer.get()))
        return setError(XrfErrorInfo::FileCreateFailed,
                        QStringLiteral("cannot start a PDF in %1.pdf").arg(base()));
    d->layout.reset(
            new ReportLayout(d->painter.get(), d->writer.get(), ReportFonts::font(d->fontSize)));

    d->logo = QImage();
    if (d->showLogo && !applicationRoot.isEmpty())
        d->logo = QImage(QDir(applicationRoot).filePath(QStringLiteral("logo.png")));
    d->display = d->methodDisplay;
    if (d->decimals >= 0) {
        d->display.setPercentDecimals(d->decimals);
        d->display.setSmallPercentDecimals(d->decimals);
        d->display.setThicknessDecimals(d->decimals);
    }
    return true;
}

bool Js2Pdf::doWriteResult(const QJsonObject &object)
{
    QString why;
    if (!XrfKorviResult::isValidResultJson(object, &why))
        return setError(
                XrfErrorInfo::FileAccessFailed,
                QStringLiteral("result %1 is not one: %2").arg(resultsWritten() + 1).arg(why));
    XrfKorviResult result;
    result.fromJsonObject(object);
    XrfKorviResultPretty pretty(result);
    if (d->display != MethodDisplaySettings())
        pretty.prettify(&d->display);
    const QJsonObject shown = pretty.toJsonObject();

    QString model = modelIn(object);
    if (model.isEmpty())
        model = modelIn(object.value(QStringLiteral("analysis")).toObject());
    if (model.isEmpty())
        model = instrumentModel.isEmpty() ? d->model : instrumentModel;
    const QString serial = serialNumber.isEmpty()
            ? object.value(QStringLiteral("instrumentSerialNum")).toString()
            : serialNumber;
    const QString testId = idText(shown.value(QStringLiteral("testId")));
    const QString name = shown.value(QStringLiteral("tidName")).toString();
    QStringList instrumentParts;
    if (!model.isEmpty())
        instrumentParts << model;
    if (!serial.isEmpty())
        instrumentParts << QStringLiteral("S/N ") + serial;
    const QString instrument
            = instrumentParts.isEmpty() ? none : instrumentParts.join(QLatin1Char(' '));
    d->layout->startResult(
            QStringLiteral("%1 \u00b7 Test %2 \u00b7 %3").arg(instrument, testId, name),
            QStringLiteral("%1 \u2013 %2 (test %3), continued").arg(d->title, name, testId));
    d->layout->title(d->title, d->logo);

    for (const QString &section : qAsConst(d->sections)) {
        if (section == QLatin1String("header"))
            d->header(shown, instrument);
        else if (section == QLatin1String("chemistry"))
            d->chemistry(shown);
        else if (section == QLatin1String("gradeMatch"))
            d->gradeMatch(shown);
        else if (section == QLatin1String("testInfo"))
            d->testInfo(shown);
        else if (section == QLatin1String("images"))
            d->images(result, instrumentDataPath);
        else if (section == QLatin1String("plot"))
            d->plots(result);
    }
    if (d->sink->failed())
        return setError(
                XrfErrorInfo::FileCreateFailed,
                QStringLiteral("cannot write %1.pdf: %2").arg(base(), d->sink->errorString()));
    return true;
}

bool Js2Pdf::doFinish()
{
    if (resultsWritten() == 0) {
        d->layout->startResult(QString(), QString());
        d->layout->title(d->title, d->logo);
        d->layout->paragraph(QStringLiteral("No results to report."));
    }
    d->pages = d->layout->pages();
    d->layout.reset();
    const bool ended = d->painter->end();
    const bool failed = d->sink->failed();
    d->tearDown();
    if (!ended || failed)
        return setError(XrfErrorInfo::FileCreateFailed,
                        QStringLiteral("cannot write %1.pdf").arg(base()));
    return true;
}

void Js2PdfPrivate::header(const QJsonObject &shown, const QString &instrument)
{
    const QString version = QCoreApplication::applicationVersion().isEmpty()
            ? QStringLiteral(XRF_PROJECT_VERSION)
            : QCoreApplication::applicationVersion();
    const auto text = [&](const char *key) {
        const QString value = shown.value(QLatin1String(key)).toString();
        return value.isEmpty() ? none : value;
    };
    layout->keyValues(
            { { QStringLiteral("Instrument"), instrument },
              { QStringLiteral("Software"), version },
              { QStringLiteral("Test id"), idText(shown.value(QStringLiteral("testId"))) },
              { QStringLiteral("Test name"), text("tidName") },
              { QStringLiteral("Date (local)"), text("dateTimeLocal") },
              { QStringLiteral("Date (UTC)"), text("dateTimeUtc") },
              { QStringLiteral("Operator"), text("operator") },
              { QStringLiteral("Method"), text("method") },
              { QStringLiteral("Test type"), text("testType") } },
            2);
    if (!shown.contains(QStringLiteral("calCheck")))
        return;
    const QJsonObject check = shown.value(QStringLiteral("calCheck")).toObject();
    const int code = check.value(QStringLiteral("errorCode")).toInt();
    layout->heading(QStringLiteral("Calibration check"));
    layout->paragraph(code == 0 ? QStringLiteral("State: passed")
                                : QStringLiteral("State: failed (error %1)").arg(code),
                      true);
    QVector<QStringList> rows;
    for (const QJsonValue &item : check.value(QStringLiteral("items")).toArray()) {
        const QJsonObject o = item.toObject();
        rows << QStringList { o.value(QStringLiteral("label")).toString(),
                              numberText(o.value(QStringLiteral("measured"))),
                              numberText(o.value(QStringLiteral("expected"))) };
    }
    layout->table({ { QStringLiteral("Check"), 2.0 },
                    { QStringLiteral("Measured"), 1.0, Qt::AlignRight },
                    { QStringLiteral("Expected"), 1.0, Qt::AlignRight } },
                  rows, rows.size() > 6 ? 2 : 1);
}

void Js2PdfPrivate::chemistry(const QJsonObject &shown)
{
    const QJsonArray elements = shown.value(QStringLiteral("chemistry")).toArray();
    const QJsonArray pseudo = shown.value(QStringLiteral("pseudoElements")).toArray();
    const QJsonArray coating = shown.value(QStringLiteral("coating")).toArray();
    const QVector<ReportLayout::Column> columns = {
        { QStringLiteral("Element"), 1.4 },
        { QStringLiteral("Value"), 1.2, Qt::AlignRight },
        { QStringLiteral("\u00b1 Error"), 1.2, Qt::AlignRight },
        { QStringLiteral("Unit"), 0.7 },
    };
    if (!elements.isEmpty() || !pseudo.isEmpty()) {
        layout->heading(QStringLiteral("Chemistry"));
        QVector<QStringList> rows;
        for (const QJsonArray &list : { elements, pseudo })
            for (const QJsonValue &value : list) {
                const QJsonObject reading = value.toObject();
                rows << (QStringList(reading.value(QStringLiteral("element")).toString())
                         + readingCells(reading));
            }
        // Long lists go side by side so that the plot still finds room on the page.
        layout->table(columns, rows, rows.size() > 24 ? 3 : rows.size() > 8 ? 2 : 1);
    }
    if (!coating.isEmpty()) {
        layout->heading(QStringLiteral("Coating"));
        QVector<QStringList> rows;
        for (const QJsonValue &value : coating) {
            const QJsonObject layer = value.toObject();
            const QString element = layer.value(QStringLiteral("element")).toString();
            if (layer.value(QStringLiteral("substrate")).toBool())
                rows << QStringList { element + QStringLiteral(" (substrate)"), none, none, {} };
            else
                rows << QStringList { QStringLiteral("%1 (layer %2)")
                                              .arg(element)
                                              .arg(layer.value(QStringLiteral("layer")).toInt()) }
                                + readingCells(layer);
        }
        layout->table(columns, rows);
    }
}

void Js2PdfPrivate::gradeMatch(const QJsonObject &shown)
{
    const QJsonArray grades = shown.value(QStringLiteral("gradeMatch")).toArray();
    if (grades.isEmpty())
        return;
    // The grade library's match number is a distance: the lowest is the best grade.
    int best = 0;
    for (int i = 1; i < grades.size(); ++i) {
        const QJsonValue n = grades.at(i).toObject().value(QStringLiteral("matchNumber"));
        const QJsonValue b = grades.at(best).toObject().value(QStringLiteral("matchNumber"));
        if (n.isDouble() && (!b.isDouble() || n.toDouble() < b.toDouble()))
            best = i;
    }
    const auto number = [](const QJsonObject &g) {
        const QJsonValue n = g.value(QStringLiteral("matchNumber"));
        return n.isDouble() ? QString::number(n.toDouble(), 'f', 2) : none;
    };
    const QJsonObject top = grades.at(best).toObject();
    layout->heading(QStringLiteral("Grade match"));
    QVector<QPair<QString, QString>> pairs = {
        { QStringLiteral("Best grade"), top.value(QStringLiteral("grade")).toString() },
        { QStringLiteral("Match number"), number(top) },
    };
    const QString message = top.value(QStringLiteral("message")).toString();
    if (!message.isEmpty())
        pairs << qMakePair(QStringLiteral("Result"), message);
    QStringList others;
    for (int i = 0; i < grades.size(); ++i)
        if (i != best) {
            const QJsonObject g = grades.at(i).toObject();
            others << QStringLiteral("%1 (%2)").arg(g.value(QStringLiteral("grade")).toString(),
                                                    number(g));
        }
    if (!others.isEmpty())
        pairs << qMakePair(QStringLiteral("Also compared"), others.join(QStringLiteral(", ")));
    layout->keyValues(pairs, 2);
}

void Js2PdfPrivate::testInfo(const QJsonObject &shown)
{
    const QJsonArray entries = shown.value(QStringLiteral("testInfo")).toArray();
    if (entries.isEmpty())
        return;
    QVector<QPair<QString, QString>> pairs;
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        pairs << qMakePair(entry.value(QStringLiteral("label")).toString() + QLatin1Char(':'),
                           entry.value(QStringLiteral("info")).toString());
    }
    layout->heading(QStringLiteral("Test info"));
    layout->keyValues(pairs, 1);
}

void Js2PdfPrivate::images(const XrfKorviResult &result, const QString &instrumentDataPath)
{
    if (instrumentDataPath.isEmpty())
        return;
    const QDir store(QDir(instrumentDataPath).filePath(QStringLiteral("images")));
    QVector<QPair<QImage, QString>> shown;
    for (const XrfImageInfo &info : result.images()) {
        const bool isInline = info.type() == 0;
        if ((isInline && !inlineImage) || (!isInline && !macroImage))
            continue;
        // A name is relative to the image store and never leaves it.
        if (info.name().isEmpty() || QDir::isAbsolutePath(info.name())
            || info.name().split(QLatin1Char('/')).contains(QStringLiteral("..")))
            continue;
        QImage image(store.filePath(info.name()));
        if (image.isNull())
            continue;
        const QRect crop = QRectF(info.cropAreaLeft(), info.cropAreaTop(), info.cropAreaWidth(),
                                  info.cropAreaHeight())
                                   .toRect()
                                   .intersected(image.rect());
        if (crop.width() > 0 && crop.height() > 0 && crop != image.rect())
            image = image.copy(crop);
        shown << qMakePair(
                image, isInline ? QStringLiteral("Inline camera") : QStringLiteral("Macro camera"));
    }
    if (shown.isEmpty())
        return;

    const double gap = layout->mm(4.0);
    double height = layout->mm(40.0);
    double width = 0.0;
    for (const auto &s : qAsConst(shown))
        width += height * s.first.width() / s.first.height();
    width += gap * (shown.size() - 1);
    if (width > layout->content().width())
        height *= (layout->content().width() - gap * (shown.size() - 1))
                / (width - gap * (shown.size() - 1));
    const QFont small = layout->font(0.85);
    const QFontMetricsF metrics(small, painter->device());
    layout->heading(QStringLiteral("Images"), height + metrics.height() * 1.3);
    layout->ensureSpace(height + metrics.height() * 1.3);
    double x = layout->content().left();
    const double y = layout->y();
    painter->setFont(small);
    painter->setPen(Qt::black);
    for (const auto &s : qAsConst(shown)) {
        const double w = height * s.first.width() / s.first.height();
        painter->drawImage(QRectF(x, y, w, height), s.first);
        painter->drawText(QPointF(x, y + height + metrics.height() * 0.2 + metrics.ascent()),
                          s.second);
        x += w + gap;
    }
    layout->skip(height + metrics.height() * 1.3);
}

void Js2PdfPrivate::plots(const XrfKorviResult &result)
{
    const QList<XrfSpectrum> &spectra = result.spectra();
    if (spectra.isEmpty())
        return;
    QStringList elements;
    for (const XrfChemistryResult &c : result.chemistry())
        elements << c.elementName();
    for (const XrfCoatingResult &c : result.coating())
        elements << c.element();
    const double gap = layout->mm(2.0);
    const double lowest = layout->mm(45.0);
    const double highest = layout->mm(80.0);
    layout->heading(QStringLiteral("Beam data"), lowest);
    const QFont font = layout->font();
    for (int i = 0; i < spectra.size(); ++i) {
        const XrfSpectrum &s = spectra.at(i);
        // The plots share what is left of the page, within readable bounds.
        const auto share = [&]() {
            const int left = spectra.size() - i;
            return std::clamp((layout->remaining() - gap * (left - 1)) / left, lowest, highest);
        };
        double height = share();
        const int page = layout->pages();
        layout->ensureSpace(height);
        if (layout->pages() != page)
            height = share();
        // Settings the result does not carry (0) are left out.
        QStringList title { QStringLiteral("Exposure %1 of %2")
                                    .arg(s.exposureNumber() > 0 ? s.exposureNumber() : i + 1)
                                    .arg(s.totalExposureNumber() > 0 ? s.totalExposureNumber()
                                                                     : spectra.size()) };
        if (s.tubeVoltageSet() > 0.0)
            title << QLocale::c().toString(s.tubeVoltageSet(), 'g', 4) + QStringLiteral(" kV");
        if (s.tubeCurrentSet() > 0.0)
            title << QLocale::c().toString(s.tubeCurrentSet(), 'g', 4) + QStringLiteral(" \u00b5A");
        if (s.liveTime() > 0.0)
            title << QStringLiteral("live time %1 s")
                             .arg(QLocale::c().toString(s.liveTime(), 'f', 2));
        BeamPlot::draw(
                painter.get(),
                QRectF(layout->content().left(), layout->y(), layout->content().width(), height),
                font, s, elements, title.join(QStringLiteral(" \u00b7 ")));
        layout->skip(height + gap);
    }
}
