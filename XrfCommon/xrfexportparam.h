#ifndef XRFEXPORTPARAM_H
#define XRFEXPORTPARAM_H

// An export or deletion request: test ids and date ranges, what to do with them, export
// settings that replace the current ones when not empty, and whether to end in one zip file.

#include "xrfcommon_global.h"
#include "xrfdatetimerange.h"
#include "xrffields.h"
#include "xrftestsselected.h"

#define XRF_EXPORTPARAM_FIELDS(X)                                                                  \
    X(V, QStringList, tidList, TidList, {}, "tidList")                                             \
    X(V, QList<XrfDateTimeRange>, dateRangeList, DateRangeList, {}, "dateRangeList")               \
    X(V, XrfTestsSelected::UseSettings, actionToDo, ActionToDo,                                    \
      XrfTestsSelected::UseExportSettings, "actionToDo")                                           \
    X(V, QJsonObject, exportSetting, ExportSetting, {}, "exportSetting")                           \
    X(V, bool, outputSingleZip, OutputSingleZip, false, "outputSingleZip")

class XRFCOMMON_EXPORT XrfExportParam
{
    XRF_FIELDS_DECLARE(XrfExportParam, XRF_EXPORTPARAM_FIELDS)
};

Q_DECLARE_METATYPE(XrfExportParam)

#endif // XRFEXPORTPARAM_H
