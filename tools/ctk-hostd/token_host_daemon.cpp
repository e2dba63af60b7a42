#include "tools/ctk-hostd/token_host_daemon.hpp"

#include "platform/foundation/unique_fd.hpp"
#include "platform/tokenkit/client/token_host_server.hpp"
#include "platform/tokenkit/file_token_kit.hpp"
#include "platform/tokenkit/host/driver_manifest.hpp"
#include "platform/tokenkit/host/token_host.hpp"
#include "platform/xpc/runtime_directory.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <iostream>
#include <stop_token>
#include <system_error>
#include <thread>

namespace corvanta::ctkhostd {
namespace {

namespace tokenkit = platform::tokenkit;
using platform::foundation::UniqueFd;

UniqueFd stopSignalDescriptor() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  const int fd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  return UniqueFd(fd);
}

// Waits for a stop signal, for the store to change (then ends the tokens it no longer backs) or for
// `finished` to be signalled once serving has ended for another reason.
void watch(tokenkit::TokenHost& host, tokenkit::TokenKitChangeWatcher& changes, int signals, int finished,
           std::stop_source& stop) {
  for (;;) {
    pollfd waiting[3] = {{signals, POLLIN, 0}, {changes.descriptor(), POLLIN, 0}, {finished, POLLIN, 0}};
    if (::poll(waiting, 3, -1) < 0) {
      if (errno == EINTR) continue;
      stop.request_stop();
      return;
    }
    if (waiting[0].revents != 0 || waiting[2].revents != 0) {
      stop.request_stop();
      return;
    }
    if (waiting[1].revents != 0 && changes.takeChange()) host.rescan();
  }
}

}  // namespace

void prepareProcessSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

TokenHostPaths TokenHostPaths::standard() {
  return TokenHostPaths{
      .store = tokenkit::userTokenKitDirectory(),
      .driverManifests = std::filesystem::path(tokenkit::defaultDriverManifestDirectory),
      .runtimeDirectory = std::nullopt,
      .pinentryProgram = std::filesystem::path(tokenkit::defaultPinentryProgram),
  };
}

int runTokenHost(const TokenHostPaths& paths, const tokenkit::PinentryEnvironment& environment) {
  try {
    const auto directory = paths.runtimeDirectory ? platform::xpc::RuntimeDirectory::at(*paths.runtimeDirectory)
                                                  : platform::xpc::RuntimeDirectory::forCurrentUser();
    const tokenkit::FileTokenKit store(paths.store);
    tokenkit::TokenKitChangeWatcher changes(paths.store);
    tokenkit::PinentryPrompt prompt(paths.pinentryProgram, environment);
    tokenkit::TokenHost host(store, paths.driverManifests, prompt);
    const auto signals = stopSignalDescriptor();
    const UniqueFd finished(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (finished.get() < 0) throw std::system_error(errno, std::generic_category(), "eventfd");

    std::stop_source stop;
    std::exception_ptr serving;
    {
      std::jthread watcher([&] { watch(host, changes, signals.get(), finished.get(), stop); });
      try {
        // Returns once the server is gone and no request is in flight, as the host needs before
        // it goes.
        tokenkit::serveTokenHost(directory, host, stop.get_token());
      } catch (...) {
        serving = std::current_exception();
      }
      const std::uint64_t one = 1;
      [[maybe_unused]] const auto written = ::write(finished.get(), &one, sizeof one);
    }
    if (serving) std::rethrow_exception(serving);
    return exitStopped;
  } catch (const tokenkit::TokenHostServerError& error) {
    std::cerr << "ctk-hostd: " << (error.which() == tokenkit::TokenHostServerError::Case::inUse
                                       ? "another token host already serves this user"
                                       : error.what())
              << '\n';
    return exitSetupFailed;
  } catch (const std::exception& error) {
    std::cerr << "ctk-hostd: " << error.what() << '\n';
    return exitSetupFailed;
  }
}

}  // namespace corvanta::ctkhostd
