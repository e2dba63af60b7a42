#include "platform/workspace/logind_session_source.hpp"

namespace platform::workspace {

bool readsLogind() { return false; }

std::unique_ptr<SessionEventSource> openLogindSessionSource(std::string, SessionEventSource::Reported) {
  return nullptr;
}

}  // namespace platform::workspace
