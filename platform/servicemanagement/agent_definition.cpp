#include "platform/servicemanagement/agent_definition.hpp"

#include "platform/servicemanagement/property_list.hpp"
#include "platform/servicemanagement/service_management_error.hpp"
#include "platform/servicemanagement/state_files.hpp"

#include <algorithm>
#include <cerrno>

namespace platform::servicemanagement {
namespace {

using Case = ServiceManagementError::Case;

bool isLabel(const std::string& label) {
  return !label.empty() && label.size() <= 255 && label.front() != '.' &&
         std::all_of(label.begin(), label.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_';
         });
}

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// A path inside the bundle that cannot climb out of it.
bool isBundlePath(const std::filesystem::path& path) {
  if (path.empty() || path.is_absolute()) return false;
  return std::none_of(path.begin(), path.end(), [](const std::filesystem::path& part) { return part == ".."; });
}

std::optional<std::filesystem::path> programIn(plist_t dictionary, const std::optional<std::filesystem::path>& bundle) {
  const bool hasBundleProgram = plist_dict_get_item(dictionary, "BundleProgram") != nullptr;
  const bool hasProgram = plist_dict_get_item(dictionary, "Program") != nullptr;
  if (hasBundleProgram == hasProgram) return std::nullopt;
  if (hasBundleProgram) {
    const auto relative = stringEntry(dictionary, "BundleProgram");
    if (!bundle || !relative || hasNul(*relative) || !isBundlePath(*relative)) return std::nullopt;
    return *bundle / *relative;
  }
  const auto absolute = stringEntry(dictionary, "Program");
  if (!absolute || hasNul(*absolute) || !std::filesystem::path(*absolute).is_absolute()) return std::nullopt;
  return std::filesystem::path(*absolute);
}

std::optional<std::vector<std::string>> argumentsIn(plist_t dictionary, const std::filesystem::path& program) {
  const plist_t node = plist_dict_get_item(dictionary, "ProgramArguments");
  if (!node) return std::vector<std::string>{program.string()};
  if (plist_get_node_type(node) != PLIST_ARRAY) return std::nullopt;
  const std::uint32_t count = plist_array_get_size(node);
  if (count == 0) return std::nullopt;
  std::vector<std::string> arguments;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto argument = stringValue(plist_array_get_item(node, i));
    if (!argument || hasNul(*argument)) return std::nullopt;
    arguments.push_back(std::move(*argument));
  }
  return arguments;
}

std::optional<std::vector<std::string>> machServicesIn(plist_t dictionary) {
  const plist_t node = plist_dict_get_item(dictionary, "MachServices");
  if (!node || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
  std::vector<std::string> names;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(node, &iterator);
  bool valid = iterator != nullptr;
  while (valid) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iterator, &key, &value);
    if (!key) break;
    std::string name(key);
    std::free(key);
    if (!isServiceName(name) || !value || plist_get_node_type(value) != PLIST_BOOLEAN ||
        !plist_bool_val_is_true(value)) {
      valid = false;
      break;
    }
    names.push_back(std::move(name));
  }
  std::free(iterator);
  if (!valid || names.empty()) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool AgentDefinition::publishes(const std::string& serviceName) const {
  return std::find(machServices.begin(), machServices.end(), serviceName) != machServices.end();
}

bool isServiceName(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find('/') == std::string::npos && !hasNul(name);
}

std::optional<AgentDefinition> agentDefinitionIn(plist_t dictionary, const std::optional<std::filesystem::path>& bundle) {
  if (!dictionary || plist_get_node_type(dictionary) != PLIST_DICT) return std::nullopt;
  auto label = stringEntry(dictionary, "Label");
  if (!label || !isLabel(*label)) return std::nullopt;
  auto program = programIn(dictionary, bundle);
  if (!program) return std::nullopt;
  auto arguments = argumentsIn(dictionary, *program);
  auto machServices = machServicesIn(dictionary);
  if (!arguments || !machServices) return std::nullopt;
  return AgentDefinition{std::move(*label), std::move(*program), std::move(*arguments), std::move(*machServices)};
}

void addAgentDefinition(plist_t dictionary, const AgentDefinition& definition) {
  plist_dict_set_item(dictionary, "Label", plist_new_string(definition.label.c_str()));
  plist_dict_set_item(dictionary, "Program", plist_new_string(definition.program.c_str()));
  const plist_t arguments = plist_new_array();
  for (const auto& argument : definition.arguments) plist_array_append_item(arguments, plist_new_string(argument.c_str()));
  plist_dict_set_item(dictionary, "ProgramArguments", arguments);
  const plist_t services = plist_new_dict();
  for (const auto& name : definition.machServices) plist_dict_set_item(services, name.c_str(), plist_new_bool(1));
  plist_dict_set_item(dictionary, "MachServices", services);
}

AgentDefinition readAgentPropertyList(const std::filesystem::path& file, const std::filesystem::path& bundle) {
  const auto bytes = readSmallFile(file, FileOwner::anyone);
  if (!bytes) {
    if (bytes.error() == ENOENT || bytes.error() == ENOTDIR) {
      throw ServiceManagementError(Case::notFound, "no launch agent property list at " + file.string());
    }
    throw ServiceManagementError(Case::invalidPropertyList, "cannot read " + file.string());
  }
  const auto root = parsePropertyList(bytes.value());
  auto definition = root ? agentDefinitionIn(root->get(), bundle) : std::nullopt;
  if (!definition) throw ServiceManagementError(Case::invalidPropertyList, "not a launch agent: " + file.string());
  return std::move(*definition);
}

}  // namespace platform::servicemanagement
