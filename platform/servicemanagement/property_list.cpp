#include "platform/servicemanagement/property_list.hpp"

#include <cstdlib>

namespace platform::servicemanagement {

std::optional<PropertyList> parsePropertyList(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > propertyListByteLimit) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &root);
  if (!root) return std::nullopt;
  return PropertyList(root, &plist_free);
}

Bytes xmlOf(plist_t root) {
  char* text = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root, &text, &length);
  if (!text) return {};
  Bytes bytes(reinterpret_cast<const std::uint8_t*>(text), reinterpret_cast<const std::uint8_t*>(text) + length);
  plist_to_xml_free(text);
  return bytes;
}

std::optional<std::string> stringValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (!text) return std::nullopt;
  return std::string(text, length);
}

std::optional<std::string> stringEntry(plist_t dictionary, const char* key) {
  return stringValue(plist_dict_get_item(dictionary, key));
}

std::optional<std::uint64_t> unsignedEntry(plist_t dictionary, const char* key) {
  const plist_t node = plist_dict_get_item(dictionary, key);
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  std::uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return value;
}

}  // namespace platform::servicemanagement
