#include "xrfmetatypes.h"

#include "xrfdatetimerange.h"
#include "xrferrorinfo.h"
#include "xrfexportparam.h"
#include "xrfexportretstate.h"
#include "xrfimage.h"
#include "xrfjsonmessage.h"
#include "xrfkorviresult.h"
#include "xrfsettestinfofieldparams.h"
#include "xrfstring.h"
#include "xrftestsselected.h"

void xrfRegisterMetaTypes()
{
    qRegisterMetaType<XrfErrorInfo::XrfError>("XrfErrorInfo::XrfError");
    qRegisterMetaType<XrfKorviResult>("XrfKorviResult");
    qRegisterMetaType<XrfAnalysisResult>("XrfAnalysisResult");
    qRegisterMetaType<XrfSpectrum>("XrfSpectrum");
    qRegisterMetaType<QList<XrfSpectrum>>("QList<XrfSpectrum>");
    qRegisterMetaType<XrfAverageInfo>("XrfAverageInfo");
    qRegisterMetaType<QList<XrfAverageInfo>>("QList<XrfAverageInfo>");
    qRegisterMetaType<XrfJsonMessage>("XrfJsonMessage");
    qRegisterMetaType<XrfString>("XrfString");
    qRegisterMetaType<XrfTestsSelected>("XrfTestsSelected");
    qRegisterMetaType<XrfTestsSelected::UseSettings>("XrfTestsSelected::UseSettings");
    qRegisterMetaType<XrfExportParam>("XrfExportParam");
    qRegisterMetaType<XrfDateTimeRange>("XrfDateTimeRange");
    qRegisterMetaType<QList<XrfDateTimeRange>>("QList<XrfDateTimeRange>");
    qRegisterMetaType<XrfSetTestInfoFieldParams>("XrfSetTestInfoFieldParams");
    qRegisterMetaType<XrfExportRetState>("XrfExportRetState");
    qRegisterMetaType<XrfImage>("XrfImage");
}
