#include "token-extension/token_approval_gate.hpp"

#include "platform/foundation/uuid.hpp"
#include "token-extension/tests/token_extension_test_support.hpp"
#include "token-support/token_failure.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using platform::foundation::UUID;
using platform::security::testing::sharedTestKeys;
using Phase = TokenApprovalGate::Phase;
using Instant = TokenApprovalGate::Instant;

constexpr std::chrono::nanoseconds justBefore{1};

const char* nameOf(Phase phase) {
  switch (phase) {
    case Phase::awaiting: return "awaiting";
    case Phase::submitting: return "submitting";
    case Phase::completed: return "completed";
    case Phase::empty: return "empty";
  }
  return "?";
}

// How an operation ended: the failure it threw, or a description of what it returned (or of
// another error, by its name).
using Outcome = std::variant<TokenFailure, std::string>;

Outcome outcomeOf(const std::function<std::string()>& call) {
  try {
    return call();
  } catch (const TokenFailure& failure) {
    return failure;
  } catch (const std::exception& other) {
    return std::string("other error: ") + other.what();
  }
}

std::string describe(const Outcome& outcome) {
  if (const auto* failure = std::get_if<TokenFailure>(&outcome)) return failure->what();
  return std::get<std::string>(outcome);
}

// A gate over a P-256 identity on the test's clocks, and the approval it was driven to. The gate
// reads the date through the scenario, so a scenario stays where it was made.
struct Scenario {
  TestClocks time;
  const platform::security::testing::TestKey& key = sharedTestKeys().p256;
  const TokenIdentity identity = identityOf(certificateOf(key));
  TokenApprovalGate gate{identity, [this] { return time.date; }, time.ticks};
  const Bytes digest = digestOf(32);
  Instant opened;
  std::optional<UUID> approvalID;
  std::optional<TokenSignRequest> submitted;
  Bytes storedSignature;

  Scenario() = default;
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  Instant now() const { return time.continuous.now(); }
  Instant deadline() const { return opened.advancedBy(TokenApprovalGate::approvalLifetime); }
  void moveTo(Instant instant) { time.continuous.set(instant); }

  Bytes sign(const Bytes& bytes, SigningAlgorithm algorithm = SigningAlgorithm::ecdsaSHA256) {
    return gate.signature(identity.keyObjectID(), algorithm, bytes, now());
  }

  void open() {
    opened = now();
    EXPECT_EQ(outcomeOf([&] { return std::to_string(sign(digest).size()); }), Outcome(TokenFailure::approvalRequired));
    approvalID = gate.pendingApproval(now());
    ASSERT_TRUE(approvalID.has_value());
  }

  void submit() {
    open();
    time.continuous.advance(std::chrono::seconds(10));
    submitted = gate.beginSubmission(*approvalID, "123456", now()).request;
  }

  void complete() {
    submit();
    storedSignature = signatureFor(key, *submitted);
    gate.complete(submitted->requestID, storedSignature, now());
  }

  void driveTo(Phase phase) {
    switch (phase) {
      case Phase::awaiting: open(); break;
      case Phase::submitting: submit(); break;
      case Phase::completed: complete(); break;
      case Phase::empty: break;
    }
    ASSERT_EQ(gate.phase(), phase);
  }

  // The identifier of the approval the scenario opened, or a fresh one when it opened none.
  UUID itsID() const { return approvalID.value_or(UUID::random()); }

  std::string described(const Bytes& signature) const {
    return signature == storedSignature ? "the stored signature" : std::to_string(signature.size()) + " other bytes";
  }
  std::string described(const std::optional<UUID>& id) const {
    if (!id) return "none";
    return id == approvalID ? "the open approval" : "another identifier";
  }
};

struct TransitionRow {
  std::string name;
  Phase from;
  std::function<std::string(Scenario&)> event;
  Phase to;
  Outcome result;
  bool validAfter = true;
};

const std::string returned = "returned";

std::vector<TransitionRow> transitionTable() {
  const auto sameSign = [](Scenario& s) { return s.described(s.sign(s.digest)); };
  const auto pending = [](Scenario& s) { return s.described(s.gate.pendingApproval(s.now())); };
  const auto submitGood = [](Scenario& s) {
    const auto submission = s.gate.beginSubmission(s.itsID(), "123456", s.now());
    return std::string(submission.request.requestID == s.itsID() ? "the open request" : "another request") + ", " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(submission.timeLeft).count()) + " s left";
  };
  const auto completeValid = [](Scenario& s) {
    const auto request = s.submitted.value_or(TokenSignRequest::make(s.identity, SigningAlgorithm::ecdsaSHA256,
                                                                     s.digest, s.time.date, s.time.ticks));
    s.gate.complete(s.itsID(), signatureFor(s.key, request), s.now());
    return returned;
  };
  const auto atDeadline = [](auto event) {
    return [event](Scenario& s) {
      s.moveTo(s.deadline());
      return event(s);
    };
  };
  const auto justInside = [](auto event) {
    return [event](Scenario& s) {
      s.moveTo(s.deadline().advancedBy(-justBefore));
      return event(s);
    };
  };
  const auto invalidated = [](auto event) {
    return [event](Scenario& s) {
      s.gate.invalidate();
      return event(s);
    };
  };

  std::vector<TransitionRow> rows{
      {"a first sign call opens an approval", Phase::empty, sameSign, Phase::awaiting, TokenFailure::approvalRequired},
      {"the same request again, the last instant inside the window", Phase::awaiting, justInside(sameSign),
       Phase::awaiting, TokenFailure::approvalRequired},
      {"another digest while awaiting", Phase::awaiting, [](Scenario& s) { return s.described(s.sign(digestOf(32, 0x99))); },
       Phase::empty, TokenFailure::requestChanged},
      {"another algorithm while awaiting", Phase::awaiting,
       [](Scenario& s) { return s.described(s.sign(digestOf(48), SigningAlgorithm::ecdsaSHA384)); }, Phase::empty,
       TokenFailure::requestChanged},
      {"another key identifier while awaiting", Phase::awaiting,
       [](Scenario& s) {
         return s.described(s.gate.signature("key:" + std::string(64, '0'), SigningAlgorithm::ecdsaSHA256, s.digest, s.now()));
       },
       Phase::awaiting, TokenFailure::invalidInput},
      {"the same request at the deadline", Phase::awaiting, atDeadline(sameSign), Phase::empty, TokenFailure::expired},
      {"pending approval at the deadline", Phase::awaiting, atDeadline(pending), Phase::empty, TokenFailure::expired},
      {"pending approval, the last instant inside the window", Phase::awaiting, justInside(pending), Phase::awaiting,
       std::string("the open approval")},
      {"begin submission for another approval", Phase::awaiting,
       [](Scenario& s) {
         s.gate.beginSubmission(UUID::random(), "123456", s.now());
         return returned;
       },
       Phase::awaiting, TokenFailure::noPendingRequest},
      {"begin submission at the deadline", Phase::awaiting, atDeadline(submitGood), Phase::empty, TokenFailure::expired},
      {"begin submission at the deadline with a bad code: the deadline counts first", Phase::awaiting,
       atDeadline([](Scenario& s) {
         s.gate.beginSubmission(s.itsID(), "12a", s.now());
         return returned;
       }),
       Phase::empty, TokenFailure::expired},
      {"begin submission with a bad code", Phase::awaiting,
       [](Scenario& s) {
         s.gate.beginSubmission(s.itsID(), "12345", s.now());
         return returned;
       },
       Phase::empty, TokenFailure::invalidCode},
      {"begin submission 30 s after opening", Phase::awaiting,
       [submitGood](Scenario& s) {
         s.time.continuous.advance(std::chrono::seconds(30));
         return submitGood(s);
       },
       Phase::submitting, std::string("the open request, 60 s left")},
      {"a sign call while submitted", Phase::submitting, sameSign, Phase::submitting, TokenFailure::alreadySubmitted},
      {"pending approval while submitted", Phase::submitting, pending, Phase::submitting,
       TokenFailure::alreadySubmitted},
      {"begin submission again while submitted", Phase::submitting, submitGood, Phase::submitting,
       TokenFailure::noPendingRequest},
      {"complete for another request", Phase::submitting,
       [](Scenario& s) {
         s.gate.complete(UUID::random(), signatureFor(s.key, *s.submitted), s.now());
         return returned;
       },
       Phase::submitting, TokenFailure::noPendingRequest},
      {"complete at the deadline", Phase::submitting, atDeadline(completeValid), Phase::empty, TokenFailure::expired},
      {"complete with a signature that does not verify", Phase::submitting,
       [](Scenario& s) {
         s.gate.complete(s.itsID(), s.key.sign(SigningAlgorithm::ecdsaSHA256.securityAlgorithm(), digestOf(32, 0x55)),
                         s.now());
         return returned;
       },
       Phase::empty, TokenFailure::invalidSignature},
      {"complete with the verified signature, the last instant inside the window", Phase::submitting,
       justInside(completeValid), Phase::completed, returned},
      {"the same request collects the signature, the last instant inside the window", Phase::completed,
       justInside(sameSign), Phase::empty, std::string("the stored signature")},
      {"another request while a signature waits", Phase::completed,
       [](Scenario& s) { return s.described(s.sign(digestOf(32, 0x99))); }, Phase::empty,
       TokenFailure::requestChanged},
      {"the same request at the deadline while a signature waits", Phase::completed, atDeadline(sameSign),
       Phase::empty, TokenFailure::expired},
      {"pending approval while a signature waits", Phase::completed, pending, Phase::completed, std::string("none")},
      {"pending approval with no approval", Phase::empty, pending, Phase::empty, std::string("none")},
      {"begin submission with no approval", Phase::empty, submitGood, Phase::empty, TokenFailure::noPendingRequest},
      {"begin submission while a signature waits", Phase::completed, submitGood, Phase::completed,
       TokenFailure::noPendingRequest},
      {"complete with no approval", Phase::empty, completeValid, Phase::empty, TokenFailure::noPendingRequest},
      {"complete while awaiting the code", Phase::awaiting, completeValid, Phase::awaiting,
       TokenFailure::noPendingRequest},
      {"complete again while a signature waits", Phase::completed, completeValid, Phase::completed,
       TokenFailure::noPendingRequest},
  };

  for (const auto phase : {Phase::awaiting, Phase::submitting, Phase::completed}) {
    rows.push_back({std::string("cancel with its identifier while ") + nameOf(phase), phase,
                    [](Scenario& s) {
                      s.gate.cancel(s.itsID());
                      return returned;
                    },
                    Phase::empty, returned});
    rows.push_back({std::string("cancel with another identifier while ") + nameOf(phase), phase,
                    [](Scenario& s) {
                      s.gate.cancel(UUID::random());
                      return returned;
                    },
                    phase, returned});
  }
  rows.push_back({"cancel with no approval", Phase::empty,
                  [](Scenario& s) {
                    s.gate.cancel(UUID::random());
                    return returned;
                  },
                  Phase::empty, returned});

  for (const auto phase : {Phase::awaiting, Phase::submitting, Phase::completed, Phase::empty}) {
    rows.push_back({std::string("invalidate while ") + nameOf(phase), phase,
                    [](Scenario& s) {
                      s.gate.invalidate();
                      return returned;
                    },
                    Phase::empty, returned, false});
    rows.push_back({std::string("a sign call after invalidation from ") + nameOf(phase), phase, invalidated(sameSign),
                    Phase::empty, TokenFailure::unavailable, false});
    rows.push_back({std::string("pending approval after invalidation from ") + nameOf(phase), phase,
                    invalidated(pending), Phase::empty, TokenFailure::unavailable, false});
    rows.push_back({std::string("begin submission after invalidation from ") + nameOf(phase), phase,
                    invalidated(submitGood), Phase::empty, TokenFailure::unavailable, false});
    rows.push_back({std::string("complete after invalidation from ") + nameOf(phase), phase,
                    invalidated(completeValid), Phase::empty, TokenFailure::unavailable, false});
  }
  return rows;
}

TEST(TokenApprovalGate, TransitionTable) {
  for (const auto& row : transitionTable()) {
    SCOPED_TRACE(row.name);
    Scenario scenario;
    scenario.driveTo(row.from);
    if (::testing::Test::HasFatalFailure()) return;
    const auto outcome = outcomeOf([&] { return row.event(scenario); });
    EXPECT_EQ(describe(outcome), describe(row.result));
    EXPECT_EQ(outcome, row.result);
    EXPECT_STREQ(nameOf(scenario.gate.phase()), nameOf(row.to));
    EXPECT_EQ(scenario.gate.isValid(), row.validAfter);
  }
}

// The checks before the phase: the certificate at the current date and the digest length stop a
// call without touching the approval, and only complete (which closes it first) loses it.
TEST(TokenApprovalGate, CertificateAndDigestChecksLeaveThePhase) {
  struct Row {
    std::string name;
    Phase from;
    std::function<std::string(Scenario&)> event;
    Phase to;
    Outcome result;
  };
  const auto expire = [](Scenario& s) { s.time.date = validUntil; };
  const std::vector<Row> rows{
      {"a sign call with an expired certificate", Phase::awaiting,
       [expire](Scenario& s) {
         expire(s);
         return s.described(s.sign(s.digest));
       },
       Phase::awaiting, TokenFailure::invalidConfiguration},
      {"a first sign call before the certificate is valid", Phase::empty,
       [](Scenario& s) {
         s.time.date = validFrom - std::chrono::seconds(1);
         return s.described(s.sign(s.digest));
       },
       Phase::empty, TokenFailure::invalidConfiguration},
      {"a sign call with a short digest", Phase::awaiting, [](Scenario& s) { return s.described(s.sign(digestOf(31))); },
       Phase::awaiting, std::string("other error: invalidDigestLength")},
      {"a first sign call by an algorithm the key cannot do", Phase::empty,
       [](Scenario& s) { return s.described(s.sign(s.digest, SigningAlgorithm::rsaPKCS1SHA256)); }, Phase::empty,
       TokenFailure::unsupported},
      {"a first sign call with another key identifier", Phase::empty,
       [](Scenario& s) {
         return s.described(s.gate.signature(s.identity.certificateObjectID(), SigningAlgorithm::ecdsaSHA256, s.digest,
                                             s.now()));
       },
       Phase::empty, TokenFailure::invalidInput},
      {"begin submission with an expired certificate", Phase::awaiting,
       [expire](Scenario& s) {
         expire(s);
         s.gate.beginSubmission(s.itsID(), "123456", s.now());
         return returned;
       },
       Phase::awaiting, TokenFailure::invalidConfiguration},
      {"complete with an expired certificate", Phase::submitting,
       [expire](Scenario& s) {
         expire(s);
         s.gate.complete(s.itsID(), signatureFor(s.key, *s.submitted), s.now());
         return returned;
       },
       Phase::empty, TokenFailure::invalidConfiguration},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Scenario scenario;
    scenario.driveTo(row.from);
    if (::testing::Test::HasFatalFailure()) return;
    const auto outcome = outcomeOf([&] { return row.event(scenario); });
    EXPECT_EQ(describe(outcome), describe(row.result));
    EXPECT_STREQ(nameOf(scenario.gate.phase()), nameOf(row.to));
  }
}

TEST(TokenApprovalGate, OnlySixASCIIDigitsAreACode) {
  struct Row {
    std::string code;
    bool accepted;
  };
  const std::vector<Row> rows{
      {"000000", true},
      {"123456", true},
      {"999999", true},
      {"12345", false},
      {"1234567", false},
      {"12a456", false},
      {"12345/", false},  // the characters either side of the digits
      {"12345:", false},
      {"\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93\xEF\xBC\x94\xEF\xBC\x95\xEF\xBC\x96", false},  // full-width digits
      {"", false},
      {std::string("12\0" "456", 6), false},
      {" 12345", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("code \"" + row.code + "\"");
    Scenario scenario;
    scenario.open();
    const auto outcome = outcomeOf([&] {
      scenario.gate.beginSubmission(*scenario.approvalID, row.code, scenario.now());
      return returned;
    });
    if (row.accepted) {
      EXPECT_EQ(describe(outcome), returned);
      EXPECT_STREQ(nameOf(scenario.gate.phase()), "submitting");
    } else {
      EXPECT_EQ(describe(outcome), "invalidCode");
      EXPECT_STREQ(nameOf(scenario.gate.phase()), "empty");
    }
  }
}

// 8192 bytes pass the length rule, but no key the platform verifies with makes a signature that long
// (its RSA moduli end at 16384 bits), so that row is refused by verification like the one after it;
// the length rule keeps such bytes from reaching verification at all.
TEST(TokenApprovalGate, SignaturesOutsideOneTo8192BytesOrNotVerifyingAreRefused) {
  struct Row {
    std::string name;
    std::function<Bytes(Scenario&)> signature;
    bool stored;
  };
  const auto valid = [](Scenario& s) { return signatureFor(s.key, *s.submitted); };
  const std::vector<Row> rows{
      {"no byte", [](Scenario&) { return Bytes{}; }, false},
      {"8192 bytes", [](Scenario&) { return Bytes(8192, 0x30); }, false},
      {"8193 bytes", [](Scenario&) { return Bytes(8193, 0x30); }, false},
      {"the valid signature with one byte more",
       [valid](Scenario& s) {
         auto bytes = valid(s);
         bytes.push_back(0);
         return bytes;
       },
       false},
      {"a signature of the key over another digest",
       [](Scenario& s) { return s.key.sign(SigningAlgorithm::ecdsaSHA256.securityAlgorithm(), digestOf(32, 0x77)); },
       false},
      {"a signature of another key over the digest",
       [](Scenario& s) {
         return sharedTestKeys().p384.sign(SigningAlgorithm::ecdsaSHA256.securityAlgorithm(), s.submitted->digest);
       },
       false},
      {"the key's signature over the digest", valid, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Scenario scenario;
    scenario.submit();
    const auto signature = row.signature(scenario);
    const auto outcome = outcomeOf([&] {
      scenario.gate.complete(scenario.submitted->requestID, signature, scenario.now());
      return returned;
    });
    EXPECT_EQ(describe(outcome), row.stored ? returned : "invalidSignature");
    EXPECT_STREQ(nameOf(scenario.gate.phase()), row.stored ? "completed" : "empty");
    if (row.stored) {
      EXPECT_EQ(scenario.sign(scenario.digest), signature);
    }
  }
}

TEST(TokenApprovalGate, TheRequestIsMadeForTheIdentityOnTheTickSource) {
  Scenario scenario;
  scenario.time.continuous.set(Instant::fromNanoseconds(5'000'000'000'000));
  scenario.submit();
  const auto& request = *scenario.submitted;
  EXPECT_EQ(request.requestID, *scenario.approvalID);
  EXPECT_EQ(request.activationID, scenario.identity.activationID());
  EXPECT_EQ(request.certificateFingerprint, scenario.identity.certificateFingerprint());
  EXPECT_EQ(request.keyObjectID, scenario.identity.keyObjectID());
  EXPECT_EQ(request.algorithmName, "ecdsaSHA256");
  EXPECT_EQ(request.digest, scenario.digest);
  // Opened at the set instant; submitted 10 s later.
  EXPECT_EQ(request.createdTicks, 5'000'000'000'000u);
  EXPECT_EQ(request.deadlineTicks, 5'090'000'000'000u);
}

TEST(TokenApprovalGate, ASignatureIsHandedOutOnceThenANewApprovalOpens) {
  Scenario scenario;
  scenario.complete();
  const auto first = *scenario.approvalID;
  EXPECT_EQ(scenario.sign(scenario.digest), scenario.storedSignature);
  EXPECT_EQ(outcomeOf([&] { return scenario.described(scenario.sign(scenario.digest)); }),
            Outcome(TokenFailure::approvalRequired));
  const auto second = scenario.gate.pendingApproval(scenario.now());
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(*second, first);
}

TEST(TokenApprovalGate, RepeatedSignCallsKeepTheOneApproval) {
  Scenario scenario;
  scenario.open();
  for (int call = 0; call < 3; ++call) {
    scenario.time.continuous.advance(std::chrono::seconds(20));
    EXPECT_EQ(outcomeOf([&] { return scenario.described(scenario.sign(scenario.digest)); }),
              Outcome(TokenFailure::approvalRequired));
    EXPECT_EQ(scenario.gate.pendingApproval(scenario.now()), scenario.approvalID);
  }
  // The window runs from the first call: 60 s have passed, so 30 s are left.
  const auto submission = scenario.gate.beginSubmission(*scenario.approvalID, "123456", scenario.now());
  EXPECT_EQ(submission.timeLeft, std::chrono::seconds(30));
}

// The app answered after the token was terminated: nothing it sent reaches the host.
TEST(TokenApprovalGate, InvalidationDuringTheFlightRefusesTheLateAnswer) {
  Scenario scenario;
  scenario.submit();
  scenario.gate.invalidate();
  const auto outcome = outcomeOf([&] {
    scenario.gate.complete(scenario.submitted->requestID, signatureFor(scenario.key, *scenario.submitted),
                           scenario.now());
    return returned;
  });
  EXPECT_EQ(describe(outcome), "unavailable");
  EXPECT_STREQ(nameOf(scenario.gate.phase()), "empty");
  EXPECT_EQ(describe(outcomeOf([&] { return scenario.described(scenario.sign(scenario.digest)); })), "unavailable");
}

}  // namespace
}  // namespace corvanta
