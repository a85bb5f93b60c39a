#include "platform/version_compare.h"

#include <vector>

namespace kavri {
namespace {

enum class PartType { kNumber, kString, kPeriod };

struct Part {
  PartType type;
  std::string_view text;
};

PartType typeOf(char c) {
  if (c >= '0' && c <= '9') return PartType::kNumber;
  if (c == '.') return PartType::kPeriod;
  return PartType::kString;
}

std::vector<Part> splitVersion(std::string_view version) {
  std::vector<Part> parts;
  size_t start = 0;
  for (size_t i = 1; i <= version.size(); ++i) {
    // Every period stands alone, so "1..2" keeps both of its periods.
    if (i == version.size() || typeOf(version[i]) != typeOf(version[start]) ||
        typeOf(version[start]) == PartType::kPeriod) {
      parts.push_back({typeOf(version[start]), version.substr(start, i - start)});
      start = i;
    }
  }
  return parts;
}

std::string_view withoutLeadingZeros(std::string_view digits) {
  size_t first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

// Digit runs may be longer than any integer type; compare them as text.
int compareNumbers(std::string_view a, std::string_view b) {
  a = withoutLeadingZeros(a);
  b = withoutLeadingZeros(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool isZeroOrPeriod(const Part& part) {
  return part.type == PartType::kPeriod ||
         (part.type == PartType::kNumber && withoutLeadingZeros(part.text).empty());
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  std::vector<Part> partsA = splitVersion(a);
  std::vector<Part> partsB = splitVersion(b);
  size_t common = std::min(partsA.size(), partsB.size());
  for (size_t i = 0; i < common; ++i) {
    const Part& pa = partsA[i];
    const Part& pb = partsB[i];
    if (pa.type == pb.type) {
      int c = 0;
      if (pa.type == PartType::kNumber) c = compareNumbers(pa.text, pb.text);
      if (pa.type == PartType::kString) c = pa.text.compare(pb.text);
      if (c != 0) return c < 0 ? -1 : 1;
      continue;
    }
    // Different kinds at the same place: a number outranks a period, and
    // both outrank a string (a pre-release tag).
    if (pb.type == PartType::kString) return 1;
    if (pa.type == PartType::kString) return -1;
    return pa.type == PartType::kNumber ? 1 : -1;
  }
  const std::vector<Part>& longer = partsA.size() > partsB.size() ? partsA : partsB;
  int longerSign = partsA.size() > partsB.size() ? 1 : -1;
  for (size_t i = common; i < longer.size(); ++i) {
    if (isZeroOrPeriod(longer[i])) continue;
    return longer[i].type == PartType::kString ? -longerSign : longerSign;
  }
  return 0;
}

}  // namespace kavri
