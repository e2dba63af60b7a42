#include "connection/certificate/der_node.hpp"

#include "connection/transport/connection_error.hpp"

#include <cstddef>

namespace corvanta {
namespace {

constexpr std::uint8_t utcTimeTag = 0x17;
constexpr std::uint8_t generalizedTimeTag = 0x18;

[[noreturn]] void refuse() { throw ConnectionError::invalidCertificate; }

// Days from 1970-01-01 to the given proleptic Gregorian date (the era-based civil algorithm).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool isLeapYear(unsigned year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned daysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

}  // namespace

std::vector<DERNode> DERNode::elements(platform::ByteView bytes) {
  std::vector<DERNode> nodes;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    if (bytes.size() - offset < 2) {
      refuse();
    }
    const std::uint8_t tag = bytes[offset++];
    if ((tag & 0x1F) == 0x1F) {
      refuse();
    }
    const std::uint8_t first = bytes[offset++];
    std::size_t length = first;
    if (first >= 0x80) {
      const std::size_t count = first & 0x7F;
      if (count < 1 || count > 3 || bytes.size() - offset < count || bytes[offset] == 0) {
        refuse();
      }
      length = 0;
      for (std::size_t i = 0; i < count; ++i) {
        length = (length << 8) | bytes[offset++];
      }
      if (length < 0x80) {
        refuse();
      }
    }
    if (bytes.size() - offset < length) {
      refuse();
    }
    nodes.push_back(DERNode{tag, bytes.subspan(offset, length)});
    offset += length;
  }
  return nodes;
}

std::chrono::sys_seconds DERNode::date() const {
  if (value.empty() || value.back() != 'Z') {
    refuse();
  }
  std::size_t yearDigits = 0;
  switch (tag) {
    case utcTimeTag: yearDigits = 2; break;
    case generalizedTimeTag: yearDigits = 4; break;
    default: refuse();
  }
  if (value.size() != yearDigits + 11) {
    refuse();
  }
  for (std::size_t i = 0; i + 1 < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') {
      refuse();
    }
  }

  std::size_t position = 0;
  const auto number = [&](std::size_t digits) {
    unsigned result = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      result = result * 10 + static_cast<unsigned>(value[position++] - '0');
    }
    return result;
  };
  unsigned year = number(yearDigits);
  if (tag == utcTimeTag) {
    year += year >= 50 ? 1900 : 2000;
  }
  const unsigned month = number(2);
  const unsigned day = number(2);
  const unsigned hour = number(2);
  const unsigned minute = number(2);
  const unsigned second = number(2);

  // Only values that name themselves are dates: nothing may carry over into the next field.
  // The calendar has no year 0 (1 BC is followed by AD 1), so 0000 names no year either.
  if (year == 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    refuse();
  }
  const std::int64_t days = daysFromCivil(year, month, day);
  return std::chrono::sys_seconds{std::chrono::seconds{days * 86400 + hour * 3600 + minute * 60 + second}};
}

}  // namespace corvanta
