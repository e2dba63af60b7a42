#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform::workspace {

// What a source's owner signals to stop the source's thread out of its wait on a descriptor.
class WakeDescriptor {
public:
  WakeDescriptor() : descriptor_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~WakeDescriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  WakeDescriptor(const WakeDescriptor&) = delete;
  WakeDescriptor& operator=(const WakeDescriptor&) = delete;

  bool isOpen() const { return descriptor_ >= 0; }
  int get() const { return descriptor_; }
  void signal() const {
    const std::uint64_t one = 1;
    while (::write(descriptor_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

private:
  int descriptor_;
};

}  // namespace platform::workspace
