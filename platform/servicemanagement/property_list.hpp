#pragma once

#include "platform/foundation/bytes.hpp"

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

namespace platform::servicemanagement {

// One owned property-list tree of the Debian library.
using PropertyList = std::unique_ptr<std::remove_pointer_t<plist_t>, decltype(&plist_free)>;

// The largest property list this layer reads: an agent's is a few hundred bytes, and what is
// larger is not one.
constexpr std::size_t propertyListByteLimit = 64 * 1024;

// The tree of an XML or binary property list; none when the bytes are neither or exceed the limit.
std::optional<PropertyList> parsePropertyList(std::span<const std::uint8_t> bytes);
// The XML form of a tree.
Bytes xmlOf(plist_t root);

// Typed reads of a dictionary's entries; none when the entry is missing or of another type.
std::optional<std::string> stringEntry(plist_t dictionary, const char* key);
std::optional<std::uint64_t> unsignedEntry(plist_t dictionary, const char* key);

// A node's text when it is a string.
std::optional<std::string> stringValue(plist_t node);

}  // namespace platform::servicemanagement
