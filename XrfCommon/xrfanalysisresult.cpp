#include "xrfanalysisresult.h"

const QString XrfAnalysisResult::dateTimeFormat = XrfFields::dateTimeFormat();

QString XrfAnalysisResult::dateTimeString() const
{
    return m_testDateTime.isValid() ? m_testDateTime.toUTC().toString(dateTimeFormat) : QString();
}

XRF_FIELDS_DEFINE(XrfAnalysisResult, XRF_ANALYSISRESULT_FIELDS)
