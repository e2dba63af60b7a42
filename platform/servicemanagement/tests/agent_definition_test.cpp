#include "platform/servicemanagement/agent_definition.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/servicemanagement/property_list.hpp"
#include "platform/servicemanagement/service_management_error.hpp"
#include "platform/servicemanagement/state_files.hpp"

#include <gtest/gtest.h>

#include <string>

namespace platform::servicemanagement {
namespace {

using Case = ServiceManagementError::Case;

std::string plistOf(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<plist version=\"1.0\"><dict>" +
         body + "</dict></plist>\n";
}

const std::string label = "<key>Label</key><string>ro.example.Agent</string>";
const std::string services =
    "<key>MachServices</key><dict><key>T.ro.example.Agent.B</key><true/><key>T.ro.example.Agent.A</key><true/></dict>";
const std::string bundleProgram = "<key>BundleProgram</key><string>Contents/MacOS/Agent</string>";

TEST(AgentPropertyList, GivesTheProgramInsideTheBundleAndTheServicesItPublishes) {
  foundation::testing::TemporaryDirectory directory;
  const auto bundle = directory.path() / "App.app";
  const struct {
    const char* name;
    std::string body;
    AgentDefinition expected;
  } rows[] = {
      {"bundle program", label + bundleProgram + services,
       {"ro.example.Agent", bundle / "Contents/MacOS/Agent", {(bundle / "Contents/MacOS/Agent").string()},
        {"T.ro.example.Agent.A", "T.ro.example.Agent.B"}}},
      {"absolute program with arguments",
       label + "<key>Program</key><string>/usr/bin/agent</string>"
               "<key>ProgramArguments</key><array><string>agent</string><string>--x</string></array>" +
           services,
       {"ro.example.Agent", "/usr/bin/agent", {"agent", "--x"}, {"T.ro.example.Agent.A", "T.ro.example.Agent.B"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto file = directory.write("Agent.plist", plistOf(row.body));
    const auto definition = readAgentPropertyList(file, bundle);
    EXPECT_EQ(definition, row.expected);
    EXPECT_TRUE(definition.publishes("T.ro.example.Agent.A"));
    EXPECT_FALSE(definition.publishes("T.ro.example.Agent"));

    // The binary form of the same list reads the same.
    const auto xml = readSmallFile(file, FileOwner::anyone);
    ASSERT_TRUE(xml);
    const auto tree = parsePropertyList(xml.value());
    ASSERT_TRUE(tree);
    char* binary = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(tree->get(), &binary, &length);
    ASSERT_NE(binary, nullptr);
    const auto binaryFile = directory.write("Binary.plist", std::string(binary, length));
    plist_to_bin_free(binary);
    EXPECT_EQ(readAgentPropertyList(binaryFile, bundle), row.expected);
  }
}

TEST(AgentPropertyList, RefusesWhatIsNotALaunchAgentItCanStart) {
  foundation::testing::TemporaryDirectory directory;
  const struct {
    const char* name;
    std::string text;
  } rows[] = {
      {"no label", plistOf(bundleProgram + services)},
      {"label with a slash", plistOf("<key>Label</key><string>../x</string>" + bundleProgram + services)},
      {"label of another type", plistOf("<key>Label</key><integer>1</integer>" + bundleProgram + services)},
      {"no program", plistOf(label + services)},
      {"both programs", plistOf(label + bundleProgram + "<key>Program</key><string>/bin/true</string>" + services)},
      {"bundle program climbing out",
       plistOf(label + "<key>BundleProgram</key><string>Contents/../../evil</string>" + services)},
      {"absolute bundle program", plistOf(label + "<key>BundleProgram</key><string>/bin/sh</string>" + services)},
      {"relative program", plistOf(label + "<key>Program</key><string>bin/agent</string>" + services)},
      {"empty arguments", plistOf(label + bundleProgram + "<key>ProgramArguments</key><array/>" + services)},
      {"argument of another type",
       plistOf(label + bundleProgram + "<key>ProgramArguments</key><array><integer>1</integer></array>" + services)},
      {"no services", plistOf(label + bundleProgram)},
      {"empty services", plistOf(label + bundleProgram + "<key>MachServices</key><dict/>")},
      {"service not true",
       plistOf(label + bundleProgram + "<key>MachServices</key><dict><key>T.a</key><false/></dict>")},
      {"service with a slash",
       plistOf(label + bundleProgram + "<key>MachServices</key><dict><key>../T.a</key><true/></dict>")},
      {"services as an array",
       plistOf(label + bundleProgram + "<key>MachServices</key><array><string>T.a</string></array>")},
      {"root is an array", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"},
      {"cut short", plistOf(label + bundleProgram + services).substr(0, 200)},
      {"not a property list", "Label=ro.example.Agent\n"},
      {"empty", ""},
      {"too large", plistOf(label + bundleProgram + services + "<!--" + std::string(70000, 'x') + "-->")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto file = directory.write("Agent.plist", row.text);
    try {
      readAgentPropertyList(file, directory.path());
      ADD_FAILURE() << "accepted";
    } catch (const ServiceManagementError& error) {
      EXPECT_EQ(error.which(), Case::invalidPropertyList);
    }
  }
  try {
    readAgentPropertyList(directory.path() / "Missing.plist", directory.path());
    ADD_FAILURE() << "a missing file was read";
  } catch (const ServiceManagementError& error) {
    EXPECT_EQ(error.which(), Case::notFound);
  }
}

}  // namespace
}  // namespace platform::servicemanagement
