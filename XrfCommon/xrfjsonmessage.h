#ifndef XRFJSONMESSAGE_H
#define XRFJSONMESSAGE_H

// A command request: the request id that the answer echoes, the command type and the
// parameters.

#include "xrfcommon_global.h"
#include "xrffields.h"

#define XRF_JSONMESSAGE_FIELDS(X)                                                                  \
    X(V, int, id, Id, 0, "id")                                                                     \
    X(V, int, commandId, CommandId, 0, "commandId")                                                \
    X(V, QJsonObject, params, Params, {}, "params")

class XRFCOMMON_EXPORT XrfJsonMessage
{
public:
    XrfJsonMessage() = default;
    XrfJsonMessage(int id, int commandId, const QJsonObject &params)
        : m_id(id), m_commandId(commandId), m_params(params)
    {
    }

    XRF_FIELDS_DECLARE(XrfJsonMessage, XRF_JSONMESSAGE_FIELDS)
};

Q_DECLARE_METATYPE(XrfJsonMessage)

#endif // XRFJSONMESSAGE_H
