#include "updater/version_compare.h"

#include <vector>

namespace kavri {
namespace {

enum class PartType { kNumber, kString };

struct Part {
  PartType type;
  std::string_view text;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Runs of digits and runs of other characters; periods only separate them.
std::vector<Part> splitVersion(std::string_view version) {
  std::vector<Part> parts;
  size_t i = 0;
  while (i < version.size()) {
    if (version[i] == '.') {
      ++i;
      continue;
    }
    bool digits = isDigit(version[i]);
    size_t end = i;
    while (end < version.size() && version[end] != '.' && isDigit(version[end]) == digits) ++end;
    parts.push_back({digits ? PartType::kNumber : PartType::kString, version.substr(i, end - i)});
    i = end;
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

// Parts order as: any string (a pre-release tag, bytewise among
// themselves) < a missing part = 0 < 1 < 2 ... A missing part thus counts
// as zero, which makes "1.0" equal "1.0.0" and "1.0b1" older than "1.0", and
// keeps the order consistent (transitive) for any input.
int compareParts(const Part* a, const Part* b) {
  bool aString = a && a->type == PartType::kString;
  bool bString = b && b->type == PartType::kString;
  if (aString && bString) {
    int c = a->text.compare(b->text);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  if (aString) return -1;
  if (bString) return 1;
  return compareNumbers(a ? a->text : "0", b ? b->text : "0");
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  std::vector<Part> partsA = splitVersion(a);
  std::vector<Part> partsB = splitVersion(b);
  for (size_t i = 0; i < std::max(partsA.size(), partsB.size()); ++i) {
    int c = compareParts(i < partsA.size() ? &partsA[i] : nullptr,
                         i < partsB.size() ? &partsB[i] : nullptr);
    if (c != 0) return c;
  }
  return 0;
}

}  // namespace kavri
