#ifndef XRFCOMMON_GLOBAL_H
#define XRFCOMMON_GLOBAL_H

#include <QtCore/qglobal.h>

#if defined(XRFCOMMON_LIBRARY)
#  define XRFCOMMON_EXPORT Q_DECL_EXPORT
#else
#  define XRFCOMMON_EXPORT Q_DECL_IMPORT
#endif

#endif // XRFCOMMON_GLOBAL_H
