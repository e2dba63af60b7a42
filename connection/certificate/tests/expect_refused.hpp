#pragma once

#include "connection/transport/connection_error.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace corvanta::testing {

// Every refusal of the certificate reader is the one invalidCertificate error, never another.
template <typename Read>
void expectRefused(Read&& read, std::string_view name) {
  try {
    read();
    ADD_FAILURE() << name << ": was read";
  } catch (const ConnectionError& error) {
    EXPECT_EQ(error, ConnectionError::invalidCertificate) << name << ": " << error.what();
  }
}

}  // namespace corvanta::testing
