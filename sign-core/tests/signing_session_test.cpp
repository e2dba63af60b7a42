#include "sign-core/signing_session.hpp"

#include "platform/security/testing/test_key.hpp"
#include "sign-core/signing_error.hpp"
#include "sign-core/verification_key.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

namespace corvanta {

void PrintTo(const SigningError& error, std::ostream* os) {
  *os << error.what();
  if (error.errorCase() == SigningError::Case::invalidDigestLength) {
    *os << '(' << error.expected() << ", " << error.actual() << ')';
  }
}

namespace {

using namespace std::chrono_literals;
using platform::foundation::UUID;
using platform::security::testing::Curve;
using platform::security::testing::TestKey;
using Instant = SigningSession::Instant;
using Duration = SigningSession::Duration;

// Made-up instants: nothing in these tests waits on a real clock.
constexpr Instant t0 = Instant::fromNanoseconds(5'000'000'000'000);
Instant at(Duration offset) { return t0.advancedBy(offset); }

const TestKey& ecTestKey() {
  static const TestKey key = TestKey::ec(Curve::p256);
  return key;
}

const TestKey& rsaTestKey() {
  static const TestKey key = TestKey::rsa(2048);
  return key;
}

SigningContext contextFor(const TestKey& key, std::string accountID = "account-1") {
  return SigningContext("https://api.corvanta.example", std::move(accountID), "role-1", "credential-1",
                        platform::Bytes(32, 0xC3), VerificationKey(key.publicKey()));
}

template <typename Operation>
std::optional<SigningError> errorOf(Operation&& operation) {
  try {
    std::forward<Operation>(operation)();
    return std::nullopt;
  } catch (const SigningError& error) {
    return error;
  }
}

const platform::Bytes digest32(32, 0x42);

platform::Bytes validSignature(const SigningRequest& request, const TestKey& key = ecTestKey()) {
  return key.sign(request.algorithm().securityAlgorithm(), request.digest());
}

class SigningSessionTest : public testing::Test {
protected:
  // A connected session with one request accepted at t0 that is due 1 second later.
  SigningRequest acceptOne(SigningAttribution attribution = SigningAttribution::unknown) {
    session.activate(contextFor(ecTestKey()));
    return session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, attribution, t0);
  }

  SigningSession session;
};

TEST_F(SigningSessionTest, PreparedRequestCarriesWhatWasAccepted) {
  const auto context = contextFor(ecTestKey());
  session.activate(context);
  const SigningAttribution browser("org.example.Browser", true);
  const auto request = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 30s, browser, t0);
  EXPECT_EQ(request.context(), context);
  EXPECT_EQ(request.algorithm(), SigningAlgorithm::ecdsaSHA256);
  EXPECT_EQ(request.digest(), digest32);
  EXPECT_EQ(request.deadline(), at(30s));
  EXPECT_EQ(request.attribution(), browser);
  EXPECT_EQ(request.usage(), "client_authentication");

  session.cancel(request.id());
  const auto next = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 30s, t0);
  EXPECT_NE(next.id(), request.id());
  EXPECT_EQ(next.generation(), request.generation());
  EXPECT_EQ(next.attribution(), SigningAttribution::unknown);
  EXPECT_EQ(next.usage(), "document_signing");

  session.activate(context);
  const auto afterActivation = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 30s, t0);
  EXPECT_NE(afterActivation.generation(), request.generation());
}

TEST_F(SigningSessionTest, TimeoutMustBePositive) {
  session.activate(contextFor(ecTestKey()));
  for (const Duration timeout : {Duration(0), Duration(-1), Duration(-1'000'000'000), Duration::min()}) {
    EXPECT_EQ(errorOf([&] { session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, timeout, t0); }),
              SigningError::invalidDeadline)
        << timeout.count();
  }
  const auto request = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, Duration(1), t0);
  EXPECT_EQ(request.deadline(), Instant::fromNanoseconds(t0.nanoseconds() + 1));
}

TEST_F(SigningSessionTest, HugeTimeoutSaturatesTheDeadline) {
  session.activate(contextFor(ecTestKey()));
  const auto request = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, Duration::max(), t0);
  const auto end = Instant::fromNanoseconds(std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(request.deadline(), end);
  EXPECT_NO_THROW(session.beginSubmission(request.id(), Instant::fromNanoseconds(end.nanoseconds() - 1)));
  EXPECT_EQ(errorOf([&] { session.beginSubmission(request.id(), end); }), SigningError::requestExpired);
}

struct PrepareOrderRow {
  const char* name;
  bool connected;
  bool pending;
  Duration timeout;
  SigningAlgorithm algorithm;
  std::size_t digestLength;
  SigningError expected;
};

TEST(SigningSessionPrepare, ChecksInOrder) {
  const auto rsa = SigningAlgorithm::rsaPKCS1SHA384;
  const auto ec = SigningAlgorithm::ecdsaSHA256;
  const PrepareOrderRow rows[] = {
      {"not connected before everything", false, false, 0s, rsa, 0, SigningError::notConnected},
      {"pending before the timeout", true, true, 0s, rsa, 0, SigningError::requestInProgress},
      {"timeout before the digest", true, false, 0s, rsa, 0, SigningError::invalidDeadline},
      {"digest before the key", true, false, 1s, rsa, 32, SigningError::invalidDigestLength(48, 32)},
      {"digest of another hash", true, false, 1s, ec, 48, SigningError::invalidDigestLength(32, 48)},
      {"key kind", true, false, 1s, rsa, 48, SigningError::algorithmKeyMismatch},
  };
  for (const auto& row : rows) {
    SigningSession session;
    if (row.connected) session.activate(contextFor(ecTestKey()));
    if (row.pending) session.prepare(ec, digest32, 1s, t0);
    EXPECT_EQ(errorOf([&] {
                session.prepare(row.algorithm, platform::Bytes(row.digestLength, 1), row.timeout, t0);
              }),
              row.expected)
        << row.name;
  }
}

TEST_F(SigningSessionTest, DeadlineBoundaryInstant) {
  const auto request = acceptOne();
  EXPECT_EQ(errorOf([&] { session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, at(1s - 1ns)); }),
            SigningError::requestInProgress);
  EXPECT_EQ(errorOf([&] { session.beginSubmission(request.id(), at(1s)); }), SigningError::requestExpired);
  // The expired request is gone, not just refused: even an earlier instant no longer finds it.
  EXPECT_EQ(errorOf([&] { session.beginSubmission(request.id(), t0); }), SigningError::unknownRequest);
  EXPECT_NO_THROW(session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, at(1s)));
}

TEST_F(SigningSessionTest, LastInstantBeforeTheDeadlineStillCounts) {
  const auto request = acceptOne();
  EXPECT_NO_THROW(session.beginSubmission(request.id(), at(1s - 1ns)));
  const auto signature = validSignature(request);
  EXPECT_EQ(session.complete(request.id(), signature, at(1s - 1ns)), signature);
}

TEST_F(SigningSessionTest, PrepareAtTheDeadlineReplacesTheRequest) {
  const auto request = acceptOne();
  session.beginSubmission(request.id(), t0);
  const auto next = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, at(1s));
  EXPECT_NE(next.id(), request.id());
  EXPECT_EQ(next.deadline(), at(2s));
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), validSignature(request), t0); }),
            SigningError::unknownRequest);
  // The new request starts unsubmitted.
  EXPECT_EQ(errorOf([&] { session.complete(next.id(), validSignature(next), at(1s)); }), SigningError::notSubmitted);
}

TEST_F(SigningSessionTest, ExpiredRequestIsDroppedEvenWhenTheNewPrepareFails) {
  const struct {
    Duration timeout;
    SigningAlgorithm algorithm;
    std::size_t digestLength;
    SigningError error;
  } failingPrepares[] = {
      {0s, SigningAlgorithm::ecdsaSHA256, 32, SigningError::invalidDeadline},
      {1s, SigningAlgorithm::ecdsaSHA256, 31, SigningError::invalidDigestLength(32, 31)},
      {1s, SigningAlgorithm::rsaPKCS1SHA256, 32, SigningError::algorithmKeyMismatch},
  };
  for (const auto& failing : failingPrepares) {
    for (const bool submitted : {false, true}) {
      SigningSession session;
      session.activate(contextFor(ecTestKey()));
      const auto request = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, t0);
      if (submitted) session.beginSubmission(request.id(), t0);
      EXPECT_EQ(errorOf([&] {
                  session.prepare(failing.algorithm, platform::Bytes(failing.digestLength), failing.timeout, at(1s));
                }),
                failing.error);
      // Looked up at an instant before its deadline, the old request would still be found had it
      // only been refused rather than dropped.
      EXPECT_EQ(errorOf([&] { session.beginSubmission(request.id(), t0); }), SigningError::unknownRequest);
      EXPECT_EQ(errorOf([&] { session.complete(request.id(), validSignature(request), t0); }),
                SigningError::unknownRequest);
    }
  }
}

TEST_F(SigningSessionTest, BeginSubmissionTwiceThenCompleteSucceeds) {
  const auto request = acceptOne();
  const auto submitted = session.beginSubmission(request.id(), t0);
  EXPECT_EQ(submitted.id(), request.id());
  EXPECT_EQ(submitted.digest(), request.digest());
  EXPECT_EQ(errorOf([&] { session.beginSubmission(request.id(), t0); }), SigningError::alreadySubmitted);
  const auto signature = validSignature(request);
  EXPECT_EQ(session.complete(request.id(), signature, at(500ms)), signature);
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), signature, at(500ms)); }), SigningError::unknownRequest);
  EXPECT_NO_THROW(session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, at(500ms)));
}

TEST_F(SigningSessionTest, CompleteBeforeSubmissionKeepsTheRequest) {
  const auto request = acceptOne();
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), validSignature(request), t0); }), SigningError::notSubmitted);
  session.beginSubmission(request.id(), t0);
  EXPECT_NO_THROW(session.complete(request.id(), validSignature(request), t0));
}

TEST_F(SigningSessionTest, BadSignatureEndsTheRequest) {
  const auto request = acceptOne();
  session.beginSubmission(request.id(), t0);
  auto signature = validSignature(request);
  signature[signature.size() / 2] ^= 0x01;
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), signature, t0); }), SigningError::invalidSignature);
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), validSignature(request), t0); }),
            SigningError::unknownRequest);
  EXPECT_NO_THROW(session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, t0));
}

TEST_F(SigningSessionTest, SignatureOfAnotherDigestIsRefused) {
  const auto request = acceptOne();
  session.beginSubmission(request.id(), t0);
  const auto otherDigestSignature = ecTestKey().sign(request.algorithm().securityAlgorithm(), platform::Bytes(32, 0x43));
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), otherDigestSignature, t0); }),
            SigningError::invalidSignature);
}

TEST_F(SigningSessionTest, ActivateWhileSubmittedDropsTheRequest) {
  const auto request = acceptOne();
  session.beginSubmission(request.id(), t0);
  session.activate(contextFor(ecTestKey()));
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), validSignature(request), t0); }),
            SigningError::unknownRequest);
  EXPECT_NO_THROW(session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, t0));
}

TEST_F(SigningSessionTest, CancelOnlyDropsTheMatchingRequest) {
  const auto request = acceptOne();
  session.cancel(UUID::random());
  EXPECT_EQ(errorOf([&] { session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, t0); }),
            SigningError::requestInProgress);
  EXPECT_NO_THROW(session.beginSubmission(request.id(), t0));
  session.cancel(request.id());
  EXPECT_EQ(errorOf([&] { session.complete(request.id(), validSignature(request), t0); }),
            SigningError::unknownRequest);
}

TEST(SigningSessionAlgorithms, EveryAlgorithmCompletesWithItsKey) {
  const auto ec384 = TestKey::ec(Curve::p384);
  const auto ec521 = TestKey::ec(Curve::p521);
  const struct {
    SigningAlgorithm algorithm;
    const TestKey& key;
  } rows[] = {
      {SigningAlgorithm::rsaPKCS1SHA256, rsaTestKey()}, {SigningAlgorithm::rsaPKCS1SHA384, rsaTestKey()},
      {SigningAlgorithm::rsaPKCS1SHA512, rsaTestKey()}, {SigningAlgorithm::ecdsaSHA256, ecTestKey()},
      {SigningAlgorithm::ecdsaSHA384, ec384},           {SigningAlgorithm::ecdsaSHA512, ec521},
  };
  for (const auto& row : rows) {
    SigningSession session;
    session.activate(contextFor(row.key));
    const platform::Bytes digest(static_cast<std::size_t>(row.algorithm.digestByteCount()), 0x7E);
    const auto request = session.prepare(row.algorithm, digest, 90s, t0);
    session.beginSubmission(request.id(), t0);
    const auto signature = row.key.sign(row.algorithm.securityAlgorithm(), digest);
    EXPECT_EQ(session.complete(request.id(), signature, at(1s)), signature) << row.algorithm.rawValue();
  }
}

// The whole state table: from each state, each operation, the error it gives and the state it
// leaves behind.
enum class State { notConnected, ready, accepted, submitted };

const char* name(State state) {
  switch (state) {
    case State::notConnected: return "not connected";
    case State::ready: return "ready";
    case State::accepted: return "accepted";
    case State::submitted: return "submitted";
  }
  return "?";
}

enum class Operation {
  activate,
  invalidate,
  prepareBeforeDeadline,
  prepareAtDeadline,
  beginBeforeDeadline,
  beginAtDeadline,
  beginOther,
  completeValidBeforeDeadline,
  completeInvalidBeforeDeadline,
  completeAtDeadline,
  completeOther,
  cancelPending,
  cancelOther,
};

struct TransitionRow {
  State from;
  Operation operation;
  std::optional<SigningError> error;
  State to;
};

class SigningSessionStateTable : public testing::Test {
protected:
  void enter(State state) {
    if (state == State::notConnected) return;
    session.activate(contextFor(ecTestKey()));
    if (state == State::ready) return;
    tracked = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, t0);
    if (state == State::submitted) session.beginSubmission(tracked->id(), t0);
  }

  // The identifier of the request the operation is aimed at: the pending one where there is one.
  UUID target() const { return tracked ? tracked->id() : UUID::random(); }

  platform::Bytes signature(bool valid) const {
    auto bytes = ecTestKey().sign(SigningAlgorithm::ecdsaSHA256.securityAlgorithm(), digest32);
    if (!valid) bytes.back() ^= 0x01;
    return bytes;
  }

  std::optional<SigningError> perform(Operation operation) {
    return errorOf([&] {
      switch (operation) {
        case Operation::activate: session.activate(contextFor(ecTestKey())); break;
        case Operation::invalidate: session.invalidate(); break;
        case Operation::prepareBeforeDeadline:
        case Operation::prepareAtDeadline: {
          const auto now = operation == Operation::prepareAtDeadline ? at(1s) : at(1s - 1ns);
          tracked = session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, now);
          break;
        }
        case Operation::beginBeforeDeadline: session.beginSubmission(target(), at(1s - 1ns)); break;
        case Operation::beginAtDeadline: session.beginSubmission(target(), at(1s)); break;
        case Operation::beginOther: session.beginSubmission(UUID::random(), t0); break;
        case Operation::completeValidBeforeDeadline: session.complete(target(), signature(true), at(1s - 1ns)); break;
        case Operation::completeInvalidBeforeDeadline: session.complete(target(), signature(false), t0); break;
        case Operation::completeAtDeadline: session.complete(target(), signature(true), at(1s)); break;
        case Operation::completeOther: session.complete(UUID::random(), signature(true), t0); break;
        case Operation::cancelPending: session.cancel(target()); break;
        case Operation::cancelOther: session.cancel(UUID::random()); break;
      }
    });
  }

  // Finds the state by its answers; the last request made is the one looked for.
  State observe() {
    const auto now = at(500ms);
    if (tracked) {
      const auto error = errorOf([&] { session.beginSubmission(tracked->id(), now); });
      if (!error) return State::accepted;
      if (*error == SigningError::alreadySubmitted) return State::submitted;
      EXPECT_EQ(error, SigningError::unknownRequest);
    }
    const auto error = errorOf([&] { session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, now); });
    if (error == SigningError::notConnected) return State::notConnected;
    EXPECT_EQ(error, std::nullopt);
    return State::ready;
  }

  SigningSession session;
  std::optional<SigningRequest> tracked;
};

TEST_F(SigningSessionStateTable, EveryTransition) {
  using enum State;
  using enum Operation;
  const auto unknownRequest = SigningError::unknownRequest;
  const auto expired = SigningError::requestExpired;
  const auto inProgress = SigningError::requestInProgress;
  const TransitionRow rows[] = {
      {notConnected, activate, std::nullopt, ready},
      {notConnected, invalidate, std::nullopt, notConnected},
      {notConnected, prepareBeforeDeadline, SigningError::notConnected, notConnected},
      {notConnected, beginOther, unknownRequest, notConnected},
      {notConnected, completeOther, unknownRequest, notConnected},
      {notConnected, cancelOther, std::nullopt, notConnected},

      {ready, activate, std::nullopt, ready},
      {ready, invalidate, std::nullopt, notConnected},
      {ready, prepareBeforeDeadline, std::nullopt, accepted},
      {ready, beginOther, unknownRequest, ready},
      {ready, completeOther, unknownRequest, ready},
      {ready, cancelOther, std::nullopt, ready},

      {accepted, activate, std::nullopt, ready},
      {accepted, invalidate, std::nullopt, notConnected},
      {accepted, prepareBeforeDeadline, inProgress, accepted},
      {accepted, prepareAtDeadline, std::nullopt, accepted},
      {accepted, beginBeforeDeadline, std::nullopt, submitted},
      {accepted, beginAtDeadline, expired, ready},
      {accepted, beginOther, unknownRequest, accepted},
      {accepted, completeValidBeforeDeadline, SigningError::notSubmitted, accepted},
      {accepted, completeAtDeadline, expired, ready},
      {accepted, completeOther, unknownRequest, accepted},
      {accepted, cancelPending, std::nullopt, ready},
      {accepted, cancelOther, std::nullopt, accepted},

      {submitted, activate, std::nullopt, ready},
      {submitted, invalidate, std::nullopt, notConnected},
      {submitted, prepareBeforeDeadline, inProgress, submitted},
      {submitted, prepareAtDeadline, std::nullopt, accepted},
      {submitted, beginBeforeDeadline, SigningError::alreadySubmitted, submitted},
      {submitted, beginAtDeadline, expired, ready},
      {submitted, beginOther, unknownRequest, submitted},
      {submitted, completeValidBeforeDeadline, std::nullopt, ready},
      {submitted, completeInvalidBeforeDeadline, SigningError::invalidSignature, ready},
      {submitted, completeAtDeadline, expired, ready},
      {submitted, completeOther, unknownRequest, submitted},
      {submitted, cancelPending, std::nullopt, ready},
      {submitted, cancelOther, std::nullopt, submitted},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << name(row.from) << ", operation " << static_cast<int>(row.operation));
    session.invalidate();
    tracked.reset();
    enter(row.from);
    EXPECT_EQ(perform(row.operation), row.error);
    EXPECT_STREQ(name(observe()), name(row.to));
  }
}

TEST(SigningSessionConcurrency, OnlyOneOfManyConcurrentPreparesIsAccepted) {
  SigningSession session;
  session.activate(contextFor(ecTestKey()));
  std::atomic<int> accepted = 0;
  std::atomic<int> inProgress = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int attempt = 0; attempt < 50; ++attempt) {
        const auto error = errorOf([&] { session.prepare(SigningAlgorithm::ecdsaSHA256, digest32, 1s, t0); });
        if (!error) {
          ++accepted;
        } else if (*error == SigningError::requestInProgress) {
          ++inProgress;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(accepted.load(), 1);
  EXPECT_EQ(inProgress.load(), 8 * 50 - 1);
}

}  // namespace
}  // namespace corvanta
