#pragma once

#include "platform/foundation/bytes.hpp"

#include <map>
#include <string>

namespace corvanta {

// Bodies of "application/x-www-form-urlencoded" requests (the token requests of the sign-in).
struct FormEncoding {
  FormEncoding() = delete;

  // The fields ordered by key, byte by byte, each as key=value with every byte outside the RFC
  // 3986 unreserved characters (A-Z a-z 0-9 - . _ ~) written as '%' and two upper-case hexadecimal
  // digits (a space as %20, never '+'), joined by '&'. No fields give an empty body.
  static platform::Bytes encode(const std::map<std::string, std::string>& fields);
};

}  // namespace corvanta
