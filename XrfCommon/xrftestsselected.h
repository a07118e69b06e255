#ifndef XRFTESTSSELECTED_H
#define XRFTESTSSELECTED_H

// A selection of tests by comma-separated date-times (taken in start, end pairs) and test ids.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_TESTSSELECTED_FIELDS(X)                                                                \
    X(V, QString, dateList, DateList, {}, "dateList")                                              \
    X(V, QString, tidList, TidList, {}, "tidList")                                                 \
    X(V, UseSettings, useSettings, UseSettings, UseExportSettings, "useSettings")

class XRFCOMMON_EXPORT XrfTestsSelected
{
public:
    // Which settings a selection is exported with; DeleteResults asks for deletion instead.
    // Other numbers are passed through unchanged.
    enum UseSettings : int { UsePrintSettings = 0, UseExportSettings = 1, DeleteResults = 3 };

    XRF_FIELDS_DECLARE(XrfTestsSelected, XRF_TESTSSELECTED_FIELDS)
};

Q_DECLARE_METATYPE(XrfTestsSelected)
Q_DECLARE_METATYPE(XrfTestsSelected::UseSettings)

#endif // XRFTESTSSELECTED_H
