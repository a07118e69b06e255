#include "xrfanalysisresult.h"

const QString XrfAnalysisResult::dateTimeFormat = XrfFields::dateTimeFormat();

QString XrfAnalysisResult::dateTimeString() const
{
    return m_testDateTime.isValid() ? m_testDateTime.toUTC().toString(dateTimeFormat) : QString();
}

QString XrfAnalysisResult::rohsVerdictText(int verdict)
{
    switch (verdict) {
    case RohsPass:
        return QStringLiteral("Pass");
    case RohsInconclusive:
        return QStringLiteral("Inconclusive");
    case RohsFail:
        return QStringLiteral("Fail");
    case -1:
        return QString();
    }
    return QString::number(verdict);
}

XRF_FIELDS_DEFINE(XrfAnalysisResult, XRF_ANALYSISRESULT_FIELDS)
