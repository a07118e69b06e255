#include "xrfimageinfo.h"

QJsonObject XrfImageInfo::toJsonObject() const
{
    QJsonObject object;
    XRF_IMAGEINFO_FIELDS(XRF_FIELD_WRITE)
    return object;
}

void XrfImageInfo::fromJsonObject(const QJsonObject &source, XrfFields::ReadLog *log)
{
    // Results queued by earlier software name two members differently.
    QJsonObject object = source;
    for (const auto &names :
         { std::make_pair("fileName", "name"), std::make_pair("imageType", "type") }) {
        if (!object.contains(QLatin1String(names.first))
            && object.contains(QLatin1String(names.second)))
            object.insert(QLatin1String(names.first), object.value(QLatin1String(names.second)));
    }
    XRF_IMAGEINFO_FIELDS(XRF_FIELD_READ)
}

bool XrfImageInfo::operator==(const XrfImageInfo &other) const
{
    return true XRF_IMAGEINFO_FIELDS(XRF_FIELD_EQUAL);
}
