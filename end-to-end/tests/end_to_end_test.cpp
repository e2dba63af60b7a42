// The first signature from a client, across every process of the system: ctk asks the token host,
// the host drives the token extension and asks the user for the code through pinentry, the
// extension finds the app through the router, and the app has the service stand-in sign over HTTPS.
// Each program carries its own identity record and every hop checks its peer as in production.
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/testing/polling.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/testing/test_program.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_peer_identity.hpp"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using platform::foundation::testing::eventually;
using platform::foundation::testing::holdsFileEndingIn;
using platform::foundation::testing::TestProgram;
using platform::runtime::testing::hangLimit;

constexpr char acceptedCode[] = "482913";
constexpr char ecdsaSHA256[] = "algid:sign:ECDSA:digest-X962:SHA256";

std::string hexOf(const platform::Bytes& bytes) { return platform::foundation::lowercaseHex(bytes); }

// Whether the signature verifies over the digest with the certificate's key, as OpenSSL sees it:
// the system's own verification stays out of the judgement.
::testing::AssertionResult verifiesWithOpenSSL(const platform::Bytes& certificateDER, const platform::Bytes& digest,
                                               const platform::Bytes& signature) {
  const unsigned char* cursor = certificateDER.data();
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(
      d2i_X509(nullptr, &cursor, static_cast<long>(certificateDER.size())), X509_free);
  if (!certificate) return ::testing::AssertionFailure() << "the certificate does not read";
  EVP_PKEY* key = X509_get0_pubkey(certificate.get());
  const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key, nullptr),
                                                                          EVP_PKEY_CTX_free);
  if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return ::testing::AssertionFailure() << "no verification context";
  }
  if (EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) != 1) {
    return ::testing::AssertionFailure() << "the signature does not verify";
  }
  return ::testing::AssertionSuccess();
}

// The parent of a process, from its status file; none once it has gone.
std::optional<pid_t> parentOf(pid_t process) {
  std::ifstream status("/proc/" + std::to_string(process) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("PPid:")) return static_cast<pid_t>(std::stol(line.substr(5)));
  }
  return std::nullopt;
}

// The child of `parent` whose executable is the given file, if one runs. Tests run side by side,
// each with its own host and extension of the same executable: only the parent tells them apart.
std::optional<pid_t> childRunning(const std::filesystem::path& executable, pid_t parent) {
  const auto wanted = std::filesystem::canonical(executable);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const auto name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;
    const auto target = std::filesystem::read_symlink(entry.path() / "exe", unreadable);
    const auto process = static_cast<pid_t>(std::stol(name));
    if (!unreadable && target == wanted && parentOf(process) == parent) return process;
  }
  return std::nullopt;
}

class EndToEndTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const auto* name : {"store", "drivers"}) {
      std::filesystem::create_directory(temporary.path() / name);
      std::filesystem::permissions(temporary.path() / name, std::filesystem::perms::owner_all);
    }
    platform::xpc::RuntimeDirectory::at(runtimeDirectory());

    // The driver's executable is a script whose interpreter line starts the extension over this
    // test's runtime directory.
    const auto extension = temporary.write("extension", "#!" END_TO_END_EXTENSION " " + runtimeDirectory() + "\n");
    std::filesystem::permissions(extension, std::filesystem::perms::owner_all);
    temporary.write("drivers/" + std::string(TokenPeerIdentity::driverID) + ".json",
                    "{\"executable\":\"" + extension.string() + "\",\"principal\":\"CorvantaTokenDriver\"}");
    answerPrompt("reply", std::string("D ") + acceptedCode + "\nOK\n");

    router.emplace(std::vector<std::string>{ROUTER_AGENT, (temporary.path() / "installing").string(),
                                            runtimeDirectory()});
    ASSERT_TRUE(eventually([&] {
      return holdsFileEndingIn(runtimeDirectory(), ".SessionRouter.Owner") &&
             holdsFileEndingIn(runtimeDirectory(), ".SessionRouter.Token");
    }, hangLimit)) << "the router never listened";

    app.emplace(std::vector<std::string>{END_TO_END_APP, runtimeDirectory(), store(), "5"});
    identityJSON = app->expect("identity", hangLimit);
    certificateDER = platform::foundation::hexDecoded(app->expect("certificate", hangLimit)).value();
    ASSERT_EQ(app->nextLine(hangLimit), "registered");
    tell("accept " + std::string(acceptedCode), "accepted");

    host.emplace(std::vector<std::string>{END_TO_END_HOST, runtimeDirectory(), store(),
                                          (temporary.path() / "drivers").string(),
                                          (temporary.path() / "pinentry").string()});
    ASSERT_TRUE(eventually([&] {
      return std::filesystem::exists(
          platform::tokenkit::tokenHostSocketPath(platform::xpc::RuntimeDirectory::at(runtimeDirectory())));
    }, hangLimit)) << "the token host never listened";
  }

  void TearDown() override {
    if (host) {
      host->signal(SIGTERM);
      EXPECT_EQ(host->reap(), 0) << "the host did not stop cleanly";
      EXPECT_FALSE(std::filesystem::exists(
          platform::tokenkit::tokenHostSocketPath(platform::xpc::RuntimeDirectory::at(runtimeDirectory()))))
          << "the stopped host left its socket behind";
    }
  }

  std::string runtimeDirectory() const { return (temporary.path() / "run").string(); }
  std::string store() const { return (temporary.path() / "store").string(); }
  std::string keyObjectID() const { return TokenIdentity::decode(platform::bytesOf(identityJSON)).keyObjectID(); }

  // How the scripted pinentry answers the next time the host asks for a code.
  void answerPrompt(const std::string& mode, const std::string& payload = "") {
    const auto pinentry = temporary.write(
        "pinentry", "#!" SCRIPTED_PINENTRY " " + (temporary.path() / "pinentry.log").string() + "\n" + mode + "\n" +
                        payload);
    std::filesystem::permissions(pinentry, std::filesystem::perms::owner_all);
  }

  // Sends the app a command and checks its answer.
  void tell(const std::string& command, const std::string& answer) {
    app->send(command);
    ASSERT_EQ(app->nextLine(hangLimit), answer) << command;
  }

  int serviceSignatures() {
    app->send("signatures");
    return std::stoi(app->expect("signatures", hangLimit));
  }

  TestProgram::Outcome ctk(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{CTK_TEST_TOOL, runtimeDirectory()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return TestProgram::run(command, hangLimit);
  }

  TestProgram::Outcome sign() {
    return ctk({"sign", "--key", keyObjectID(), "--algorithm", ecdsaSHA256, "--digest", hexOf(digest)});
  }

  // A signature started on a thread of its own against a service that stalls, returned once the
  // service holds its request: for a test that acts while the app waits.
  std::future<TestProgram::Outcome> signWhileTheServiceStalls() {
    tell("stall", "stalling");
    auto pending = std::async(std::launch::async, [this] { return sign(); });
    if (!eventually([&] { return serviceSignatures() == 1; }, hangLimit)) ADD_FAILURE() << "the service got no request";
    return pending;
  }

  const platform::Bytes digest = platform::Bytes(32, 0x5A);
  // Under /tmp: socket paths must fit in 108 bytes.
  platform::foundation::testing::TemporaryDirectory temporary{"/tmp"};
  std::optional<TestProgram> router;
  std::optional<TestProgram> app;
  std::optional<TestProgram> host;
  std::string identityJSON;
  platform::Bytes certificateDER;
};

TEST_F(EndToEndTest, CtkPrintsASignatureOfTheCertificatesKeyThatTheServiceMadeUnderTheCode) {
  const auto listed = ctk({"list"});
  EXPECT_EQ(listed.status, 0) << listed.errors;
  EXPECT_NE(listed.output.find(keyObjectID()), std::string::npos) << listed.output;

  const auto signed_ = sign();
  ASSERT_EQ(signed_.status, 0) << signed_.errors;
  ASSERT_TRUE(signed_.output.ends_with("\n"));
  const auto signature = platform::foundation::hexDecoded(signed_.output.substr(0, signed_.output.size() - 1));
  ASSERT_TRUE(signature.has_value()) << signed_.output;
  EXPECT_TRUE(verifiesWithOpenSSL(certificateDER, digest, *signature));
  EXPECT_EQ(serviceSignatures(), 1);

  // One code, one signature: the code is used up, so the next signature needs a new one.
  tell("accept 731904", "accepted");
  answerPrompt("reply", "D 731904\nOK\n");
  const auto again = sign();
  EXPECT_EQ(again.status, 0) << again.errors;
  EXPECT_EQ(serviceSignatures(), 2);
}

TEST_F(EndToEndTest, ACancelledPromptEndsTheRequestAndNothingReachesTheService) {
  answerPrompt("reply", "ERR 83886179 Operation cancelled <Pinentry>\n");
  const auto outcome = sign();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.errors, "ctk: token error -4 (canceledByUser)\n");
  EXPECT_EQ(serviceSignatures(), 0);
}

TEST_F(EndToEndTest, AWrongCodeIsRefusedByTheServiceAndTheRefusalReachesCtk) {
  answerPrompt("reply", "D 111111\nOK\n");
  const auto outcome = sign();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(serviceSignatures(), 1) << "the service was asked and refused";
  // The token gives a refused code no text of its own: the client shows its own wording.
  EXPECT_EQ(outcome.errors, "ctk: token error -5 (authenticationFailed)\n");
  EXPECT_EQ(outcome.output, "");
}

TEST_F(EndToEndTest, TheAppGoingAwayDuringTheWaitEndsTheRequestWithTheCompanionUnreachable) {
  auto pending = signWhileTheServiceStalls();
  app->send("quit");
  EXPECT_EQ(app->reap(), 0);
  app.reset();

  const auto outcome = pending.get();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.errors, "ctk: token error -2 (communicationError): The token could not reach the Corvanta companion app.\n");
}

TEST_F(EndToEndTest, AWithdrawnConfigurationEndsTheRequestInFlightAndTheToken) {
  auto pending = signWhileTheServiceStalls();
  tell("withdraw", "withdrawn");

  const auto outcome = pending.get();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.errors, "ctk: token error -2 (communicationError): The token session is no longer available.\n");
  // The token is gone with its configuration: nothing lists it, and its key is unknown.
  EXPECT_TRUE(eventually([&] { return ctk({"list"}).output.find(keyObjectID()) == std::string::npos; }, hangLimit));
  const auto after = sign();
  EXPECT_EQ(after.status, 1);
  EXPECT_EQ(after.errors, "ctk: token error -6 (objectNotFound)\n");
}

TEST_F(EndToEndTest, AnExtensionKilledDuringACallAnswersCommunicationErrorAndTheNextCallWorks) {
  auto pending = signWhileTheServiceStalls();
  const auto extension = childRunning(END_TO_END_EXTENSION, host->pid());
  ASSERT_TRUE(extension.has_value()) << "no extension runs";
  ::kill(*extension, SIGKILL);

  const auto outcome = pending.get();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.errors, "ctk: token error -2 (communicationError)\n");

  // The app's request ends when the signer stops waiting for the stalled service (5 s); then
  // the next call starts a new extension and is served.
  ASSERT_TRUE(eventually([&] {
    app->send("activity");
    return !app->expect("activity", hangLimit).ends_with(" none");
  }, hangLimit));
  tell("accept 731904", "accepted");
  answerPrompt("reply", "D 731904\nOK\n");
  const auto next = sign();
  EXPECT_EQ(next.status, 0) << next.errors;
  const auto restarted = childRunning(END_TO_END_EXTENSION, host->pid());
  ASSERT_TRUE(restarted.has_value());
  EXPECT_NE(*restarted, *extension);
}

TEST_F(EndToEndTest, ASecondHostDoesNotTakeOverTheSocketOfTheOneThatServes) {
  const auto second = TestProgram::run({END_TO_END_HOST, runtimeDirectory(), store(),
                                        (temporary.path() / "drivers").string(),
                                        (temporary.path() / "pinentry").string()},
                                       hangLimit);
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.errors, "ctk-hostd: another token host already serves this user\n");
  EXPECT_EQ(ctk({"list"}).status, 0) << "the first host still serves";
}

}  // namespace
}  // namespace corvanta
