#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "tools/ctk/ctk_command.hpp"

#include <iostream>
#include <string>
#include <vector>

// ctk_test_tool RUNTIME_DIRECTORY ARGUMENTS...: ctk reaching the host in the test's directory.
int main(int argc, char** argv) {
  if (argc < 2) return corvanta::ctk::exitUsage;
  const std::string directory = argv[1];
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  return corvanta::ctk::runCtk(arguments, std::cout, std::cerr, [&] {
    return platform::tokenkit::tokenHostSocketPath(platform::xpc::RuntimeDirectory::at(directory));
  });
}
