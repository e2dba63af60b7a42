#pragma once

#include "platform/workspace/frontmost_process_source.hpp"

#include <memory>
#include <string>

namespace platform::workspace {

// Whether this build reads X11 displays (it needs libxcb at build time).
bool readsX11Displays();

// Watches the active window of the X11 display `display` (its root window's _NET_ACTIVE_WINDOW,
// then that window's _NET_WM_PID) on a thread of its own, which also connects. Null when this
// build does not read X11. A display that cannot be reached, or goes away, leaves no frontmost
// process.
std::unique_ptr<FrontmostProcessSource> openX11FrontmostSource(std::string display, FrontmostProcessSource::Activated activated);

}  // namespace platform::workspace
