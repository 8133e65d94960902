#pragma once

#include <QString>

namespace parlotta {

// Where this build points its users: fixed when it is built, from the CMake
// cache variables PARLOTTA_SITE_URL, PARLOTTA_MAKER_NAME, PARLOTTA_MAKER_URL,
// PARLOTTA_HUB_URL, PARLOTTA_HUB_OWNER, PARLOTTA_HUB_PARAKEET_REPO and PARLOTTA_RELEASES_URL.
// Addresses carry no trailing slash.
extern const QString siteURL;    // the product's web site: documentation and setup guide
extern const QString makerName;  // who makes it, as the about dialog credits them
extern const QString makerURL;   // the maker's web site
extern const QString hubBaseURL; // the model hub (PARLOTTA_HUB_URL)
extern const QString hubOwner;   // whose whisper.cpp model repository (PARLOTTA_HUB_OWNER)
// The hub repository of the Parakeet models, "owner/name" (PARLOTTA_HUB_PARAKEET_REPO).
extern const QString hubParakeetRepository;
extern const QString releasesURL; // the release site: version.txt and Parlotta.zip

} // namespace parlotta
