// The transcription server's address as the user typed it (or a hand-edited
// preferences file holds it): whatever it is, a usable one never sends the
// recording in the clear to another machine, nor a password in the address.
#include "dictation/transcription_server.h"

#include <QHostAddress>
#include <QUrl>
#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Up to the first NUL: the address; after it: the plain-http origin once accepted.
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype split = bytes.indexOf('\0');
    const QString address = QString::fromUtf8(split < 0 ? bytes : bytes.left(split));
    const QString accepted = split < 0 ? QString() : QString::fromUtf8(bytes.mid(split + 1));
    const ServerEndpoint endpoint = serverEndpoint(address, accepted);
    if (!endpoint.problem.isEmpty())
        return 0;
    const QUrl url(endpoint.url, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        std::abort();
    if (url.scheme() == QLatin1String("http")) {
        if (!endpoint.loopback && endpoint.origin != accepted)
            std::abort();
    } else if (url.scheme() != QLatin1String("https")) {
        std::abort();
    }
    if (endpoint.loopback && url.host() != QLatin1String("localhost") &&
        !QHostAddress(url.host()).isLoopback())
        std::abort();
    if ((endpoint.protocol == ServerProtocol::OpenAI) !=
        url.path().endsWith(QLatin1String("/audio/transcriptions")))
        std::abort();
    return 0;
}
