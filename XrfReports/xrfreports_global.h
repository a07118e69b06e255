#ifndef XRFREPORTS_GLOBAL_H
#define XRFREPORTS_GLOBAL_H

#include <QtCore/qglobal.h>

#if defined(XRFREPORTS_LIBRARY)
#    define XRFREPORTS_EXPORT Q_DECL_EXPORT
#else
#    define XRFREPORTS_EXPORT Q_DECL_IMPORT
#endif

#endif // XRFREPORTS_GLOBAL_H
