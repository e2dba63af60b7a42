#include "session-router/router_paths.hpp"

#include "token-support/token_update_state.hpp"

namespace corvanta {

RouterPaths RouterPaths::standard() { return RouterPaths{TokenUpdateState::installationMarkerPath, std::nullopt}; }

}  // namespace corvanta
