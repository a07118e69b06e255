#include "js2csv.h"

#include "xrfanalysisresult.h"
#include "xrffields.h"
#include "xrfmethoddisplaysettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QVector>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

const QString kChemistry = QStringLiteral("chemistry");
const QString kPlusMinus = QStringLiteral(" \u00b1 ");

using Unit = MethodDisplaySettings::Unit;

// The column of an element: its name, and its unit where that is not %, so that one table
// holds the % of one method beside the ppm of another.
QString elementKey(const QString &element, Unit unit)
{
    return unit == Unit::Ppm ? element + QStringLiteral(" (ppm)") : element;
}

enum class FieldKind {
    Analysis,
    TestDate,
    TestTime,
    Concentration,
    Error,
    NameConcError,
    PseudoConcentration,
    PseudoError,
    CoatingThickness,
    CoatingError,
    GradeName,
    MatchNumber,
    ActionLevel,
    TestInfo,
    SerialNumber,
    Model,
    TubeAnode,
    Unknown
};

struct Field
{
    FieldKind kind = FieldKind::Unknown;
    QString name; // as the template gives it
    QString member; // of the analysis header
};

// Names in order of first appearance.
struct NameList
{
    QStringList names;
    QHash<QString, int> index;

    void add(const QString &name)
    {
        if (!index.contains(name)) {
            index.insert(name, names.size());
            names.append(name);
        }
    }
};

struct CoatingLayer
{
    int order = 0;
    QString key; // "Layer 1 Au"
    QJsonObject layer;
};

// The layers above the substrate (layer 0, no thickness of its own), top
// first. A result through the export filter keeps only the members its
// template names: a layer without its order counts by its place.
QVector<CoatingLayer> coatingLayers(const QJsonObject &result)
{
    QVector<CoatingLayer> layers;
    const QJsonArray coating = result.value(QLatin1String("coating")).toArray();
    for (int i = 0; i < coating.size(); ++i) {
        CoatingLayer entry;
        entry.layer = coating.at(i).toObject();
        const QJsonValue order = entry.layer.value(QLatin1String("layerOrder"));
        entry.order = order.isDouble() ? order.toInt() : i + 1;
        if (entry.order <= 0)
            continue;
        const QString element = entry.layer.value(QLatin1String("element")).toString();
        entry.key = QStringLiteral("Layer %1").arg(entry.order);
        if (!element.isEmpty())
            entry.key += QLatin1Char(' ') + element;
        layers.append(entry);
    }
    std::stable_sort(
            layers.begin(), layers.end(),
            [](const CoatingLayer &a, const CoatingLayer &b) { return a.order < b.order; });
    return layers;
}

// The columns that the results decide.
struct Columns
{
    NameList elements; // by elementKey()
    QHash<QString, Unit> elementUnits;
    NameList pseudoElements;
    NameList layers;
    NameList labels;
    NameList actionLevels; // elements
    int longestChemistry = 0;
    int channels = 0;

    // With the display settings of the result's method.
    void add(const QJsonObject &result, const MethodDisplaySettings &display)
    {
        const QJsonArray chemistry = result.value(kChemistry).toArray();
        longestChemistry = qMax(longestChemistry, chemistry.size());
        for (const QJsonValue &value : chemistry) {
            const QString name = value.toObject().value(QLatin1String("elementName")).toString();
            const Unit unit = display.unitOf(name);
            elements.add(elementKey(name, unit));
            elementUnits.insert(elementKey(name, unit), unit);
        }
        for (const QJsonValue &value : result.value(QLatin1String("pseudoElement")).toArray())
            pseudoElements.add(value.toObject().value(QLatin1String("elementName")).toString());
        for (const CoatingLayer &layer : coatingLayers(result))
            layers.add(layer.key);
        for (const QJsonValue &value : result.value(QLatin1String("testInfo")).toArray())
            labels.add(value.toObject().value(QLatin1String("key")).toString());
        for (const QJsonValue &value : result.value(QLatin1String("actionLevel")).toArray())
            actionLevels.add(value.toObject().value(QLatin1String("elementName")).toString());
        for (const QJsonValue &value : result.value(QLatin1String("spectra")).toArray()) {
            const QJsonValue data = value.toObject().value(QLatin1String("data"));
            // Counted from the text's length, not decoded: 4 bytes a channel.
            const QString text = data.toString();
            if (data.isString() && text.size() % 4 == 0) {
                const int padding = text.endsWith(QLatin1String("=="))
                        ? 2
                        : (text.endsWith(QLatin1Char('=')) ? 1 : 0);
                channels = qMax(channels, (text.size() / 4 * 3 - padding) / 4);
                continue;
            }
            QVector<quint32> counts;
            XrfFields::channelsFromJson(data, counts);
            channels = qMax(channels, counts.size());
        }
    }
};

// One result's lists by name, for the lookups of its row.
struct ResultIndex
{
    QHash<QString, QJsonObject> chemistry; // by elementKey()
    QHash<QString, QJsonObject> pseudoElements;
    QHash<QString, QJsonObject> layers;
    QHash<QString, QString> testInfo;
    QHash<QString, QJsonValue> actionLevels;

    ResultIndex(const QJsonObject &result, const MethodDisplaySettings &display)
    {
        for (const QJsonValue &value : result.value(kChemistry).toArray()) {
            const QJsonObject element = value.toObject();
            const QString name = element.value(QLatin1String("elementName")).toString();
            chemistry.insert(elementKey(name, display.unitOf(name)), element);
        }
        for (const QJsonValue &value : result.value(QLatin1String("pseudoElement")).toArray()) {
            const QJsonObject element = value.toObject();
            pseudoElements.insert(element.value(QLatin1String("elementName")).toString(), element);
        }
        for (const CoatingLayer &layer : coatingLayers(result))
            layers.insert(layer.key, layer.layer);
        for (const QJsonValue &value : result.value(QLatin1String("testInfo")).toArray()) {
            const QJsonObject info = value.toObject();
            testInfo.insert(info.value(QLatin1String("key")).toString(),
                            info.value(QLatin1String("value")).toString());
        }
        for (const QJsonValue &value : result.value(QLatin1String("actionLevel")).toArray()) {
            const QJsonObject level = value.toObject();
            actionLevels.insert(level.value(QLatin1String("elementName")).toString(),
                                level.value(QLatin1String("actionLevelEnum")));
        }
    }
};

// A finite value as plain decimal digits, never an exponent: the shortest
// that reads back as the same double, so a stored 16.94 is written "16.94".
QString plainNumber(double value)
{
    char text[400];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return QString::fromLatin1(text, int(end.ptr - text));
}

// A product of stored values (error × sigma) to the 7 digits a stored float
// has, so that 3 × 0.21 is 0.63 and not 0.63000000000000001.
double toFloatDigits(double value)
{
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 7);
    double rounded = value;
    std::from_chars(text, end.ptr, rounded);
    return rounded;
}

// A product of stored % values in the unit, to float digits: 0.0012 % is 12 ppm.
double inUnit(double percent, Unit unit)
{
    return toFloatDigits(MethodDisplaySettings::fromPercent(percent, unit));
}

bool isFiniteNumber(const QJsonValue &value)
{
    return value.isDouble() && std::isfinite(value.toDouble());
}

} // namespace

class Js2CsvPrivate
{
public:
    explicit Js2CsvPrivate(Js2Csv *q) : q(q) { }

    // What a cell holds: a number goes out as digits, text through the
    // formula guard, and both are quoted when they must be.
    struct Cell
    {
        enum Kind { Empty, Number, Text } kind = Empty;
        double number = 0.0;
        QString text;
    };
    static Cell number(double value)
    {
        Cell cell;
        if (std::isfinite(value)) {
            cell.kind = Cell::Number;
            cell.number = value;
        }
        return cell;
    }
    static Cell number(const QJsonValue &value)
    {
        return isFiniteNumber(value) ? number(value.toDouble()) : Cell();
    }
    static Cell text(const QString &value)
    {
        Cell cell;
        cell.kind = Cell::Text;
        cell.text = value;
        return cell;
    }

    void readOptions();
    void parseTemplate();
    bool scan(const QString &resultsFile);

    QString numberText(double value) const;
    QString encode(const Cell &cell) const;
    bool writeRow(QIODevice *output, const QVector<Cell> &cells);

    QString unit(const QString &unitText) const;
    QString errorHeader(const QString &name) const;
    QVector<Cell> header() const;
    QVector<Cell> row(const QJsonObject &result) const;
    // In the unit; stored values are in %.
    Cell concentration(const QJsonObject &element, Unit unit = Unit::Percent) const;
    Cell error(const QJsonObject &element, Unit unit = Unit::Percent) const;
    // Those of the result's method, kept per method for the rows.
    const MethodDisplaySettings &displayFor(const QJsonObject &result) const;
    Cell instrumentValue(const QJsonObject &result, const QString &key,
                         const QString &fallback) const;

    QVector<Cell> beamHeader() const;
    bool writeBeamRows(const QJsonObject &result);

    Js2Csv *q;

    // From setExportsInfo.
    QString exportFolder;
    QString base;
    QJsonObject settings;
    QJsonObject exportTemplate;

    // Options.
    QChar separator = QLatin1Char(',');
    bool decimalComma = false;
    bool byteOrderMark = false;
    bool unitsInHeader = true;
    double errorSigma = 1.0;
    double detectionLimitMultiple = 0.0;

    QVector<Field> fields;
    QString customHeader;
    MethodDisplaySettings display;
    mutable QHash<QString, MethodDisplaySettings> methodDisplay;

    // The pass over the results file that performCsvExport asks doBegin for.
    QString scanFile;
    Js2Csv::AbortCheck aborted;
    bool scanned = false;
    Columns columns;

    QIODevice *table = nullptr;
    QIODevice *beamTable = nullptr;
    bool headerWritten = false;
};

void Js2CsvPrivate::readOptions()
{
    const QJsonObject options = settings.value(QLatin1String("export")).toObject();
    decimalComma = options.value(QLatin1String("decimalComma")).toBool(false);
    const QString wanted = options.value(QLatin1String("csvSeparator")).toString();
    if (wanted == QLatin1String(",") || wanted == QLatin1String(";"))
        separator = wanted.at(0);
    else
        separator = QLatin1Char(decimalComma ? ';' : ',');
    byteOrderMark = options.value(QLatin1String("csvByteOrderMark")).toBool(false);
    unitsInHeader = options.value(QLatin1String("unitsInHeader")).toBool(true);
    const double sigma = options.value(QLatin1String("errorSigma")).toDouble(1.0);
    errorSigma = std::isfinite(sigma) && sigma > 0 ? sigma : 1.0;
    const double multiple = options.value(QLatin1String("detectionLimitMultiple")).toDouble(0.0);
    detectionLimitMultiple = std::isfinite(multiple) && multiple > 0 ? multiple : 0.0;
}

void Js2CsvPrivate::parseTemplate()
{
    static const QHash<QString, FieldKind> named {
        { QStringLiteral("analysis.testDate"), FieldKind::TestDate },
        { QStringLiteral("analysis.testTime"), FieldKind::TestTime },
        { QStringLiteral("chemistry.concentration"), FieldKind::Concentration },
        { QStringLiteral("chemistry.error"), FieldKind::Error },
        { QStringLiteral("chemistry.nameConcError"), FieldKind::NameConcError },
        { QStringLiteral("pseudoElement.concentration"), FieldKind::PseudoConcentration },
        { QStringLiteral("pseudoElement.error"), FieldKind::PseudoError },
        { QStringLiteral("coating.thickness"), FieldKind::CoatingThickness },
        { QStringLiteral("coating.error"), FieldKind::CoatingError },
        { QStringLiteral("gradeMatch.gradeName"), FieldKind::GradeName },
        { QStringLiteral("gradeMatch.matchNumber"), FieldKind::MatchNumber },
        { QStringLiteral("actionLevel"), FieldKind::ActionLevel },
        { QStringLiteral("testInfo"), FieldKind::TestInfo },
        { QStringLiteral("instrumentSerialNum"), FieldKind::SerialNumber },
        { QStringLiteral("model"), FieldKind::Model },
        { QStringLiteral("tubeAnode"), FieldKind::TubeAnode },
    };
    // Names the export filter takes from the analysis header too.
    static const QHash<QString, QString> analysisAliases {
        { QStringLiteral("goldResult.auPlating"), QStringLiteral("auPlating") },
        { QStringLiteral("goldResult.karat"), QStringLiteral("auKarat") },
    };
    static const QJsonObject analysisMembers = XrfAnalysisResult().toJsonObject();
    const QString analysisPrefix = QStringLiteral("analysis.");

    fields.clear();
    customHeader = exportTemplate.value(QLatin1String("customHeader")).toString();
    // QJsonObject iterates its keys sorted: "01", "02", ... is the column order.
    for (auto it = exportTemplate.constBegin(); it != exportTemplate.constEnd(); ++it) {
        if (it.key() == QLatin1String("settings") || it.key() == QLatin1String("customHeader")
            || !it.value().isString())
            continue;
        Field field;
        field.name = it.value().toString();
        // They ask the filter for whole parts: the beam data go to their
        // own table, pictures have no cell.
        if (field.name == QLatin1String("spectra") || field.name == QLatin1String("images"))
            continue;
        field.kind = named.value(field.name, FieldKind::Unknown);
        QString member = analysisAliases.value(field.name);
        if (member.isEmpty() && field.name.startsWith(analysisPrefix))
            member = field.name.mid(analysisPrefix.size());
        if (field.kind == FieldKind::Unknown && analysisMembers.contains(member)) {
            field.kind = FieldKind::Analysis;
            field.member = member;
        }
        fields.append(field);
    }
}

bool Js2CsvPrivate::scan(const QString &resultsFile)
{
    QFile in(resultsFile);
    // convert() has read it already; a file that went away fails there.
    if (!in.open(QIODevice::ReadOnly))
        return true;
    while (!in.atEnd()) {
        const QByteArray line = in.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonObject result = QJsonDocument::fromJson(line).object();
        columns.add(result, displayFor(result));
        if (aborted && aborted())
            return false;
    }
    scanned = true;
    return true;
}

QString Js2CsvPrivate::numberText(double value) const
{
    QString text = plainNumber(value);
    if (decimalComma)
        text.replace(QLatin1Char('.'), QLatin1Char(','));
    return text;
}

QString Js2CsvPrivate::encode(const Cell &cell) const
{
    QString text;
    if (cell.kind == Cell::Number) {
        text = numberText(cell.number);
    } else if (cell.kind == Cell::Text) {
        text = cell.text;
        static const QString formulaStart = QStringLiteral("=+-@\t\r");
        if (!text.isEmpty() && formulaStart.contains(text.at(0)))
            text.prepend(QLatin1Char('\''));
    }
    if (text.contains(separator) || text.contains(QLatin1Char('"'))
        || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1String("\""), QLatin1String("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

bool Js2CsvPrivate::writeRow(QIODevice *output, const QVector<Cell> &cells)
{
    QString line;
    for (int i = 0; i < cells.size(); ++i) {
        if (i > 0)
            line += separator;
        line += encode(cells.at(i));
    }
    line += QLatin1String("\r\n");
    return q->write(output, line.toUtf8());
}

QString Js2CsvPrivate::unit(const QString &unitText) const
{
    return unitsInHeader ? QStringLiteral(" (%1)").arg(unitText) : QString();
}

QString Js2CsvPrivate::errorHeader(const QString &name) const
{
    return name + kPlusMinus + QStringLiteral("(%1\u03c3)").arg(plainNumber(errorSigma));
}

QVector<Js2CsvPrivate::Cell> Js2CsvPrivate::header() const
{
    static const QHash<QString, QString> readable {
        { QStringLiteral("testId"), QStringLiteral("Test Id") },
        { QStringLiteral("tidName"), QStringLiteral("Test Name") },
        { QStringLiteral("testDateTime"), QStringLiteral("Date-Time (UTC)") },
        { QStringLiteral("testType"), QStringLiteral("Test Type") },
        { QStringLiteral("methodId"), QStringLiteral("Method Id") },
        { QStringLiteral("methodDispName"), QStringLiteral("Method") },
        { QStringLiteral("userId"), QStringLiteral("User") },
        { QStringLiteral("auPlating"), QStringLiteral("Au Plating") },
        { QStringLiteral("auKarat"), QStringLiteral("Au Karat") },
        { QStringLiteral("rohsClassificationEnum"), QStringLiteral("RoHS Result") },
        { QStringLiteral("rohsActionLevelName"), QStringLiteral("Action Levels") },
    };
    const QString percent = unit(QStringLiteral("%"));
    const QString micrometres = unit(QStringLiteral("\u00b5m"));
    QVector<Cell> cells;
    for (const Field &field : fields) {
        switch (field.kind) {
        case FieldKind::Analysis:
            cells.append(text(readable.value(field.member, field.member)));
            break;
        case FieldKind::TestDate:
            cells.append(text(QStringLiteral("Date")));
            break;
        case FieldKind::TestTime:
            cells.append(text(QStringLiteral("Time")));
            break;
        case FieldKind::Concentration:
            // A unit other than % is always named: the column beside may be the same
            // element in %.
            for (const QString &element : columns.elements.names)
                cells.append(text(columns.elementUnits.value(element) == Unit::Ppm
                                          ? element
                                          : element + percent));
            break;
        case FieldKind::Error:
            for (const QString &element : columns.elements.names)
                cells.append(text(errorHeader(element)));
            break;
        case FieldKind::NameConcError:
            for (int i = 1; i <= columns.longestChemistry; ++i) {
                const QString name = QStringLiteral("Element %1").arg(i);
                cells << text(name) << text(name + percent) << text(errorHeader(name));
            }
            break;
        case FieldKind::PseudoConcentration:
            for (const QString &element : columns.pseudoElements.names)
                cells.append(text(element));
            break;
        case FieldKind::PseudoError:
            for (const QString &element : columns.pseudoElements.names)
                cells.append(text(errorHeader(element)));
            break;
        case FieldKind::CoatingThickness:
            for (const QString &layer : columns.layers.names)
                cells.append(text(layer + micrometres));
            break;
        case FieldKind::CoatingError:
            for (const QString &layer : columns.layers.names)
                cells.append(text(errorHeader(layer)));
            break;
        case FieldKind::GradeName:
            cells.append(text(QStringLiteral("Grade")));
            break;
        case FieldKind::MatchNumber:
            cells.append(text(QStringLiteral("Match Number")));
            break;
        case FieldKind::ActionLevel:
            for (const QString &element : columns.actionLevels.names)
                cells.append(text(element + QStringLiteral(" Action Level")));
            break;
        case FieldKind::TestInfo:
            for (const QString &label : columns.labels.names)
                cells.append(text(label));
            break;
        case FieldKind::SerialNumber:
            cells.append(text(QStringLiteral("Serial Number")));
            break;
        case FieldKind::Model:
            cells.append(text(QStringLiteral("Model")));
            break;
        case FieldKind::TubeAnode:
            cells.append(text(QStringLiteral("Tube Anode")));
            break;
        case FieldKind::Unknown:
            cells.append(text(field.name));
            break;
        }
    }
    return cells;
}

Js2CsvPrivate::Cell Js2CsvPrivate::concentration(const QJsonObject &element, Unit unit) const
{
    const QJsonValue value = element.value(QLatin1String("concentration"));
    const QJsonValue error = element.value(QLatin1String("error"));
    if (detectionLimitMultiple > 0 && isFiniteNumber(value) && isFiniteNumber(error)) {
        const double limit = detectionLimitMultiple * error.toDouble();
        if (value.toDouble() < toFloatDigits(limit))
            return text(QStringLiteral("< ") + numberText(inUnit(limit, unit)));
    }
    if (unit != Unit::Ppm || !isFiniteNumber(value))
        return number(value);
    return number(inUnit(value.toDouble(), unit));
}

Js2CsvPrivate::Cell Js2CsvPrivate::error(const QJsonObject &element, Unit unit) const
{
    const QJsonValue value = element.value(QLatin1String("error"));
    if (!isFiniteNumber(value))
        return Cell();
    if (errorSigma == 1.0 && unit != Unit::Ppm)
        return number(value.toDouble());
    return number(inUnit(errorSigma * value.toDouble(), unit));
}

const MethodDisplaySettings &Js2CsvPrivate::displayFor(const QJsonObject &result) const
{
    const QString method = result.value(QLatin1String("analysis"))
                                   .toObject()
                                   .value(QLatin1String("methodId"))
                                   .toString();
    auto it = methodDisplay.find(method);
    if (it == methodDisplay.end())
        it = methodDisplay.insert(method, display.forMethod(method));
    return *it;
}

Js2CsvPrivate::Cell Js2CsvPrivate::instrumentValue(const QJsonObject &result, const QString &key,
                                                   const QString &fallback) const
{
    QJsonValue value = result.value(key);
    if (!value.isString())
        value = result.value(QLatin1String("analysis")).toObject().value(key);
    return text(value.isString() ? value.toString() : fallback);
}

QVector<Js2CsvPrivate::Cell> Js2CsvPrivate::row(const QJsonObject &result) const
{
    const QJsonObject analysis = result.value(QLatin1String("analysis")).toObject();
    const ResultIndex index(result, displayFor(result));
    QDateTime local;
    if (XrfFields::dateTimeFromJson(analysis.value(QLatin1String("testDateTime")), local))
        local = local.toLocalTime();
    const QJsonObject grade = result.value(QLatin1String("gradeMatch")).toArray().at(0).toObject();

    QVector<Cell> cells;
    for (const Field &field : fields) {
        switch (field.kind) {
        case FieldKind::Analysis: {
            QJsonValue value = analysis.value(field.member);
            // The export filter passes "collimated" as its status number.
            if (value.isUndefined() && field.member == QLatin1String("collimated"))
                value = analysis.value(QLatin1String("collimatedStatusInt"));
            if (field.member == QLatin1String("rohsClassificationEnum") && value.isDouble())
                cells.append(text(XrfAnalysisResult::rohsVerdictText(value.toInt())));
            else if (value.isString())
                cells.append(text(value.toString()));
            else if (value.isBool())
                cells.append(
                        text(value.toBool() ? QStringLiteral("true") : QStringLiteral("false")));
            else
                cells.append(number(value));
            break;
        }
        case FieldKind::TestDate:
            cells.append(local.isValid() ? text(local.toString(QStringLiteral("yyyy-MM-dd")))
                                         : Cell());
            break;
        case FieldKind::TestTime:
            cells.append(local.isValid() ? text(local.toString(QStringLiteral("hh:mm:ss")))
                                         : Cell());
            break;
        case FieldKind::Concentration:
            for (const QString &element : columns.elements.names) {
                const auto it = index.chemistry.constFind(element);
                cells.append(it == index.chemistry.constEnd()
                                     ? Cell()
                                     : concentration(*it, columns.elementUnits.value(element)));
            }
            break;
        case FieldKind::Error:
            for (const QString &element : columns.elements.names) {
                const auto it = index.chemistry.constFind(element);
                cells.append(it == index.chemistry.constEnd()
                                     ? Cell()
                                     : error(*it, columns.elementUnits.value(element)));
            }
            break;
        case FieldKind::NameConcError: {
            const QJsonArray chemistry = result.value(kChemistry).toArray();
            for (int i = 0; i < columns.longestChemistry; ++i) {
                if (i >= chemistry.size()) {
                    cells << Cell() << Cell() << Cell();
                    continue;
                }
                const QJsonObject element = chemistry.at(i).toObject();
                cells << text(element.value(QLatin1String("elementName")).toString())
                      << concentration(element) << error(element);
            }
            break;
        }
        case FieldKind::PseudoConcentration:
        case FieldKind::PseudoError:
            for (const QString &name : columns.pseudoElements.names) {
                const QJsonObject element = index.pseudoElements.value(name);
                if (element.isEmpty() || element.value(QLatin1String("notApplicable")).toBool())
                    cells.append(Cell());
                else if (field.kind == FieldKind::PseudoConcentration)
                    cells.append(number(element.value(QLatin1String("concentration"))));
                else
                    cells.append(error(element));
            }
            break;
        case FieldKind::CoatingThickness:
        case FieldKind::CoatingError:
            for (const QString &name : columns.layers.names) {
                const QJsonObject layer = index.layers.value(name);
                if (layer.isEmpty())
                    cells.append(Cell());
                else if (field.kind == FieldKind::CoatingThickness)
                    cells.append(number(layer.value(QLatin1String("thickness"))));
                else
                    cells.append(error(layer));
            }
            break;
        case FieldKind::GradeName:
            cells.append(grade.isEmpty()
                                 ? Cell()
                                 : text(grade.value(QLatin1String("gradeName")).toString()));
            break;
        case FieldKind::MatchNumber:
            cells.append(number(grade.value(QLatin1String("matchNumber"))));
            break;
        case FieldKind::ActionLevel:
            for (const QString &element : columns.actionLevels.names) {
                const QJsonValue level = index.actionLevels.value(element);
                cells.append(level.isDouble()
                                     ? text(XrfAnalysisResult::rohsVerdictText(level.toInt()))
                                     : Cell());
            }
            break;
        case FieldKind::TestInfo:
            for (const QString &label : columns.labels.names) {
                const auto it = index.testInfo.constFind(label);
                cells.append(it == index.testInfo.constEnd() ? Cell() : text(*it));
            }
            break;
        case FieldKind::SerialNumber:
            cells.append(
                    text(!q->serialNumber.isEmpty()
                                 ? q->serialNumber
                                 : result.value(QLatin1String("instrumentSerialNum")).toString()));
            break;
        case FieldKind::Model:
            cells.append(instrumentValue(result, QStringLiteral("model"), q->instrumentModel));
            break;
        case FieldKind::TubeAnode:
            cells.append(instrumentValue(result, QStringLiteral("tubeAnode"), q->tubeAnode));
            break;
        case FieldKind::Unknown:
            cells.append(Cell());
            break;
        }
    }
    return cells;
}

QVector<Js2CsvPrivate::Cell> Js2CsvPrivate::beamHeader() const
{
    QVector<Cell> cells { text(QStringLiteral("Test Id")),
                          text(QStringLiteral("Test Name")),
                          text(QStringLiteral("Exposure")),
                          text(QStringLiteral("Live Time") + unit(QStringLiteral("s"))),
                          text(QStringLiteral("Real Time") + unit(QStringLiteral("s"))),
                          text(QStringLiteral("Voltage") + unit(QStringLiteral("kV"))),
                          text(QStringLiteral("Current") + unit(QStringLiteral("\u00b5A"))),
                          text(QStringLiteral("Energy Slope") + unit(QStringLiteral("keV"))),
                          text(QStringLiteral("Energy Offset") + unit(QStringLiteral("keV"))) };
    for (int i = 0; i < columns.channels; ++i)
        cells.append(text(QStringLiteral("Ch %1").arg(i)));
    return cells;
}

bool Js2CsvPrivate::writeBeamRows(const QJsonObject &result)
{
    const QJsonArray spectra = result.value(QLatin1String("spectra")).toArray();
    if (spectra.isEmpty())
        return true;
    if (!beamTable) {
        // Opened with the first beam data: results without any write no file.
        beamTable = q->openOutput(Js2Csv::beamDataPath(q->base()));
        if (!beamTable || (byteOrderMark && !q->write(beamTable, "\xEF\xBB\xBF"))
            || !writeRow(beamTable, beamHeader()))
            return false;
    }
    const QJsonObject analysis = result.value(QLatin1String("analysis")).toObject();
    for (const QJsonValue &value : spectra) {
        const QJsonObject spectrum = value.toObject();
        auto get = [&spectrum](const char *key) {
            return number(spectrum.value(QLatin1String(key)));
        };
        QVector<Cell> cells { number(analysis.value(QLatin1String("testId"))),
                              text(analysis.value(QLatin1String("tidName")).toString()),
                              get("exposureNumber"),
                              get("liveTime"),
                              get("realTime"),
                              get("tubeVoltageSet"),
                              get("tubeCurrentSet"),
                              get("energySlope"),
                              get("energyOffset") };
        QVector<quint32> counts;
        XrfFields::channelsFromJson(spectrum.value(QLatin1String("data")), counts);
        cells.reserve(cells.size() + counts.size());
        for (const quint32 count : qAsConst(counts))
            cells.append(number(double(count)));
        if (!writeRow(beamTable, cells))
            return false;
    }
    return true;
}

Js2Csv::Js2Csv() : d(new Js2CsvPrivate(this)) { }

Js2Csv::~Js2Csv() = default;

void Js2Csv::setDisplaySettings(const MethodDisplaySettings &settings)
{
    d->display = settings;
    d->methodDisplay.clear();
}

void Js2Csv::setExportsInfo(const QString &exportFolder, const QString &base,
                            const QJsonObject *exportSettings, const QJsonObject &exportTemplate)
{
    d->exportFolder = exportFolder;
    d->base = base;
    d->settings = exportSettings ? *exportSettings : QJsonObject();
    d->exportTemplate = exportTemplate;
}

bool Js2Csv::performCsvExport(const QString &resultsFile, const AbortCheck &aborted,
                              const Progress &progress)
{
    const QString path
            = d->exportFolder.isEmpty() ? d->base : QDir(d->exportFolder).filePath(d->base);
    d->scanFile = resultsFile;
    d->aborted = aborted;
    const bool done = convert(resultsFile, path, aborted, progress);
    d->scanFile.clear();
    d->aborted = AbortCheck();
    return done;
}

QString Js2Csv::beamDataPath(const QString &base)
{
    const QFileInfo info(base);
    QString name = info.fileName();
    const int at = name.indexOf(kChemistry, 0, Qt::CaseInsensitive);
    if (at >= 0)
        name.replace(at, kChemistry.size(), QStringLiteral("beamspectra"));
    else
        name += QStringLiteral("_beamspectra");
    const QString folder = base.left(base.size() - info.fileName().size());
    return folder + name + QStringLiteral(".csv");
}

bool Js2Csv::doBegin()
{
    d->readOptions();
    d->parseTemplate();
    d->columns = Columns();
    d->scanned = false;
    d->table = nullptr;
    d->beamTable = nullptr;
    d->headerWritten = false;
    if (!d->scanFile.isEmpty() && !d->scan(d->scanFile))
        return setError(XrfErrorInfo::OperationAborted, QStringLiteral("aborted"));

    d->table = openOutput(base() + QStringLiteral(".csv"));
    if (!d->table)
        return false;
    if (d->byteOrderMark && !write(d->table, "\xEF\xBB\xBF"))
        return false;
    if (!d->customHeader.isEmpty()
        && !d->writeRow(d->table, { Js2CsvPrivate::text(d->customHeader) }))
        return false;
    return true;
}

bool Js2Csv::doWriteResult(const QJsonObject &result)
{
    if (!d->headerWritten) {
        if (!d->scanned)
            d->columns.add(result, d->displayFor(result));
        if (!d->writeRow(d->table, d->header()))
            return false;
        d->headerWritten = true;
    }
    return d->writeRow(d->table, d->row(result)) && d->writeBeamRows(result);
}

bool Js2Csv::doFinish()
{
    if (!d->headerWritten && !d->writeRow(d->table, d->header()))
        return false;
    d->headerWritten = true;
    return true;
}
