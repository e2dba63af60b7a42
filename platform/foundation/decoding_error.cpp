#include "platform/foundation/decoding_error.hpp"

#include <utility>

namespace platform::foundation {
namespace {

const char* caseName(DecodingError::Case errorCase) {
  switch (errorCase) {
    case DecodingError::Case::typeMismatch: return "typeMismatch";
    case DecodingError::Case::valueNotFound: return "valueNotFound";
    case DecodingError::Case::keyNotFound: return "keyNotFound";
    case DecodingError::Case::dataCorrupted: return "dataCorrupted";
  }
  return "DecodingError";
}

}  // namespace

DecodingError::DecodingError(Case errorCase, std::string codingPath, std::string debugDescription)
    : case_(errorCase), codingPath_(std::move(codingPath)), debugDescription_(std::move(debugDescription)) {
  what_ = caseName(case_);
  what_ += " at \"" + codingPath_ + "\": " + debugDescription_;
}

DecodingError DecodingError::typeMismatch(std::string codingPath, std::string debugDescription) {
  return DecodingError(Case::typeMismatch, std::move(codingPath), std::move(debugDescription));
}

DecodingError DecodingError::valueNotFound(std::string codingPath, std::string debugDescription) {
  return DecodingError(Case::valueNotFound, std::move(codingPath), std::move(debugDescription));
}

DecodingError DecodingError::keyNotFound(std::string codingPath, std::string debugDescription) {
  return DecodingError(Case::keyNotFound, std::move(codingPath), std::move(debugDescription));
}

DecodingError DecodingError::dataCorrupted(std::string codingPath, std::string debugDescription) {
  return DecodingError(Case::dataCorrupted, std::move(codingPath), std::move(debugDescription));
}

}  // namespace platform::foundation
