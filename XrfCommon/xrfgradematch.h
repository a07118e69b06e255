#ifndef XRFGRADEMATCH_H
#define XRFGRADEMATCH_H

// One grade that the test was compared with, with the per element limits of it.
// matchNSigma is -1 when the grade library gave none.

#include "xrfcommon_global.h"
#include "xrffields.h"
#include "xrfgradematchspec.h"

#define XRF_GRADEMATCH_FIELDS(X)                                                                   \
    X(V, QString, gradeName, GradeName, {}, "gradeName")                                           \
    X(V, float, matchNumber, MatchNumber, 0.0f, "matchNumber")                                     \
    X(V, float, matchNSigma, MatchNSigma, -1.0f, "matchNSigma")                                    \
    X(V, int, compGrade, CompGrade, 0, "compGrade")                                                \
    X(V, float, nominalFactor, NominalFactor, 0.0f, "nominalFactor")                               \
    X(V, float, passFailCutOff, PassFailCutOff, 0.0f, "passFailCutOff")                            \
    X(V, float, passFailNSigma, PassFailNSigma, 0.0f, "passFailNSigma")                            \
    X(V, bool, passFailShowMatchNumber, PassFailShowMatchNumber, false, "passFailShowMatchNumber") \
    X(V, QString, matchMessage, MatchMessage, {}, "matchMessage")                                  \
    X(R, QList<XrfGradeMatchSpec>, gradeSpec, GradeSpec, {}, "gradeSpec")

class XRFCOMMON_EXPORT XrfGradeMatch
{
    XRF_FIELDS_DECLARE(XrfGradeMatch, XRF_GRADEMATCH_FIELDS)
};

Q_DECLARE_METATYPE(XrfGradeMatch)

#endif // XRFGRADEMATCH_H
