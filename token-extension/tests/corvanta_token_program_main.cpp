// The extension program's tests run in private system places when the system allows them (see
// session-router/tests/private_system_places.hpp): the program reads no arguments and no
// environment and makes its runtime directory under /run/user/<euid>, which must not be the
// machine's. Only a process with one thread can enter them: before GoogleTest.
#include "session-router/tests/private_system_places.hpp"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  corvanta::testing::enterPrivateSystemPlaces();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
