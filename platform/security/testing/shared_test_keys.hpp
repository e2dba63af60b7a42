#pragma once

#include "platform/security/testing/test_key.hpp"

namespace platform::security::testing {

// Key generation is the slow part of the tests that need keys: a test program makes these once,
// on first use, and all its tests share them.
struct SharedTestKeys {
  TestKey rsa2048 = TestKey::rsa(2048);
  // One bit short of a whole number of bytes.
  TestKey rsa2047 = TestKey::rsa(2047);
  TestKey p256 = TestKey::ec(Curve::p256);
  TestKey p384 = TestKey::ec(Curve::p384);
  TestKey p521 = TestKey::ec(Curve::p521);
};

const SharedTestKeys& sharedTestKeys();

}  // namespace platform::security::testing
