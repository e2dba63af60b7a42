#include "platform/workspace/application_identity.hpp"

#include <algorithm>
#include <array>

namespace platform::workspace {

namespace {

constexpr std::string_view firefox = "org.mozilla.firefox";
constexpr std::string_view chrome = "com.google.Chrome";

// Paths as /proc/<pid>/exe shows them: symbolic links (/usr/bin/firefox-esr, the alternatives of
// /usr/bin/pinentry, a merged /bin) are already resolved there.
constexpr std::array knownExecutableTable{
    KnownExecutable{"/usr/lib/firefox-esr/firefox-esr", firefox},
    KnownExecutable{"/usr/lib/firefox/firefox", firefox},
    KnownExecutable{"/opt/firefox/firefox", firefox},
    KnownExecutable{"/opt/google/chrome/chrome", chrome},
    KnownExecutable{"/usr/bin/pinentry-gnome3", "org.gnupg.pinentry-gnome3"},
    KnownExecutable{"/usr/bin/pinentry-qt", "org.gnupg.pinentry-qt"},
    KnownExecutable{"/usr/bin/pinentry-gtk-2", "org.gnupg.pinentry-gtk2"},
    KnownExecutable{"/usr/bin/pinentry-gtk2", "org.gnupg.pinentry-gtk2"},
    KnownExecutable{"/usr/bin/pinentry-curses", "org.gnupg.pinentry-curses"},
    KnownExecutable{"/usr/bin/pinentry-tty", "org.gnupg.pinentry-tty"},
};

constexpr std::string_view deletedSuffix = " (deleted)";

std::string_view withoutDeletedSuffix(std::string_view path) {
  if (path.ends_with(deletedSuffix)) path.remove_suffix(deletedSuffix.size());
  return path;
}

std::string_view fileName(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool isReservedIdentifier(std::string_view name) {
  return std::ranges::any_of(knownExecutableTable, [name](const KnownExecutable& known) { return known.identifier == name; });
}

}  // namespace

std::span<const KnownExecutable> knownExecutables() { return knownExecutableTable; }

std::optional<std::string> identifierForExecutable(std::string_view path) {
  const auto executable = withoutDeletedSuffix(path);
  const auto known = std::ranges::find(knownExecutableTable, executable, &KnownExecutable::path);
  if (known != knownExecutableTable.end()) return std::string(known->identifier);
  const auto name = fileName(executable);
  if (name.empty() || isReservedIdentifier(name)) return std::nullopt;
  return std::string(name);
}

}  // namespace platform::workspace
