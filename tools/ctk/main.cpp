#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "tools/ctk/ctk_command.hpp"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return corvanta::ctk::runCtk(arguments, std::cout, std::cerr, [] {
    return platform::tokenkit::tokenHostSocketPath(platform::xpc::RuntimeDirectory::forCurrentUser());
  });
}
