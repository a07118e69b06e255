// Templates are read in key order (a JSON object's keys come sorted): the
// keys set the order of the fields and carry no other meaning. The filter
// applies its rows in one fixed order, so the output's members never depend
// on the order of the template beyond the analysis keys.

#include "resultsfilter.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

#include "xrfmethodmanager.h"
#include "xrfsettingsmanager.h"
#include "xrfutils.h"

const QString ResultsFilter::wholeResultField = QStringLiteral("fullResultForPDF");

namespace {

const QStringList &spectrumHeaderFields()
{
    static const QStringList names { "spectraHeader.ambientPressure",
                                     "spectraHeader.tubeCurrentSet",
                                     "spectraHeader.tubeCurrentMonitor",
                                     "spectraHeader.tubeVoltageSet",
                                     "spectraHeader.liveTimeFromHardware",
                                     "spectraHeader.liveTime",
                                     "spectraHeader.realTime",
                                     "spectraHeader.vacuumPressure",
                                     "spectraHeader.probeTemperature",
                                     "spectraHeader.inputCountRate",
                                     "spectraHeader.outputCountRate",
                                     "spectraHeader.clipTop",
                                     "spectraHeader.clipBottom",
                                     "spectraHeader.pileups",
                                     "spectraHeader.widthRejects",
                                     "spectraHeader.resetCount",
                                     "spectraHeader.ltMultiplier",
                                     "spectraHeader.colMultiplier",
                                     "spectraHeader.energySlope",
                                     "spectraHeader.energyOffset",
                                     "spectraHeader.exposureNumber",
                                     "spectraHeader.stepIndex" };
    return names;
}

const QStringList &gradeMatchFields()
{
    static const QStringList names { "gradeMatch",
                                     "gradeMatch.gradeName",
                                     "gradeMatch.matchNumber",
                                     "gradeMatch.passFailCutOff",
                                     "gradeMatch.passFailShowMatchNumber",
                                     "gradeMatch.passFailNSigma",
                                     "gradeMatch.nominalFactor",
                                     "gradeMatch.gradeSpec",
                                     "gradeMatch.matchMessage" };
    return names;
}

// The text after the first dot, up to a second one.
QString keyOf(const QString &field)
{
    return field.section(QLatin1Char('.'), 1, 1);
}

bool containsAny(const QStringList &fields, const QStringList &names)
{
    for (const QString &name : names)
        if (fields.contains(name))
            return true;
    return false;
}

void copyMember(const QJsonObject &from, QJsonObject *to, const QString &key)
{
    const auto it = from.constFind(key);
    if (it != from.constEnd())
        to->insert(key, it.value());
}

} // namespace

void ResultsFilter::setDeviceInfo(const QString &serial, const QString &model, const QString &anode)
{
    m_serialNumber = serial;
    m_model = model;
    m_tubeAnode = anode;
}

QStringList ResultsFilter::fileTypes(const QString &fileType)
{
    QStringList types;
    for (const char *word : { "json", "csv", "pdf", "msa" })
        if (fileType.contains(QLatin1String(word), Qt::CaseInsensitive))
            types << QLatin1String(word);
    return types;
}

bool ResultsFilter::isSafeTemplateName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
            && !name.contains(QLatin1String(".."));
}

XrfErrorInfo::XrfError ResultsFilter::readPrintTemplate(QString basePath)
{
    QJsonObject print;
    if (XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("print"), &print) != 0)
        qInfo() << "Unable to get the setting in"
                << "readPrintTemplate";
    m_printerSelected
            = print.value(QStringLiteral("selectedPrinter")).toString() != QLatin1String("None");
    const QString name = print.value(QStringLiteral("selectedTemplate")).toString();
    if (!isSafeTemplateName(name)) {
        qWarning() << "XrfErrorInfo::XrfError ResultsFilter::readPrintTemplate(QString)"
                   << (name.isEmpty() ? "Print template name cannot be empty!"
                                      : "Print template name is not a file name!");
        return XrfErrorInfo::TemplateLoadFailed;
    }
    m_autoPrint = print.value(QStringLiteral("autoPrint")).toBool(false);
    QJsonObject file;
    XrfUtils::openFileJsonFile(basePath + QStringLiteral("templates/exports/") + name
                                       + QStringLiteral(".json"),
                               &file);
    m_fields.clear();
    for (auto it = file.constBegin(); it != file.constEnd(); ++it)
        m_fields << it.value().toString();
    if (m_fields.isEmpty()) {
        qWarning() << "XrfErrorInfo::XrfError ResultsFilter::readPrintTemplate(QString)"
                   << "missing printer settings!";
        return XrfErrorInfo::TemplateLoadFailed;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultsFilter::readExportTemplate(QString unused, QJsonObject exportSettings)
{
    Q_UNUSED(unused);
    const QJsonObject exportObject = exportSettings.value(QStringLiteral("export")).toObject();
    const QString name = exportObject.value(QStringLiteral("selectedTemplate")).toString();
    if (!isSafeTemplateName(name)) {
        qWarning()
                << "XrfErrorInfo::XrfError ResultsFilter::readExportTemplate(QString, QJsonObject)"
                << (name.isEmpty() ? "export template name cannot be empty"
                                   : "export template name is not a file name");
        return XrfErrorInfo::TemplateLoadFailed;
    }
    const QJsonObject override = exportObject.value(QStringLiteral("templateOverride")).toObject();
    const bool inlineImage = override.value(QStringLiteral("inlineImage")).toBool(false);
    const bool macroImage = override.value(QStringLiteral("macroImage")).toBool(false);
    m_autoExport = exportObject.value(QStringLiteral("autoExport")).toBool(false);

    const QStringList types = fileTypes(exportObject.value(QStringLiteral("fileType")).toString());
    // Only a PDF is wanted: it is made from whole results.
    if (types == QStringList { QStringLiteral("pdf") }) {
        m_fields = QStringList { wholeResultField };
        return XrfErrorInfo::NoError;
    }

    QJsonObject templates;
    XrfMethodManager::instance()->getExportTemplate(name, &templates);
    QJsonObject exportTemplate = templates.value(name).toObject();
    if (exportTemplate.isEmpty())
        return XrfErrorInfo::TemplateNotFound;
    bool showNominalChemistry = true;
    if (exportTemplate.contains(QStringLiteral("settings"))) {
        showNominalChemistry = exportTemplate.value(QStringLiteral("settings"))
                                       .toObject()
                                       .value(QStringLiteral("showNominalChemistry"))
                                       .toBool(false);
        exportTemplate.remove(QStringLiteral("settings"));
    }
    exportTemplate.remove(QStringLiteral("customHeader"));

    m_fields.clear();
    for (auto it = exportTemplate.constBegin(); it != exportTemplate.constEnd(); ++it)
        m_fields << it.value().toString();
    if ((inlineImage || macroImage) && !m_fields.contains(QStringLiteral("images")))
        m_fields << QStringLiteral("images");
    if (showNominalChemistry) {
        if (!m_fields.contains(QStringLiteral("gradeMatch.gradeName")))
            m_fields << QStringLiteral("gradeMatch.gradeName")
                     << QStringLiteral("gradeMatch.matchNumber")
                     << QStringLiteral("gradeMatch.passFailCutOff")
                     << QStringLiteral("gradeMatch.passFail");
        m_fields << QStringLiteral("gradeMatch.nominalFactor")
                 << QStringLiteral("gradeMatch.gradeSpec")
                 << QStringLiteral("gradeMatch.matchMessage");
    }
    for (const char *field : { "analysis.methodDispName", "analysis.methodFamilyName" })
        if (!m_fields.contains(QLatin1String(field)))
            m_fields << QLatin1String(field);
    return XrfErrorInfo::NoError;
}

QString ResultsFilter::filterResult(XrfKorviResult *result)
{
    const QJsonObject full = result ? result->toJsonObject() : QJsonObject();
    const QJsonObject out = filterResultObject(full);
    return QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact));
}

QJsonObject ResultsFilter::filterResultObject(const QJsonObject &full) const
{
    if (m_fields == QStringList { wholeResultField })
        return full;
    const QJsonObject analysis = full.value(QStringLiteral("analysis")).toObject();
    const QString testType = analysis.value(QStringLiteral("testType")).toString();
    QJsonObject outAnalysis;
    for (const char *key : { "methodFamilyName", "testId", "testType" })
        copyMember(analysis, &outAnalysis, QLatin1String(key));
    for (const QString &field : m_fields) {
        if (field.contains(QLatin1String("analysis"))) {
            QString key = keyOf(field);
            if (key == QLatin1String("testDate") || key == QLatin1String("testTime"))
                key = QStringLiteral("testDateTime");
            else if (key == QLatin1String("collimated"))
                key = QStringLiteral("collimatedStatusInt");
            if (!key.isEmpty())
                copyMember(analysis, &outAnalysis, key);
        }
        if (field == QLatin1String("goldResult.auPlating"))
            copyMember(analysis, &outAnalysis, QStringLiteral("auPlating"));
        if (field == QLatin1String("goldResult.karat"))
            copyMember(analysis, &outAnalysis, QStringLiteral("auKarat"));
    }

    QJsonObject out;
    if (testType == QLatin1String("CALCHECK")) {
        const QJsonObject calCheck = full.value(QStringLiteral("calCheckResult")).toObject();
        QJsonObject outCalCheck;
        for (const QString &field : m_fields) {
            const QString key = keyOf(field);
            if (field.contains(QLatin1String("calCheckResult")) && !key.isEmpty())
                copyMember(calCheck, &outCalCheck, key);
        }
        if (!outCalCheck.isEmpty())
            out.insert(QStringLiteral("calCheckResult"), outCalCheck);
    }
    auto chemistryGroup = [&] {
        copyMember(full, &out, QStringLiteral("chemistry"));
        copyMember(full, &out, XrfKorviResult::g_userFactorLabel);
        copyMember(analysis, &outAnalysis, QStringLiteral("userFactorNormalizeFactor"));
    };
    if (containsAny(m_fields,
                    { "chemistry.nameConcError", "chemistry.concentration", "chemistry.error" }))
        chemistryGroup();
    if (containsAny(
                m_fields,
                { "pseudoElement.concentration", "pseudoElement.error", "pseudoElement.formula" }))
        copyMember(full, &out, QStringLiteral("pseudoElement"));
    if (m_fields.contains(QStringLiteral("spectra")))
        copyMember(full, &out, QStringLiteral("spectra"));
    if (containsAny(m_fields, spectrumHeaderFields())) {
        QJsonArray headers;
        for (const QJsonValue &spectrum : full.value(QStringLiteral("spectra")).toArray()) {
            QJsonObject header = spectrum.toObject();
            header.remove(QStringLiteral("data"));
            headers.append(header);
        }
        out.insert(QStringLiteral("spectraHeader"), headers);
    }
    if (m_fields.contains(QStringLiteral("compound"))) {
        if (!out.contains(QStringLiteral("chemistry")))
            chemistryGroup();
        copyMember(full, &out, XrfKorviResult::g_compoundLabel);
    }
    if (m_fields.contains(QStringLiteral("actionLevel"))) {
        if (!out.contains(QStringLiteral("chemistry")))
            chemistryGroup();
        copyMember(full, &out, XrfKorviResult::g_actionLevelLabel);
    }
    if (m_fields.contains(QStringLiteral("regressionInfo.historicalTidName"))
        && testType == QLatin1String("REGRESSION"))
        copyMember(full, &out, QStringLiteral("regressionInfo"));
    if (containsAny(m_fields, gradeMatchFields()))
        copyMember(full, &out, QStringLiteral("gradeMatch"));

    QStringList coatingKeys;
    for (const char *key : { "element", "layerOrder", "factor", "thickness", "error" })
        if (m_fields.contains(QStringLiteral("coating.") + QLatin1String(key)))
            coatingKeys << QLatin1String(key);
    QJsonArray layers;
    bool thicknessAsked = false;
    for (const QJsonValue &value : full.value(QStringLiteral("coating")).toArray()) {
        QJsonObject layer;
        for (const QString &key : qAsConst(coatingKeys))
            copyMember(value.toObject(), &layer, key);
        if (layer.contains(QStringLiteral("thickness")) || layer.contains(QStringLiteral("error")))
            thicknessAsked = true;
        if (!layer.isEmpty())
            layers.append(layer);
    }
    if (thicknessAsked) {
        copyMember(full, &out, XrfKorviResult::g_userFactorLabel);
        copyMember(analysis, &outAnalysis, QStringLiteral("userFactorNormalizeFactor"));
    }
    if (!layers.isEmpty()) {
        copyMember(analysis, &outAnalysis, QStringLiteral("coatingDisplayUnit"));
        out.insert(QStringLiteral("coating"), layers);
    }
    if (m_fields.contains(QStringLiteral("testInfo"))) {
        copyMember(full, &out, QStringLiteral("testInfo"));
        copyMember(full, &out, QStringLiteral("notesOrder"));
    }
    if (m_fields.contains(QStringLiteral("images")))
        copyMember(full, &out, QStringLiteral("images"));
    if (m_fields.contains(QStringLiteral("instrumentSerialNum")))
        out.insert(QStringLiteral("instrumentSerialNum"), m_serialNumber);
    if (m_fields.contains(QStringLiteral("model")))
        out.insert(QStringLiteral("model"), m_model);
    if (m_fields.contains(QStringLiteral("tubeAnode")))
        out.insert(QStringLiteral("tubeAnode"), m_tubeAnode);
    out.insert(QStringLiteral("analysis"), outAnalysis);
    return out;
}
