#pragma once

#include <plist/plist.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform::servicemanagement {

// What starting a launch agent takes, as its property list gives it.
struct AgentDefinition {
  std::string label;
  // Absolute: a bundle's relative program is resolved against the bundle when the list is read.
  std::filesystem::path program;
  // The program's argument vector, its name first.
  std::vector<std::string> arguments;
  // The names of the services the agent listens on; connecting to one starts it on demand.
  std::vector<std::string> machServices;

  bool publishes(const std::string& serviceName) const;

  friend bool operator==(const AgentDefinition&, const AgentDefinition&) = default;
};

// Reads the launch agent property list at `file` of the bundle at `bundle` (XML or binary), a
// dictionary of:
//   Label            letters, digits, ".", "-" and "_"
//   BundleProgram    the program's path inside the bundle (relative, no ".."), or
//   Program          its absolute path; exactly one of the two
//   ProgramArguments optional, strings, the program's name first
//   MachServices     a dictionary of one or more service names, each to true
// Throws ServiceManagementError: notFound when there is no file, invalidPropertyList when it is
// not such a list.
AgentDefinition readAgentPropertyList(const std::filesystem::path& file, const std::filesystem::path& bundle);

// The definition in a dictionary of that form; none when it is not one. Without a bundle, only
// an absolute Program is accepted.
std::optional<AgentDefinition> agentDefinitionIn(plist_t dictionary, const std::optional<std::filesystem::path>& bundle);
// Writes the definition into a dictionary in that form, with an absolute Program.
void addAgentDefinition(plist_t dictionary, const AgentDefinition& definition);

// Whether a name can be a service's: one socket name in the runtime directory.
bool isServiceName(const std::string& name);

}  // namespace platform::servicemanagement
