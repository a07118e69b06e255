#include "xrferrorinfo.h"

#include <QMetaEnum>

XrfErrorInfo::XrfErrorInfo(XrfError code, const QString &extendedInfo)
    : m_code(code), m_extendedInfo(extendedInfo)
{
}

QString XrfErrorInfo::errorString() const
{
    QString text = QStringLiteral("%1 (%2)").arg(errorName(m_code)).arg(int(m_code));
    if (!m_extendedInfo.isEmpty())
        text += QStringLiteral(": ") + m_extendedInfo;
    return text;
}

QString XrfErrorInfo::errorName(int code)
{
    const char *key = QMetaEnum::fromType<XrfError>().valueToKey(code);
    return key ? QString::fromLatin1(key) : QString::number(code);
}
