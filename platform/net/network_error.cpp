#include "platform/net/network_error.hpp"

namespace platform::net {

const char* NetworkError::what() const noexcept {
  switch (code_) {
    case Code::cancelled: return "cancelled";
    case Code::timedOut: return "timedOut";
    case Code::cannotFindHost: return "cannotFindHost";
    case Code::cannotConnectToHost: return "cannotConnectToHost";
    case Code::networkConnectionLost: return "networkConnectionLost";
    case Code::notConnectedToInternet: return "notConnectedToInternet";
    case Code::secureConnectionFailed: return "secureConnectionFailed";
    case Code::serverCertificateUntrusted: return "serverCertificateUntrusted";
    case Code::badServerResponse: return "badServerResponse";
    case Code::unsupportedURL: return "unsupportedURL";
    case Code::badURL: return "badURL";
    case Code::bodyTooLarge: return "bodyTooLarge";
  }
  return "NetworkError";
}

}  // namespace platform::net
