#include "platform/security/testing/shared_test_keys.hpp"

namespace platform::security::testing {

const SharedTestKeys& sharedTestKeys() {
  static const SharedTestKeys shared;
  return shared;
}

}  // namespace platform::security::testing
