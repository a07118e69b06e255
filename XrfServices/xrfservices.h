#ifndef XRFSERVICES_H
#define XRFSERVICES_H

// Loading of the settings, method and hardware services from the
// configuration folder that the host names (see config/README.md).

#include "xrfservices_global.h"

#include <QString>

namespace XrfServices {

// (Re)loads all three services from the folder. A missing file leaves its
// groups empty. False, with the reason naming the file in errorText, when
// the folder is missing or a file cannot be read as a JSON object; the
// services then keep what they held before.
XRFSERVICES_EXPORT bool loadConfiguration(const QString &folder, QString *errorText = nullptr);

} // namespace XrfServices

#endif // XRFSERVICES_H
