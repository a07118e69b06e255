#ifndef XRFFIELDS_H
#define XRFFIELDS_H

// The result classes and command records are plain value classes. Each lists its fields once,
// in an X-macro, and the macros below turn that list into accessors, members, JSON and ==:
//
//     #define XRF_CHEMISTRY_FIELDS(X) (one entry per line, each line ending in a backslash)
//         X(V, QString, elementName, ElementName, {}, "elementName")
//         X(V, float, concentration, Concentration, 0.0f, "concentration")
//     class XrfChemistryResult { XRF_FIELDS_DECLARE(XrfChemistryResult, XRF_CHEMISTRY_FIELDS) };
//     XRF_FIELDS_DEFINE(XrfChemistryResult, XRF_CHEMISTRY_FIELDS)      // in the .cpp
//
// An entry is X(kind, type, getter, SetterSuffix, default, json key). Kinds:
//   V  a value: T name() const, setName(const T &)
//   U  a date-time held in UTC: as V, but the setter converts to UTC
//   R  a live part: T &name(), const T &name() const, setName(const T &)
//   P  a live part by pointer (never null): T *name(), const T *name() const, setName(const T &)
//
// JSON form of the field types (XrfFields::Json<T>):
// - integers are numbers; beyond 2^53, where a double is no longer exact, decimal strings.
//   Both forms are read.
// - float and double are numbers in their shortest exact text (0.1f is 0.1, not
//   0.10000000149011612). NaN is written as null and null reads as NaN; infinities are the
//   strings "inf" and "-inf".
// - date-times are text in the format "yyyy-MM-dd hh:mm:ss.zzz" and read back as UTC; an
//   invalid date-time is "".
// - channel counts (QVector<quint32>) are base64 of their little-endian bytes; an array of
//   numbers is read as well.
// - lists are arrays; nested classes are objects.
// fromJsonObject() reads only the members that are present and of a usable type; every other
// field keeps its value, so a missing or malformed member never throws and never crashes.
// Given a ReadLog, it also records each member or list element it could not use, so that a
// host can refuse a file instead of storing defaults in its place.

#include "xrfcommon_global.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtNumeric>

#include <cmath>
#include <limits>
#include <type_traits>

namespace XrfFields {

// The members a read could not use, as JSON pointers ("/chemistry/2/concentration"). A reader
// enters each member or element it descends into and refuses the value it cannot use there.
class XRFCOMMON_EXPORT ReadLog
{
public:
    void enter(const QString &step);
    void leave();
    void refuse();
    QStringList problems() const { return m_problems; }

private:
    QStringList m_path;
    QStringList m_problems;
};

// "yyyy-MM-dd hh:mm:ss.zzz": the date-time text of the database and of result JSON.
XRFCOMMON_EXPORT QString dateTimeFormat();

// Channel counts as 4 little-endian bytes each, and back. appendChannels ignores a trailing
// partial channel and returns the number of channels it appended.
XRFCOMMON_EXPORT QByteArray channelBytes(const QVector<quint32> &channels);
XRFCOMMON_EXPORT int appendChannels(const QByteArray &bytes, QVector<quint32> &channels);

// A date-time text of that format read as UTC, never through local time (where a wall clock
// in a daylight-saving gap would be moved); invalid when the text has another shape.
XRFCOMMON_EXPORT QDateTime utcFromText(const QString &text);

XRFCOMMON_EXPORT QJsonValue dateTimeToJson(const QDateTime &value);
XRFCOMMON_EXPORT bool dateTimeFromJson(const QJsonValue &json, QDateTime &out);
XRFCOMMON_EXPORT QJsonValue channelsToJson(const QVector<quint32> &value);
XRFCOMMON_EXPORT bool channelsFromJson(const QJsonValue &json, QVector<quint32> &out);
XRFCOMMON_EXPORT bool realFromJson(const QJsonValue &json, double &out);
XRFCOMMON_EXPORT QJsonValue floatToJson(float value);

// Converts one field to JSON and back. from() returns false and leaves `out` untouched when
// the JSON value cannot be used. The primary template serves the nested classes.
template<class T, class Enable = void>
struct Json
{
    static QJsonValue to(const T &value) { return value.toJsonObject(); }
    static bool from(const QJsonValue &json, T &out, ReadLog *log = nullptr)
    {
        if (!json.isObject())
            return false;
        out.fromJsonObject(json.toObject(), log);
        return true;
    }
};

template<class T>
struct Json<T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value>>
{
    static QJsonValue to(const T &value)
    {
        constexpr qint64 exactLimit = qint64(1) << 53;
        bool exact = false;
        if constexpr (std::is_signed<T>::value)
            exact = qint64(value) <= exactLimit && qint64(value) >= -exactLimit;
        else
            exact = quint64(value) <= quint64(exactLimit);
        if (exact)
            return QJsonValue(qint64(value));
        return QString::number(value);
    }
    static bool from(const QJsonValue &json, T &out, ReadLog * = nullptr)
    {
        // Bounds are powers of two, hence exact as doubles.
        const double upper = std::ldexp(1.0, std::numeric_limits<T>::digits);
        const double lower = std::is_signed<T>::value ? -upper : 0.0;
        if (json.isDouble()) {
            const double d = json.toDouble();
            if (d != std::floor(d) || d < lower || d >= upper)
                return false;
            out = T(d);
            return true;
        }
        if (!json.isString())
            return false;
        bool ok = false;
        if constexpr (std::is_signed<T>::value) {
            const qlonglong v = json.toString().toLongLong(&ok);
            if (!ok || v < qlonglong(std::numeric_limits<T>::min())
                || v > qlonglong(std::numeric_limits<T>::max()))
                return false;
            out = T(v);
        } else {
            const qulonglong v = json.toString().toULongLong(&ok);
            if (!ok || v > qulonglong(std::numeric_limits<T>::max()))
                return false;
            out = T(v);
        }
        return true;
    }
};

template<class T>
struct Json<T, std::enable_if_t<std::is_floating_point<T>::value>>
{
    static QJsonValue to(const T &value)
    {
        if (qIsNaN(value))
            return QJsonValue(QJsonValue::Null);
        if (qIsInf(value))
            return QString::fromLatin1(value > 0 ? "inf" : "-inf");
        if constexpr (std::is_same<T, float>::value)
            return floatToJson(value);
        return QJsonValue(double(value));
    }
    static bool from(const QJsonValue &json, T &out, ReadLog * = nullptr)
    {
        double d = 0.0;
        if (!realFromJson(json, d))
            return false;
        out = T(d);
        return true;
    }
};

template<class T>
struct Json<T, std::enable_if_t<std::is_enum<T>::value>>
{
    static QJsonValue to(const T &value) { return QJsonValue(int(value)); }
    static bool from(const QJsonValue &json, T &out, ReadLog * = nullptr)
    {
        int number = 0;
        if (!Json<int>::from(json, number))
            return false;
        out = T(number);
        return true;
    }
};

template<>
struct Json<bool>
{
    static QJsonValue to(const bool &value) { return QJsonValue(value); }
    static bool from(const QJsonValue &json, bool &out, ReadLog * = nullptr)
    {
        if (!json.isBool())
            return false;
        out = json.toBool();
        return true;
    }
};

template<>
struct Json<QString>
{
    static QJsonValue to(const QString &value) { return QJsonValue(value); }
    static bool from(const QJsonValue &json, QString &out, ReadLog * = nullptr)
    {
        if (!json.isString())
            return false;
        out = json.toString();
        return true;
    }
};

template<>
struct Json<QJsonObject>
{
    static QJsonValue to(const QJsonObject &value) { return QJsonValue(value); }
    static bool from(const QJsonValue &json, QJsonObject &out, ReadLog * = nullptr)
    {
        if (!json.isObject())
            return false;
        out = json.toObject();
        return true;
    }
};

template<>
struct Json<QDateTime>
{
    static QJsonValue to(const QDateTime &value) { return dateTimeToJson(value); }
    static bool from(const QJsonValue &json, QDateTime &out, ReadLog * = nullptr)
    {
        return dateTimeFromJson(json, out);
    }
};

template<>
struct Json<QVector<quint32>>
{
    static QJsonValue to(const QVector<quint32> &value) { return channelsToJson(value); }
    static bool from(const QJsonValue &json, QVector<quint32> &out, ReadLog * = nullptr)
    {
        return channelsFromJson(json, out);
    }
};

// Elements that cannot be read are dropped; the rest keep their order.
template<class T>
struct Json<QList<T>>
{
    static QJsonValue to(const QList<T> &value)
    {
        QJsonArray array;
        for (const T &item : value)
            array.append(Json<T>::to(item));
        return array;
    }
    static bool from(const QJsonValue &json, QList<T> &out, ReadLog *log = nullptr)
    {
        if (!json.isArray())
            return false;
        QList<T> items;
        const QJsonArray array = json.toArray();
        for (int i = 0; i < array.size(); ++i) {
            T item {};
            if (log)
                log->enter(QString::number(i));
            if (Json<T>::from(array.at(i), item, log))
                items.append(item);
            else if (log)
                log->refuse();
            if (log)
                log->leave();
        }
        out = items;
        return true;
    }
};

// Test id lists: numbers are taken as their decimal text.
template<>
struct Json<QStringList>
{
    static QJsonValue to(const QStringList &value) { return QJsonArray::fromStringList(value); }
    static bool from(const QJsonValue &json, QStringList &out, ReadLog *log = nullptr)
    {
        if (!json.isArray())
            return false;
        QStringList items;
        const QJsonArray array = json.toArray();
        for (int i = 0; i < array.size(); ++i) {
            const QJsonValue element = array.at(i);
            qint64 number = 0;
            if (element.isString()) {
                items.append(element.toString());
            } else if (Json<qint64>::from(element, number)) {
                items.append(QString::number(number));
            } else if (log) {
                log->enter(QString::number(i));
                log->refuse();
                log->leave();
            }
        }
        out = items;
        return true;
    }
};

template<class T>
void write(QJsonObject &object, const QString &key, const T &value)
{
    object.insert(key, Json<T>::to(value));
}

template<class T>
void read(const QJsonObject &object, const QString &key, T &value, ReadLog *log)
{
    const auto it = object.constFind(key);
    if (it == object.constEnd())
        return;
    if (!log) {
        Json<T>::from(it.value(), value);
        return;
    }
    log->enter(key);
    if (!Json<T>::from(it.value(), value, log))
        log->refuse();
    log->leave();
}

// NaN equals NaN here, so that an unset coordinate compares equal to itself.
template<class T>
bool equal(const T &a, const T &b)
{
    return a == b;
}
inline bool equal(float a, float b)
{
    return a == b || (qIsNaN(a) && qIsNaN(b));
}
inline bool equal(double a, double b)
{
    return a == b || (qIsNaN(a) && qIsNaN(b));
}

} // namespace XrfFields

#define XRF_FIELD_ACCESSORS(kind, T, name, Name, def, key) XRF_FIELD_ACCESSORS_##kind(T, name, Name)
#define XRF_FIELD_ACCESSORS_V(T, name, Name)                                                       \
    T name() const                                                                                 \
    {                                                                                              \
        return m_##name;                                                                           \
    }                                                                                              \
    void set##Name(const T &value)                                                                 \
    {                                                                                              \
        m_##name = value;                                                                          \
    }
#define XRF_FIELD_ACCESSORS_U(T, name, Name)                                                       \
    T name() const                                                                                 \
    {                                                                                              \
        return m_##name;                                                                           \
    }                                                                                              \
    void set##Name(const T &value)                                                                 \
    {                                                                                              \
        m_##name = value.toUTC();                                                                  \
    }
#define XRF_FIELD_ACCESSORS_R(T, name, Name)                                                       \
    T &name()                                                                                      \
    {                                                                                              \
        return m_##name;                                                                           \
    }                                                                                              \
    const T &name() const                                                                          \
    {                                                                                              \
        return m_##name;                                                                           \
    }                                                                                              \
    void set##Name(const T &value)                                                                 \
    {                                                                                              \
        m_##name = value;                                                                          \
    }
#define XRF_FIELD_ACCESSORS_P(T, name, Name)                                                       \
    T *name()                                                                                      \
    {                                                                                              \
        return &m_##name;                                                                          \
    }                                                                                              \
    const T *name() const                                                                          \
    {                                                                                              \
        return &m_##name;                                                                          \
    }                                                                                              \
    void set##Name(const T &value)                                                                 \
    {                                                                                              \
        m_##name = value;                                                                          \
    }

#define XRF_FIELD_MEMBER(kind, T, name, Name, def, key) T m_##name = def;
#define XRF_FIELD_WRITE(kind, T, name, Name, def, key) XrfFields::write(object, key, m_##name);
#define XRF_FIELD_READ(kind, T, name, Name, def, key) XrfFields::read(object, key, m_##name, log);
#define XRF_FIELD_EQUAL(kind, T, name, Name, def, key) &&XrfFields::equal(m_##name, other.m_##name)

// In the class body. Leaves the class in its private section.
#define XRF_FIELDS_DECLARE(Class, LIST)                                                            \
public:                                                                                            \
    LIST(XRF_FIELD_ACCESSORS)                                                                      \
    QJsonObject toJsonObject() const;                                                              \
    void fromJsonObject(const QJsonObject &object, XrfFields::ReadLog *log = nullptr);             \
    bool operator==(const Class &other) const;                                                     \
    bool operator!=(const Class &other) const                                                      \
    {                                                                                              \
        return !(*this == other);                                                                  \
    }                                                                                              \
                                                                                                   \
private:                                                                                           \
    LIST(XRF_FIELD_MEMBER)

// In the .cpp file of the class.
#define XRF_FIELDS_DEFINE(Class, LIST)                                                             \
    QJsonObject Class::toJsonObject() const                                                        \
    {                                                                                              \
        QJsonObject object;                                                                        \
        LIST(XRF_FIELD_WRITE)                                                                      \
        return object;                                                                             \
    }                                                                                              \
    void Class::fromJsonObject(const QJsonObject &object, XrfFields::ReadLog *log)                 \
    {                                                                                              \
        LIST(XRF_FIELD_READ)                                                                       \
    }                                                                                              \
    bool Class::operator==(const Class &other) const                                               \
    {                                                                                              \
        return true LIST(XRF_FIELD_EQUAL);                                                         \
    }

#endif // XRFFIELDS_H
