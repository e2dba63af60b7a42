// Reads arbitrary bytes as a certificate. A refusal is the expected outcome for almost every
// input; anything else that escapes, a crash or a sanitizer report is a fault.
#include "connection/certificate/certificate_profile.hpp"
#include "connection/transport/connection_error.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

using Clock = std::chrono::system_clock;

// The instant as a clock time, held at the ends of the clock's range.
Clock::time_point clamped(std::chrono::sys_seconds instant) {
  const auto earliest = std::chrono::ceil<std::chrono::seconds>(Clock::time_point::min());
  const auto latest = std::chrono::floor<std::chrono::seconds>(Clock::time_point::max());
  if (instant < earliest) return Clock::time_point::min();
  if (instant > latest) return Clock::time_point::max();
  return Clock::time_point(instant);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const corvanta::CertificateProfile profile(platform::ByteView(data, size));
    if (!(profile.notBefore() < profile.notAfter()) || profile.certificateSHA256().size() != 32 ||
        profile.algorithmDescription().empty()) {
      std::abort();
    }
    for (const auto date : {Clock::time_point::min(), clamped(profile.notBefore() - std::chrono::seconds(1)),
                            clamped(profile.notBefore()), clamped(profile.notAfter()), Clock::time_point::max()}) {
      if (profile.issues(date).size() > 3) {
        std::abort();
      }
    }
  } catch (const corvanta::ConnectionError& error) {
    if (!(error == corvanta::ConnectionError::invalidCertificate)) {
      std::abort();
    }
  }
  return 0;
}
