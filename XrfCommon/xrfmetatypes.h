#ifndef XRFMETATYPES_H
#define XRFMETATYPES_H

// Registers the result model and the command records by name, so that they can travel in
// queued signals between threads. Safe to call more than once.

#include "xrfcommon_global.h"

XRFCOMMON_EXPORT void xrfRegisterMetaTypes();

#endif // XRFMETATYPES_H
