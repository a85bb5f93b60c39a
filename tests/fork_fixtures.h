#ifndef KAVRI_TESTS_FORK_FIXTURES_H_
#define KAVRI_TESTS_FORK_FIXTURES_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Resource-fork files as macOS and other tools lay them out, built byte by
// byte from the published AppleDouble version 2 format and the Resource
// Manager's file format.
namespace kavri::testing {

struct AppleDoubleEntry {
  uint32_t id;
  std::string data;
};

// An AppleDouble file with these entries, their data laid out one after
// another in the order given, right after the entry table.
std::string appleDouble(const std::vector<AppleDoubleEntry>& entries, uint32_t version = 0x00020000);

// The sidecar as macOS writes it: Finder info (with the extended-attribute
// block "ATTR" holding `attributes`) padded so the resource fork starts at
// 0xEE2, then the fork.
std::string macOsSidecar(const std::string& fork,
                         const std::vector<std::pair<std::string, std::string>>& attributes = {});

// The 286-byte blank resource fork macOS writes for a file that has none.
std::string blankResourceFork();

// A real TrueType font from fonts-dejavu-core.
std::string dejaVuFont();
inline constexpr char kDejaVuFontPath[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

// Stores `bytes` big-endian into `out` at `at`.
void putBigEndian(std::string& out, size_t at, uint64_t value, int bytes);

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_FORK_FIXTURES_H_
