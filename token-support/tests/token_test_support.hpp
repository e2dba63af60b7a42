#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/security/testing/test_key.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace corvanta::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

// A tick clock that stands still at the given tick, with the given timebase.
class FixedTicks final : public TickSource {
public:
  FixedTicks(std::uint64_t now, Timebase timebase) : now_(now), timebase_(timebase) {}
  std::uint64_t now() const override { return now_; }
  Timebase timebase() const override { return timebase_; }

private:
  std::uint64_t now_;
  Timebase timebase_;
};

// The tests' "current date", and the validity window of their certificates around it.
inline const Clock::time_point testNow = std::chrono::sys_days{std::chrono::year{2031} / 6 / 15} + 12h;
inline const Clock::time_point validFrom = std::chrono::sys_days{std::chrono::year{2030} / 1 / 1};
inline const Clock::time_point validUntil = std::chrono::sys_days{std::chrono::year{2033} / 1 / 1};

// A certificate valid at testNow; the serial makes certificates of one key differ.
inline platform::Bytes certificateOf(const platform::security::testing::TestKey& key, long serial = 1,
                                     Clock::time_point notBefore = validFrom, Clock::time_point notAfter = validUntil) {
  platform::security::testing::CertificateOptions options;
  options.serialNumber = serial;
  options.notBefore = notBefore;
  options.notAfter = notAfter;
  return key.selfSignedCertificate(options);
}

inline platform::Bytes ecCertificate(long serial = 1) {
  return certificateOf(platform::security::testing::sharedTestKeys().p256, serial);
}

inline platform::Bytes rsaCertificate(long serial = 1) {
  return certificateOf(platform::security::testing::sharedTestKeys().rsa2048, serial);
}

inline TokenIdentity identityOf(platform::Bytes der, platform::foundation::UUID activation = platform::foundation::UUID::random()) {
  return TokenIdentity(activation, std::move(der), testNow);
}

// The exception the call throws, or none when it returns.
inline std::exception_ptr thrownBy(const std::function<void()>& call) {
  try {
    call();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// Whether the call throws exactly this error (same type, equal value).
template <typename Error>
::testing::AssertionResult throwsExactly(const std::function<void()>& call, const Error& expected) {
  try {
    call();
  } catch (const Error& error) {
    if (error == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.what() << ", expected " << expected.what();
  } catch (const std::exception& other) {
    return ::testing::AssertionFailure() << "threw another type: " << other.what();
  } catch (...) {
    return ::testing::AssertionFailure() << "threw something that is not an exception";
  }
  return ::testing::AssertionFailure() << "returned, expected " << expected.what();
}

}  // namespace corvanta::testing
