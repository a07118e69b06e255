#ifndef XRFANALYSISRESULT_H
#define XRFANALYSISRESULT_H

// The header of a test result: what was measured when, by which method, and the names and
// switches of the method's options that the sub-results depend on. Enumerations and switches
// use -1 for "not set"; coordinates are NaN when unknown.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_ANALYSISRESULT_FIELDS(X)                                                               \
    X(V, int, testId, TestId, -1, "testId")                                                        \
    X(U, QDateTime, testDateTime, TestDateTime, {}, "testDateTime")                                \
    X(V, int, statusId, StatusId, 0, "statusId")                                                   \
    X(V, bool, final, Final, false, "final")                                                       \
    X(V, QString, testType, TestType, QStringLiteral("NORMAL"), "testType")                        \
    X(V, QString, methodId, MethodId, {}, "methodId")                                              \
    X(V, MethodFamily, methodFamilyName, MethodFamilyName, NoMethodFamily, "methodFamilyName")     \
    X(V, QString, methodDispName, MethodDispName, {}, "methodDispName")                            \
    X(V, int, collimatedStatusInt, CollimatedStatusInt, -1, "collimatedStatusInt")                 \
    X(V, bool, collimated, Collimated, false, "collimated")                                        \
    X(V, int, dailyId, DailyId, -1, "dailyId")                                                     \
    X(V, QString, userId, UserId, {}, "userId")                                                    \
    X(V, QString, tidName, TidName, {}, "tidName")                                                 \
    X(V, QString, testErrorInfo, TestErrorInfo, {}, "testErrorInfo")                               \
    X(V, double, latitude, Latitude, qQNaN(), "latitude")                                          \
    X(V, double, longitude, Longitude, qQNaN(), "longitude")                                       \
    X(V, double, elevation, Elevation, qQNaN(), "elevation")                                       \
    X(V, QString, userFactorName, UserFactorName, {}, "userFactorName")                            \
    X(V, double, userFactorNormalizeFactor, UserFactorNormalizeFactor, -1.0,                       \
      "userFactorNormalizeFactor")                                                                 \
    X(V, QString, compoundTemplateName, CompoundTemplateName, {}, "compoundTemplateName")          \
    X(V, bool, compoundSuppress100Warning, CompoundSuppress100Warning, false,                      \
      "compoundSuppress100Warning")                                                                \
    X(V, QString, tiTemplateName, TiTemplateName, {}, "tiTemplateName")                            \
    X(V, QString, coatingConfigName, CoatingConfigName, {}, "coatingConfigName")                   \
    X(V, int, gradeCompareEnable, GradeCompareEnable, -1, "gradeCompareEnable")                    \
    X(V, int, pseudoElementGradeMatchEnable, PseudoElementGradeMatchEnable, -1,                    \
      "pseudoElementGradeMatchEnable")                                                             \
    X(V, QString, pseudoElementConfigName, PseudoElementConfigName, {}, "pseudoElementConfigName") \
    X(V, double, leadPaintActionLevel, LeadPaintActionLevel, -1.0, "leadPaintActionLevel")         \
    X(V, int, coatingDisplayUnitEnum, CoatingDisplayUnitEnum, -1, "coatingDisplayUnit")            \
    X(V, QString, pythonPluginResult, PythonPluginResult, {}, "pythonPluginResult")                \
    X(V, QString, tavirexResult, TavirexResult, {}, "tavirexResult")                               \
    X(V, int, digitalIOStateBefore, DigitalIOStateBefore, -1, "digitalIOStateBefore")              \
    X(V, int, digitalIOStateAfter, DigitalIOStateAfter, -1, "digitalIOStateAfter")                 \
    X(V, int, rohsClassificationEnum, RohsClassificationEnum, -1, "rohsClassificationEnum")        \
    X(V, int, rohsActionLevelEnum, RohsActionLevelEnum, -1, "rohsActionLevelEnum")                 \
    X(V, QString, rohsActionLevelName, RohsActionLevelName, {}, "rohsActionLevelName")             \
    X(V, int, auPlatingEnum, AuPlatingEnum, -1, "auPlating")                                       \
    X(V, double, auKarat, AuKarat, -1.0, "auKarat")                                                \
    X(V, int, repeatTestIndex, RepeatTestIndex, 0, "repeatTestIndex")                              \
    X(V, int, repeatTestTotal, RepeatTestTotal, 0, "repeatTestTotal")

class XRFCOMMON_EXPORT XrfAnalysisResult
{
public:
    // Method families by number; the method service defines 0 to 16, only coating matters here.
    enum MethodFamily : int { NoMethodFamily = -1, CoatingMethodFamily = 8 };

    // The RoHS verdicts, of the whole test (rohsClassificationEnum) and of each element against
    // its action levels (XrfActionLevelResult::actionLevelEnum): below the lower level, between
    // the levels (a laboratory analysis decides), above the upper one.
    enum RohsVerdict : int { RohsPass = 0, RohsInconclusive = 1, RohsFail = 2 };
    // "Pass", "Inconclusive", "Fail"; empty for -1 (not set), the number for any other value.
    static QString rohsVerdictText(int verdict);

    // "yyyy-MM-dd hh:mm:ss.zzz", the date-time text of the database and of result JSON.
    static const QString dateTimeFormat;

    // The test date-time in UTC in dateTimeFormat; empty when it is not set.
    QString dateTimeString() const;

    // Stored family numbers arrive as plain integers.
    void setMethodFamilyName(int family) { m_methodFamilyName = MethodFamily(family); }

    XRF_FIELDS_DECLARE(XrfAnalysisResult, XRF_ANALYSISRESULT_FIELDS)
};

Q_DECLARE_METATYPE(XrfAnalysisResult)

#endif // XRFANALYSISRESULT_H
