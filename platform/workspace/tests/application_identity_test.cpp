#include "platform/workspace/application_identity.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform::workspace {
namespace {

struct IdentifierRow {
  std::string_view path;
  std::optional<std::string> expected;
};

TEST(ApplicationIdentity, KnownPathsGiveTheirIdentifiersAndOthersTheirFileName) {
  const IdentifierRow rows[] = {
      {"/usr/lib/firefox-esr/firefox-esr", "org.mozilla.firefox"},
      {"/usr/lib/firefox/firefox", "org.mozilla.firefox"},
      {"/opt/google/chrome/chrome", "com.google.Chrome"},
      {"/usr/bin/pinentry-gnome3", "org.gnupg.pinentry-gnome3"},
      {"/usr/bin/pinentry-qt", "org.gnupg.pinentry-qt"},
      {"/usr/bin/pinentry-gtk-2", "org.gnupg.pinentry-gtk2"},
      {"/usr/bin/pinentry-curses", "org.gnupg.pinentry-curses"},
      {"/usr/bin/pinentry-tty", "org.gnupg.pinentry-tty"},
      // A browser that kept running while its package was upgraded.
      {"/usr/lib/firefox-esr/firefox-esr (deleted)", "org.mozilla.firefox"},
      {"/opt/google/chrome/chrome (deleted)", "com.google.Chrome"},
      // The same names anywhere else are other programs.
      {"/tmp/x/usr/lib/firefox-esr/firefox-esr", "firefox-esr"},
      {"/home/user/.local/bin/pinentry-gnome3", "pinentry-gnome3"},
      {"/opt/google/chrome/chrome-sandbox", "chrome-sandbox"},
      {"/usr/lib/firefox/firefox-bin", "firefox-bin"},
      {"/usr/bin/gedit", "gedit"},
      // A program that names itself like a table identifier is not given it, nor its name.
      {"/tmp/org.mozilla.firefox", std::nullopt},
      {"/home/user/org.gnupg.pinentry-gnome3", std::nullopt},
      {"/home/user/org.gnupg.pinentry-gnome3 (deleted)", std::nullopt},
      {"", std::nullopt},
      {"/usr/bin/", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(identifierForExecutable(row.path), row.expected) << row.path;
  }
}

TEST(ApplicationIdentity, EveryRowOfTheTableGivesItsOwnIdentifier) {
  for (const auto& known : knownExecutables()) {
    EXPECT_TRUE(known.path.starts_with('/')) << known.path;
    EXPECT_EQ(identifierForExecutable(known.path), std::string(known.identifier)) << known.path;
  }
}

}  // namespace
}  // namespace platform::workspace
