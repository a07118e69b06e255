#ifndef XRFEXPORTRETSTATE_H
#define XRFEXPORTRETSTATE_H

// The state of a finished database export: status ("Complete"), the intermediate JSON file,
// the number of results, and whether a PC asked for it.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_EXPORTRETSTATE_FIELDS(X)                                                               \
    X(V, QString, exportStatus, ExportStatus, {}, "exportStatus")                                  \
    X(V, QString, intermediateJsFile, IntermediateJsFile, {}, "intermediateJsFile")                \
    X(V, int, numberOfResults, NumberOfResults, 0, "numberOfResults")                              \
    X(V, bool, exportFromPC, ExportFromPC, false, "exportFromPC")

class XRFCOMMON_EXPORT XrfExportRetState
{
    XRF_FIELDS_DECLARE(XrfExportRetState, XRF_EXPORTRETSTATE_FIELDS)
};

Q_DECLARE_METATYPE(XrfExportRetState)

#endif // XRFEXPORTRETSTATE_H
