// The agent tests run in private system places when the system allows them (see
// private_system_places.hpp), which only a process with one thread can enter: before GoogleTest.
#include "session-router/tests/private_system_places.hpp"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  corvanta::testing::enterPrivateSystemPlaces();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
