#ifndef XRFKORVIRESULT_H
#define XRFKORVIRESULT_H

// One whole test result: the analysis header and every sub-result. A value type; the
// accessors return the live parts, so `result.chemistry().append(...)` changes the result.
// calCheck() always points at the result's own calibration check; hasCalCheck() says whether
// it holds one. testInfo() holds {"key": label, "value": info} objects in entry order.
//
// JSON: toJsonObject() gives the whole result without loss; fromJsonObject() is a member that
// fills this result from such an object and leaves every field whose member is missing or
// malformed as it was, so call it on a new result:
//     XrfKorviResult result;
//     if (XrfKorviResult::isValidResultJson(object, &why))
//         result.fromJsonObject(object);
// A result that comes from outside (a file, another program) is read with readResultJson(),
// which names every member it could not use instead of keeping defaults in silence.

#include "xrfactionlevelresult.h"
#include "xrfanalysisresult.h"
#include "xrfaverageinfo.h"
#include "xrfcalcheckresult.h"
#include "xrfchemistryresult.h"
#include "xrfcoatingresult.h"
#include "xrfcommon_global.h"
#include "xrfcompoundresult.h"
#include "xrffields.h"
#include "xrfgradematch.h"
#include "xrfimageinfo.h"
#include "xrfpseudoelementresult.h"
#include "xrfregressioninfo.h"
#include "xrfspectrum.h"
#include "xrfuserfactorresult.h"

#define XRF_KORVIRESULT_FIELDS(X)                                                                  \
    X(R, XrfAnalysisResult, analysis, Analysis, {}, "analysis")                                    \
    X(R, QList<XrfChemistryResult>, chemistry, Chemistry, {}, "chemistry")                         \
    X(R, QList<XrfPseudoElementResult>, pseudoElement, PseudoElement, {}, "pseudoElement")         \
    X(R, QList<XrfCoatingResult>, coating, Coating, {}, "coating")                                 \
    X(R, QList<XrfCompoundResult>, compound, Compound, {}, g_compoundLabel)                        \
    X(R, QList<XrfUserFactorResult>, userFactor, UserFactor, {}, g_userFactorLabel)                \
    X(R, QList<XrfActionLevelResult>, actionLevel, ActionLevel, {}, g_actionLevelLabel)            \
    X(R, QList<XrfGradeMatch>, gradeMatch, GradeMatch, {}, "gradeMatch")                           \
    X(R, QList<XrfSpectrum>, spectra, Spectra, {}, "spectra")                                      \
    X(R, QList<XrfAverageInfo>, avgOfTestsInfo, AvgOfTestsInfo, {}, "avgOfTestsInfo")              \
    X(R, QList<XrfImageInfo>, images, Images, {}, "images")                                        \
    X(R, QList<QJsonObject>, testInfo, TestInfo, {}, "testInfo")                                   \
    X(V, bool, hasCalCheck, HasCalCheck, false, "hasCalCheck")                                     \
    X(P, XrfCalCheckResult, calCheck, CalCheck, {}, "calCheckResult")                              \
    X(R, XrfRegressionInfo, regressionInfo, RegressionInfo, {}, "regressionInfo")

class XRFCOMMON_EXPORT XrfKorviResult
{
public:
    // Keys of the user factor, compound and action level lists in the result JSON.
    static const QString g_userFactorLabel;
    static const QString g_compoundLabel;
    static const QString g_actionLevelLabel;

    // Whether an object read from a file or a stream is a result: it must have an "analysis"
    // object, and the members that are present must have the right JSON type. On false,
    // *why (when given) names the first problem.
    static bool isValidResultJson(const QJsonObject &object, QString *why = nullptr);

    // Fills this (new) result from the object and returns the JSON pointers of the members it
    // could not use ("/chemistry/2/concentration"): a wrong type, an unparsable value, a list
    // element that is not one. "/analysis" and "/analysis/testDateTime" are also named when
    // missing, since a result is known by its date-time. Empty when the whole object was read.
    QStringList readResultJson(const QJsonObject &object);

    XRF_FIELDS_DECLARE(XrfKorviResult, XRF_KORVIRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfKorviResult)

#endif // XRFKORVIRESULT_H
