#ifndef XRFSTRING_H
#define XRFSTRING_H

// One text carried as a record: {"xrfString": text}. Requests carry test id lists this way,
// and answers such as "Success".

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_STRING_FIELDS(X) X(V, QString, xrfString, XrfString, {}, "xrfString")

class XRFCOMMON_EXPORT XrfString
{
public:
    XrfString() = default;
    explicit XrfString(const QString &text) : m_xrfString(text) { }

    XRF_FIELDS_DECLARE(XrfString, XRF_STRING_FIELDS)
};

Q_DECLARE_METATYPE(XrfString)

#endif // XRFSTRING_H
