#pragma once

#include "platform/workspace/workspace.hpp"
#include "sign-core/signing_attribution.hpp"
#include "token-support/foreground_hint_history.hpp"
#include "token-support/token_clock.hpp"

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

namespace corvanta {

// Watches which application is in front and answers, for a sign request's creation ticks, whom
// the request is attributed to. Used on the main executor only: every member, and the workspace's
// events, run there.
class MacForegroundHintMonitor {
public:
  // Whether the running process satisfies a code-signing requirement text; false whenever the
  // text cannot be read, the process cannot be found or its code is not valid.
  using RequirementCheck = std::function<bool(pid_t processIdentifier, std::string_view requirement)>;

  struct RecognizedBrowser {
    std::string_view bundleID;
    std::string_view requirement;
  };

  // The system's prompt agents: a request made while one is in front belongs to the application
  // behind it. The desktop's pinentry programs, through which the code is asked for, are this
  // machine's.
  static constexpr std::array<std::string_view, 8> systemPromptBundleIDs{
      "com.apple.SecurityAgent",
      "com.apple.CoreServicesUIAgent",
      "com.apple.LocalAuthentication.UIAgent",
      "org.gnupg.pinentry-gnome3",
      "org.gnupg.pinentry-qt",
      "org.gnupg.pinentry-gtk2",
      "org.gnupg.pinentry-curses",
      "org.gnupg.pinentry-tty",
  };

  static constexpr std::array<RecognizedBrowser, 3> recognizedBrowsers{
      RecognizedBrowser{"com.apple.Safari", R"(anchor apple and identifier "com.apple.Safari")"},
      RecognizedBrowser{"com.google.Chrome",
                        R"(anchor apple generic and certificate leaf[subject.OU] = "EQHXZ8M8AV" and identifier "com.google.Chrome")"},
      RecognizedBrowser{"org.mozilla.firefox",
                        R"(anchor apple generic and certificate leaf[subject.OU] = "43AQ936H96" and identifier "org.mozilla.firefox")"},
  };

  // A browser process that passed its check is remembered, by process and start time, up to
  // this many, so that switching back to it checks nothing again.
  static constexpr std::size_t maximumRememberedBrowsers = 64;

  MacForegroundHintMonitor(platform::workspace::Workspace& workspace, RequirementCheck checkRequirement,
                           const TickSource& ticks = TickSource::system());
  ~MacForegroundHintMonitor();

  MacForegroundHintMonitor(const MacForegroundHintMonitor&) = delete;
  MacForegroundHintMonitor& operator=(const MacForegroundHintMonitor&) = delete;

  // Starts afresh: an empty history but for the application in front now.
  void start();
  // Observes nothing more and forgets the history.
  void stop();
  bool isStarted() const;

  SigningAttribution attribution(std::uint64_t requestTicks) const;

  const ForegroundHintHistory& history() const;

private:
  using ProcessKey = std::tuple<pid_t, std::uint64_t, std::string>;

  void handle(const platform::workspace::WorkspaceEvent& event);
  void record(const std::optional<platform::workspace::RunningApplication>& application);
  bool isRecognizedBrowser(const platform::workspace::RunningApplication& application, std::string_view requirement);
  void requireMainExecutor() const;

  platform::workspace::Workspace& workspace_;
  RequirementCheck checkRequirement_;
  const TickSource& ticks_;
  ForegroundHintHistory history_;
  std::optional<platform::workspace::Workspace::ObserverToken> observer_;
  std::set<ProcessKey> recognizedProcesses_;
};

}  // namespace corvanta
