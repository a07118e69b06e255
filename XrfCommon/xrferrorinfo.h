#ifndef XRFERRORINFO_H
#define XRFERRORINFO_H

// The result code of every operation, and an error record that carries one
// with an optional extended text. 0 is success; every failure has one name.

#include "xrfcommon_global.h"

#include <QMetaType>
#include <QObject>
#include <QString>

class XRFCOMMON_EXPORT XrfErrorInfo
{
    Q_GADGET
public:
    enum XrfError {
        NoError = 0,
        DbQueryFailed = -1999,
        ResultNotFound = -1997,
        MethodMismatch = -1994,
        NoSdCard = -1992,
        DbOpenFailed = -1989,
        BadFileHeader = -1988,
        TemplateNotFound = -1985,
        OperationAborted = -1984,
        NoStorage = -1981,
        NotCurrentMethod = -1980,
        DatabaseEmpty = -1979,
        InvalidArgument = -999,
        NotImplemented = -998,
        TemplateLoadFailed = -997,
        FileCreateFailed = -996,
        FileOpenFailed = -995,
        FileAccessFailed = -994,
        ConnectFailed = -993
    };
    Q_ENUM(XrfError)

    XrfErrorInfo(XrfError code = NoError, const QString &extendedInfo = QString());

    XrfError errorCode() const { return m_code; }
    void setErrorCode(XrfError code) { m_code = code; }
    QString extendedErrorInfo() const { return m_extendedInfo; }
    void setExtendedErrorInfo(const QString &info) { m_extendedInfo = info; }

    // "DbOpenFailed (-1989)", followed by ": " and the extended text if any.
    QString errorString() const;

    // The name of a code ("DbQueryFailed"), or its number for an unknown one.
    static QString errorName(int code);

private:
    XrfError m_code;
    QString m_extendedInfo;
};

Q_DECLARE_METATYPE(XrfErrorInfo::XrfError)
Q_DECLARE_METATYPE(XrfErrorInfo)

#endif // XRFERRORINFO_H
