#include "platform/workspace/frontmost_process_source.hpp"

#include "platform/workspace/x11_frontmost_source.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace platform::workspace {
namespace {

struct SessionRow {
  DisplayEnvironment environment;
  bool readsX11;
};

TEST(FrontmostProcessSource, OnlyAnX11SessionHasASource) {
  const SessionRow rows[] = {
      {{std::nullopt, std::nullopt, std::nullopt}, false},
      {{std::nullopt, std::nullopt, "tty"}, false},
      {{std::nullopt, "wayland-0", "wayland"}, false},
      // The X11 compatibility display of a Wayland session sees only the X11 programs.
      {{":0", "wayland-0", "wayland"}, false},
      {{":0", "wayland-0", std::nullopt}, false},
      {{":0", std::nullopt, "wayland"}, false},
      {{"unix:65500", std::nullopt, "x11"}, readsX11Displays()},
      {{"unix:65500", std::nullopt, std::nullopt}, readsX11Displays()},
  };
  for (const auto& row : rows) {
    int reports = 0;
    {
      const auto source = frontmostSourceFor(row.environment)([&](pid_t) { ++reports; });
      EXPECT_EQ(source != nullptr, row.readsX11) << row.environment.display.value_or("(no display)") << " "
                                                << row.environment.waylandDisplay.value_or("(no Wayland display)");
      // No display answers at that name: the source knows of no process in front, and stops.
      if (source) {
        EXPECT_EQ(source->frontmostProcess(), std::nullopt);
      }
    }
    EXPECT_EQ(reports, 0);
  }
}

}  // namespace
}  // namespace platform::workspace
