#include "dictation/transcription_server.h"

#include "core/preferences.h"

#include <QHostAddress>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <curl/curl.h>

namespace parlotta {

namespace {

bool isLoopback(const QString &host)
{
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

ServerEndpoint serverEndpoint(const QString &address, const QString &acceptedPlainOrigin)
{
    ServerEndpoint endpoint;
    const QString text = address.trimmed();
    if (text.isEmpty()) {
        endpoint.problem = QStringLiteral("Enter the server's address.");
        return endpoint;
    }
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != u"http" && scheme != u"https")) {
        endpoint.problem =
            QStringLiteral("The address must start with https:// (or http:// on this computer).");
        return endpoint;
    }
    if (url.host().isEmpty()) {
        endpoint.problem = QStringLiteral("The address names no server.");
        return endpoint;
    }
    if (!url.userInfo().isEmpty()) {
        endpoint.problem = QStringLiteral("Put the API key in its own field, not in the address.");
        return endpoint;
    }
    QUrl origin;
    origin.setScheme(scheme);
    origin.setHost(url.host());
    origin.setPort(url.port());
    endpoint.origin = origin.toString();
    endpoint.loopback = isLoopback(url.host());

    QString path = url.path();
    while (path.endsWith(u'/'))
        path.chop(1);
    QUrl target = url;
    target.setFragment(QString());
    if (path.isEmpty()) {
        path = QStringLiteral("/inference");
    } else if (path.endsWith(QStringLiteral("/v1"))) {
        path += QStringLiteral("/audio/transcriptions");
    }
    if (path.endsWith(QStringLiteral("/audio/transcriptions")))
        endpoint.protocol = ServerProtocol::OpenAI;
    target.setPath(path);
    endpoint.url = target.toString(QUrl::FullyEncoded);

    if (scheme == u"http" && !endpoint.loopback && endpoint.origin != acceptedPlainOrigin) {
        endpoint.needsPlainHttpConsent = true;
        endpoint.problem = QStringLiteral("Plain http sends your recordings and the key over the "
                                          "network unencrypted.");
    }
    return endpoint;
}

ServerEndpoint chosenServerEndpoint()
{
    return serverEndpoint(preferenceString(prefServerAddress, {}),
                          preferenceString(prefServerPlainHttp, {}));
}

long long remoteTimeoutMs(double recordedSeconds)
{
    const double seconds = std::clamp(recordedSeconds, 0.0, 3600.0);
    return 20000 + qRound64(seconds * 2000);
}

ServerFailure describeServerFailure(const QString &origin, int curlCode, const QString &curlError,
                                    int osError, long httpStatus, long long timeoutMs,
                                    const QString &redirectTo)
{
    const QString server = QStringLiteral("the server at ") + origin;
    const auto failure = [&](const QString &detail, const QString &summary) {
        return ServerFailure{QStringLiteral("Transcription failed: ") + detail, summary};
    };
    switch (curlCode) {
    case CURLE_OK:
        break;
    case CURLE_COULDNT_CONNECT:
        if (osError == ECONNREFUSED)
            return failure(server + QStringLiteral(" refused the connection"),
                           QStringLiteral("The transcription server refused the connection"));
        [[fallthrough]];
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return failure(server + QStringLiteral(" is unreachable (%1)").arg(curlError),
                       QStringLiteral("The transcription server is unreachable"));
    case CURLE_OPERATION_TIMEDOUT:
        return failure(server + QStringLiteral(" did not answer within %1 s").arg(timeoutMs / 1000),
                       QStringLiteral("The transcription server did not answer in time"));
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CONNECT_ERROR:
        return failure(server + QStringLiteral(" could not prove who it is (%1)").arg(curlError),
                       QStringLiteral("The transcription server's certificate is not trusted"));
    case CURLE_UNSUPPORTED_PROTOCOL:
        return failure(server + QStringLiteral(" sent it on to an address that is not https; "
                                               "not followed"),
                       QStringLiteral("The transcription server redirected to plain http"));
    case CURLE_WRITE_ERROR:
    case CURLE_FILESIZE_EXCEEDED:
        return failure(server + QStringLiteral(" answered more than %1 MB, which is no transcript")
                                    .arg(answerLimitBytes >> 20),
                       QStringLiteral("The transcription server's answer is too large"));
    default:
        return failure(server + QStringLiteral(": ") + curlError,
                       QStringLiteral("The transcription server could not be reached"));
    }
    if (httpStatus >= 200 && httpStatus < 300)
        return {};
    // The recording goes only where the user said: a redirect is reported, so
    // that they can enter its address if it is their server.
    if (httpStatus >= 300 && httpStatus < 400) {
        const QUrl target(redirectTo);
        if (target.scheme() != u"https")
            return failure(server + QStringLiteral(" sent it on to an address that is not "
                                                   "https; not followed"),
                           QStringLiteral("The transcription server redirected to plain http"));
        const QString to = target
                               .adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath |
                                         QUrl::RemoveQuery | QUrl::RemoveFragment)
                               .toString();
        return failure(server + QStringLiteral(" sent it on to %1 (HTTP %2); not followed: "
                                               "enter that address if it is your server")
                                    .arg(to)
                                    .arg(httpStatus),
                       QStringLiteral("The transcription server sent the recording elsewhere"));
    }
    if (httpStatus == 401 || httpStatus == 403)
        return failure(server + QStringLiteral(" refused the API key (HTTP %1)").arg(httpStatus),
                       QStringLiteral("The transcription server refused the API key"));
    if (httpStatus >= 500)
        return failure(server + QStringLiteral(" failed (HTTP %1)").arg(httpStatus),
                       QStringLiteral("The transcription server failed (HTTP %1)").arg(httpStatus));
    return failure(server + QStringLiteral(" answered HTTP %1").arg(httpStatus),
                   QStringLiteral("The transcription server answered HTTP %1").arg(httpStatus));
}

} // namespace parlotta
