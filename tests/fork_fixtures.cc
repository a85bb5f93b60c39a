#include "fork_fixtures.h"

#include <stdexcept>

#include "test_util.h"

namespace kavri::testing {

void putBigEndian(std::string& out, size_t at, uint64_t value, int bytes) {
  if (out.size() < at + bytes) out.resize(at + bytes, '\0');
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[at + i] = static_cast<char>(value & 0xff);
}

std::string appleDouble(const std::vector<AppleDoubleEntry>& entries, uint32_t version) {
  std::string file;
  putBigEndian(file, 0, 0x00051607, 4);
  putBigEndian(file, 4, version, 4);
  file.replace(8, 16, "Mac OS X        ");
  putBigEndian(file, 24, entries.size(), 2);
  size_t offset = 26 + 12 * entries.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    putBigEndian(file, 26 + 12 * i, entries[i].id, 4);
    putBigEndian(file, 30 + 12 * i, offset, 4);
    putBigEndian(file, 34 + 12 * i, entries[i].data.size(), 4);
    offset += entries[i].data.size();
  }
  for (const auto& entry : entries) file += entry.data;
  return file;
}

std::string macOsSidecar(const std::string& fork, const std::vector<std::pair<std::string, std::string>>& attributes) {
  constexpr size_t kFinderInfoAt = 0x32;
  constexpr size_t kAttrHeaderAt = kFinderInfoAt + 32 + 2;  // Finder info, then 2 bytes of padding
  constexpr size_t kAttrEntriesAt = kAttrHeaderAt + 36;
  constexpr size_t kClassicForkAt = 0xEE2;

  // Entries: offset, length, flags, name length (with its NUL), name; each
  // aligned to 4 bytes. Data follows all entries.
  std::string entries;
  size_t entriesEnd = kAttrEntriesAt;
  for (const auto& [name, value] : attributes) {
    (void)value;
    entriesEnd = (entriesEnd + 11 + name.size() + 1 + 3) & ~size_t{3};
  }
  std::string block(entriesEnd, '\0');
  std::string data;
  size_t at = kAttrEntriesAt;
  for (const auto& [name, value] : attributes) {
    putBigEndian(block, at, entriesEnd + data.size(), 4);
    putBigEndian(block, at + 4, value.size(), 4);
    putBigEndian(block, at + 8, 0, 2);
    putBigEndian(block, at + 10, name.size() + 1, 1);
    block.replace(at + 11, name.size(), name);
    at = (at + 11 + name.size() + 1 + 3) & ~size_t{3};
    data += value;
  }
  size_t forkAt = std::max(kClassicForkAt, entriesEnd + data.size());

  std::string file = block + data;
  file.resize(forkAt, '\0');
  putBigEndian(file, 0, 0x00051607, 4);
  putBigEndian(file, 4, 0x00020000, 4);
  file.replace(8, 16, "Mac OS X        ");
  putBigEndian(file, 24, 2, 2);
  putBigEndian(file, 26, 9, 4);  // Finder info, holding the attribute block
  putBigEndian(file, 30, kFinderInfoAt, 4);
  putBigEndian(file, 34, forkAt - kFinderInfoAt, 4);
  putBigEndian(file, 38, 2, 4);  // the resource fork
  putBigEndian(file, 42, forkAt, 4);
  putBigEndian(file, 46, fork.size(), 4);

  file.replace(kAttrHeaderAt, 4, "ATTR");
  putBigEndian(file, kAttrHeaderAt + 4, 0, 4);  // debug tag
  putBigEndian(file, kAttrHeaderAt + 8, forkAt, 4);  // total size
  putBigEndian(file, kAttrHeaderAt + 12, entriesEnd, 4);  // data start
  putBigEndian(file, kAttrHeaderAt + 16, data.size(), 4);  // data length
  putBigEndian(file, kAttrHeaderAt + 34, attributes.size(), 2);
  return file + fork;
}

std::string blankResourceFork() {
  std::string fork(286, '\0');
  putBigEndian(fork, 0, 0x100, 4);   // data offset
  putBigEndian(fork, 4, 0x100, 4);   // map offset
  putBigEndian(fork, 8, 0, 4);       // data length
  putBigEndian(fork, 12, 0x1e, 4);   // map length
  fork.replace(16, 46, "This resource fork intentionally left blank   ");
  putBigEndian(fork, 256 + 24, 0x1c, 2);    // type list offset
  putBigEndian(fork, 256 + 26, 0x1e, 2);    // name list offset
  putBigEndian(fork, 256 + 28, 0xffff, 2);  // no types
  return fork;
}

std::string dejaVuFont() {
  std::string font = readFile(kDejaVuFontPath);
  if (font.size() < 100000) throw std::runtime_error(std::string("missing ") + kDejaVuFontPath);
  return font;
}

}  // namespace kavri::testing
