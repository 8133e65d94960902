#pragma once

#include <QString>
#include <optional>

namespace parlotta {

// Where this build points its users: fixed when it is built, from the CMake
// cache variables PARLOTTA_SITE_URL, PARLOTTA_MAKER_NAME and PARLOTTA_MAKER_URL.
// Addresses carry no trailing slash.
extern const QString siteURL;   // the product's web site: documentation and setup guide
extern const QString makerName; // who makes it, as the about dialog credits them
extern const QString makerURL;  // the maker's web site

// The release version of this copy; none for a development build.
std::optional<QString> installedVersion();

} // namespace parlotta
