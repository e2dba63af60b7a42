#include "token-support/mac_foreground_hint_monitor.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

namespace corvanta {

namespace {

using platform::workspace::RunningApplication;
using platform::workspace::WorkspaceEvent;

bool isSystemPrompt(std::string_view bundleID) {
  return std::ranges::find(MacForegroundHintMonitor::systemPromptBundleIDs, bundleID) !=
         MacForegroundHintMonitor::systemPromptBundleIDs.end();
}

std::optional<std::string_view> browserRequirement(std::string_view bundleID) {
  const auto& browsers = MacForegroundHintMonitor::recognizedBrowsers;
  const auto found = std::ranges::find(browsers, bundleID, &MacForegroundHintMonitor::RecognizedBrowser::bundleID);
  if (found == browsers.end()) return std::nullopt;
  return found->requirement;
}

}  // namespace

MacForegroundHintMonitor::MacForegroundHintMonitor(platform::workspace::Workspace& workspace,
                                                   RequirementCheck checkRequirement, const TickSource& ticks)
    : workspace_(workspace), checkRequirement_(std::move(checkRequirement)), ticks_(ticks) {}

MacForegroundHintMonitor::~MacForegroundHintMonitor() {
  if (observer_) workspace_.removeObserver(*observer_);
}

void MacForegroundHintMonitor::start() {
  stop();
  record(workspace_.frontmostApplication());
  observer_ = workspace_.addObserver([this](const WorkspaceEvent& event) { handle(event); });
}

void MacForegroundHintMonitor::stop() {
  requireMainExecutor();
  if (observer_) {
    workspace_.removeObserver(*observer_);
    observer_.reset();
  }
  history_.clear();
}

bool MacForegroundHintMonitor::isStarted() const { return observer_.has_value(); }

SigningAttribution MacForegroundHintMonitor::attribution(std::uint64_t requestTicks) const {
  requireMainExecutor();
  return history_.attribution(requestTicks, TokenClock::now(ticks_), ticks_);
}

const ForegroundHintHistory& MacForegroundHintMonitor::history() const { return history_; }

void MacForegroundHintMonitor::handle(const WorkspaceEvent& event) {
  requireMainExecutor();
  switch (event.kind) {
    case WorkspaceEvent::Kind::didActivateApplication:
      if (!event.processIdentifier) return;
      // Looked up again: an application that quit since is recorded without an identifier.
      record(workspace_.runningApplication(*event.processIdentifier));
      return;
    case WorkspaceEvent::Kind::willSleep:
    case WorkspaceEvent::Kind::sessionDidResignActive:
      history_.clear();
      return;
    case WorkspaceEvent::Kind::didWake:
    case WorkspaceEvent::Kind::sessionDidBecomeActive:
      history_.clear();
      record(workspace_.frontmostApplication());
      return;
  }
}

void MacForegroundHintMonitor::record(const std::optional<RunningApplication>& application) {
  requireMainExecutor();
  const auto ticks = TokenClock::now(ticks_);
  std::optional<std::string_view> bundleID;
  if (application && application->bundleIdentifier) bundleID = *application->bundleIdentifier;
  const bool prompt = bundleID && isSystemPrompt(*bundleID);
  bool browser = false;
  if (bundleID && application->processIdentifier > 0) {
    if (const auto requirement = browserRequirement(*bundleID)) browser = isRecognizedBrowser(*application, *requirement);
  }
  history_.record(ticks, bundleID, browser, prompt, ticks_);
}

// Only a pass is remembered: a check that failed may pass later (its code was being replaced),
// and a look-alike costs a check only when it comes to the front.
bool MacForegroundHintMonitor::isRecognizedBrowser(const RunningApplication& application, std::string_view requirement) {
  std::optional<ProcessKey> key;
  if (application.startTime) {
    key.emplace(application.processIdentifier, *application.startTime, *application.bundleIdentifier);
    if (recognizedProcesses_.contains(*key)) return true;
  }
  if (!checkRequirement_ || !checkRequirement_(application.processIdentifier, requirement)) return false;
  if (key) {
    if (recognizedProcesses_.size() >= maximumRememberedBrowsers) recognizedProcesses_.clear();
    recognizedProcesses_.insert(std::move(*key));
  }
  return true;
}

void MacForegroundHintMonitor::requireMainExecutor() const {
  // Called off the main executor, the history would be raced by the workspace's events.
  assert(workspace_.isOnMainExecutor());
}

}  // namespace corvanta
