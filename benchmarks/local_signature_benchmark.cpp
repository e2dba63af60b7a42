// One signature along the local road, as ctk asks for it: the client's request to the token host,
// the host's calls into the token extension (sign, authentication needed, begin authentication,
// the code from a pinentry, finish, sign again), the extension's lookup at the router and its call
// to the app, whose signing owner signs at once with the certificate's key (no service, no
// network). Measured against a bare Unix-socket round trip of 64 bytes to another process in the
// same run.
//
// Router, app, extension and pinentry are programs of their own, each with its identity record,
// so that every peer check runs as in use; the host runs in this process. Run from a Release
// build (the bench preset).
#include "benchmarks/raw_exchange.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/testing/polling.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/testing/test_program.hpp"
#include "platform/foundation/unique_fd.hpp"
#include "platform/tokenkit/client/token_host_client.hpp"
#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/tokenkit/client/token_host_server.hpp"
#include "platform/tokenkit/file_token_kit.hpp"
#include "platform/tokenkit/host/token_host.hpp"
#include "platform/tokenkit/prompt/pinentry_prompt.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_peer_identity.hpp"

#include <benchmark/benchmark.h>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using benchmarks::readExactly;
using benchmarks::writeAll;
using platform::Bytes;
using platform::foundation::UniqueFd;
using platform::foundation::testing::eventually;
using platform::foundation::testing::holdsFileEndingIn;
using platform::foundation::testing::TestProgram;
namespace tokenkit = platform::tokenkit;
using namespace std::chrono_literals;

constexpr std::size_t rawMessageBytes = 64;
constexpr char ecdsaSHA256[] = "algid:sign:ECDSA:digest-X962:SHA256";

// A child that echoes every 64 bytes it reads until the other end closes. Forked before this
// process has any thread.
pid_t forkEchoServer(UniqueFd socket, int otherEnd) {
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("cannot fork the echo server");
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The fork copied the parent's end too; held here, the parent's close would never end the loop.
    ::close(otherEnd);
    platform::Bytes message(rawMessageBytes);
    while (readExactly(socket.get(), message) && writeAll(socket.get(), message)) {
    }
    ::_exit(0);
  }
  return child;
}

void rawSocketRoundTrip(benchmark::State& state, int socket) {
  Bytes message(rawMessageBytes);
  for (auto _ : state) {
    if (!writeAll(socket, message) || !readExactly(socket, message)) {
      state.SkipWithError("the echo server is gone");
      break;
    }
    benchmark::DoNotOptimize(message.data());
  }
}

void localSignature(benchmark::State& state, const std::string& socketPath, const std::string& keyObjectID) {
  const Bytes digest(32, 0x42);
  for (auto _ : state) {
    auto client = tokenkit::TokenHostClient::connect(socketPath);
    const auto signature = client.sign(keyObjectID, ecdsaSHA256, digest);
    if (!signature) {
      state.SkipWithError(("the host refused: " + std::to_string(signature.error().code)).c_str());
      break;
    }
    benchmark::DoNotOptimize(signature.value().data());
  }
}

// The code the pinentry would have given, at once: what the road costs without the prompt's
// program.
class FixedCodePrompt final : public tokenkit::PasswordPrompt {
public:
  std::optional<std::string> ask(const tokenkit::PromptRequest&) override { return "123456"; }
};

// The host's part and everything behind it, called directly: no client socket, no pinentry.
void hostSignatureWithFixedCode(benchmark::State& state, tokenkit::TokenHost& host, const std::string& keyObjectID) {
  const Bytes digest(32, 0x42);
  std::uint64_t client = 1'000'000;
  for (auto _ : state) {
    const tokenkit::TokenClient caller{++client, "benchmark"};
    const auto signature = host.sign(caller, keyObjectID, ecdsaSHA256, digest);
    host.clientGone(caller.id);
    if (!signature) {
      state.SkipWithError(("the host refused: " + std::to_string(signature.error().code)).c_str());
      break;
    }
    benchmark::DoNotOptimize(signature.value().data());
  }
}

std::filesystem::path writeScript(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

int run(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  int echo[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, echo) != 0) throw std::runtime_error("no socket pair");
  UniqueFd rawClient(echo[0]);
  const pid_t echoServer = forkEchoServer(UniqueFd(echo[1]), rawClient.get());

  const platform::foundation::testing::TemporaryDirectory temporary("/tmp");
  const auto runtime = (temporary.path() / "run").string();
  (void)platform::xpc::RuntimeDirectory::at(runtime);
  for (const auto* name : {"store", "drivers"}) {
    std::filesystem::create_directory(temporary.path() / name);
    std::filesystem::permissions(temporary.path() / name, std::filesystem::perms::owner_all);
  }
  const auto store = (temporary.path() / "store").string();
  const auto extension = writeScript(temporary.path() / "extension", "#!" LOCAL_ROAD_EXTENSION " " + runtime + "\n");
  std::ofstream(temporary.path() / "drivers" / (std::string(corvanta::TokenPeerIdentity::driverID) + ".json"))
      << "{\"executable\":\"" << extension.string() << "\",\"principal\":\"CorvantaTokenDriver\"}";
  const auto pinentry = writeScript(temporary.path() / "pinentry",
                                    "#!" LOCAL_ROAD_PINENTRY " /dev/null\nreply\nD 123456\nOK\n");

  TestProgram router({LOCAL_ROAD_ROUTER, (temporary.path() / "installing").string(), runtime});
  if (!eventually([&] {
        return holdsFileEndingIn(runtime, ".SessionRouter.Owner") && holdsFileEndingIn(runtime, ".SessionRouter.Token");
      }, 30s, 5ms)) {
    throw std::runtime_error("the router never listened");
  }
  TestProgram app({LOCAL_ROAD_APP, runtime, "signs", store});
  const auto identity = corvanta::TokenIdentity::decode(platform::bytesOf(app.expect("identity", 30s)));
  if (app.nextLine(30s) != "registered") throw std::runtime_error("the app did not register");

  tokenkit::FileTokenKit kit(store);
  tokenkit::PinentryPrompt prompt(pinentry, {});
  tokenkit::TokenHost host(kit, temporary.path() / "drivers", prompt);
  FixedCodePrompt fixedCode;
  tokenkit::TokenHost directHost(kit, temporary.path() / "drivers", fixedCode);
  {
    const auto directory = platform::xpc::RuntimeDirectory::at(runtime);
    tokenkit::TokenHostServer server(directory, host);
    const auto socketPath = server.socketPath();
    const auto keyObjectID = identity.keyObjectID();

    benchmark::RegisterBenchmark("LocalSignature", [&](benchmark::State& state) {
      localSignature(state, socketPath, keyObjectID);
    })->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(1.0);
    benchmark::RegisterBenchmark("HostSignatureWithFixedCode", [&](benchmark::State& state) {
      hostSignatureWithFixedCode(state, directHost, keyObjectID);
    })->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(1.0);
    benchmark::RegisterBenchmark("RawSocketRoundTrip", [&](benchmark::State& state) {
      rawSocketRoundTrip(state, rawClient.get());
    })->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  app.closeInput();
  app.reap();
  router.signal(SIGTERM);
  router.reap();
  rawClient.reset();
  ::waitpid(echoServer, nullptr, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "local_signature_benchmark: %s\n", error.what());
    return 1;
  }
}
