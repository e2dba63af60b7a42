#pragma once

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/servicemanagement/service_paths.hpp"
#include "platform/servicemanagement/testing/running_processes.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace platform::servicemanagement::testing {

using namespace std::chrono_literals;

// What should happen at once is given this long before a test calls it a failure.
constexpr auto eventually = 30s;

inline const std::vector<std::string> serviceNames{"T.ro.example.Agent.A", "T.ro.example.Agent.B"};

// Whether a listener answers at the path.
inline bool answers(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

template <typename Condition>
bool waitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + eventually;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A bundle with one agent, the test agent, whose log and sockets are in the temporary directory.
class AgentFixture : public ::testing::Test {
protected:
  void SetUp() override { std::filesystem::create_directory(paths_.runtimeDirectory); }

  void TearDown() override {
    for (const pid_t pid : runningAgents()) ::kill(pid, SIGKILL);
  }

  void writePropertyList(const std::string& mode, const std::filesystem::path& program = SERVICEMANAGEMENT_TEST_AGENT) {
    std::filesystem::create_directories(paths_.launchAgentsDirectory());
    std::string arguments = "<string>agent</string><string>" + log_.string() + "</string><string>" + mode + "</string>";
    std::string services;
    for (const auto& name : serviceNames) {
      arguments += "<string>" + (paths_.runtimeDirectory / name).string() + "</string>";
      services += "<key>" + name + "</key><true/>";
    }
    std::ofstream(paths_.launchAgentsDirectory() / "Agent.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>Label</key><string>ro.example.Agent</string>"
           "<key>Program</key><string>"
        << program.string() << "</string><key>ProgramArguments</key><array>" << arguments
        << "</array><key>MachServices</key><dict>" << services << "</dict></dict></plist>";
  }

  // The lines the agents logged, each as its fields.
  std::vector<std::map<std::string, std::string>> logLines() const {
    std::vector<std::map<std::string, std::string>> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) {
      std::map<std::string, std::string> fields;
      std::istringstream words(line);
      for (std::string word; words >> word;) {
        const auto equals = word.find('=');
        if (equals != std::string::npos) fields[word.substr(0, equals)] = word.substr(equals + 1);
      }
      lines.push_back(std::move(fields));
    }
    return lines;
  }

  bool waitForLogLines(std::size_t count) const {
    return waitUntil([&] { return logLines().size() >= count; });
  }

  bool servicesAnswer() const {
    for (const auto& name : serviceNames) {
      if (!answers(paths_.runtimeDirectory / name)) return false;
    }
    return true;
  }

  // The test agents of this test that run now, found by their log path among every process's
  // arguments: an agent's start returns only after it was executed, so none can be missed.
  std::vector<pid_t> runningAgents() const { return runningProcessesWithArgument(log_.string()); }

  bool waitForRunningAgents(std::size_t count) const {
    return waitUntil([&] { return runningAgents().size() == count; });
  }

  // Until every agent that logged has ended as the layer judges it: an agent's argument vector is
  // gone from /proc while it is still exiting, and a launch in that moment finds it running.
  bool waitForLoggedAgentsToEnd() const {
    return waitUntil([&] {
      for (const auto& line : logLines()) {
        const auto pid = line.find("pid");
        if (pid == line.end() || !processHasEnded(static_cast<pid_t>(std::stol(pid->second)))) return false;
      }
      return true;
    });
  }

  foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  ServicePaths paths_{temporary_.path() / "App.app", temporary_.path() / "state", temporary_.path() / "run"};
  std::filesystem::path log_ = temporary_.path() / "agents.log";
};

}  // namespace platform::servicemanagement::testing
