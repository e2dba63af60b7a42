#pragma once

#include <exception>
#include <string>

namespace platform::foundation {

// The error of JSON decoding. It carries no user text: callers that show something to the user map
// it first (the service client turns it into its own "unexpected response" error).
//
// The coding path names the value the error is about: object keys joined by '.', array elements
// as "[index]", for example "data.certificates[2].usage"; empty for the document itself. For
// keyNotFound it ends with the missing key. The debug description says what was wrong for the
// developer; it never repeats a value of the document, which may hold a token or a code.
class DecodingError : public std::exception {
public:
  enum class Case {
    // A value of another JSON type than the one asked for (a boolean where an integer belongs,
    // a number where a string belongs, ...).
    typeMismatch,
    // null where a value is required.
    valueNotFound,
    // A required key that the object does not have.
    keyNotFound,
    // Not one well-formed JSON text (syntax, encoding, duplicate keys, non-finite numbers), or a
    // value of the right type that cannot be what was asked for (a fraction or a number out of
    // range for an integer, a malformed UUID or Base64 text).
    dataCorrupted,
  };

  static DecodingError typeMismatch(std::string codingPath, std::string debugDescription);
  static DecodingError valueNotFound(std::string codingPath, std::string debugDescription);
  static DecodingError keyNotFound(std::string codingPath, std::string debugDescription);
  static DecodingError dataCorrupted(std::string codingPath, std::string debugDescription);

  Case errorCase() const { return case_; }
  const std::string& codingPath() const { return codingPath_; }
  const std::string& debugDescription() const { return debugDescription_; }

  // Case name, coding path and debug description, for debugging.
  const char* what() const noexcept override { return what_.c_str(); }

  // The debug description is wording for developers and takes no part in equality.
  friend bool operator==(const DecodingError& a, const DecodingError& b) {
    return a.case_ == b.case_ && a.codingPath_ == b.codingPath_;
  }

private:
  DecodingError(Case errorCase, std::string codingPath, std::string debugDescription);

  Case case_;
  std::string codingPath_;
  std::string debugDescription_;
  std::string what_;
};

}  // namespace platform::foundation
