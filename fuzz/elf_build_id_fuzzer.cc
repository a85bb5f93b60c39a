// libFuzzer target for the build-id reader: any bytes give an answer without
// a crash, and an id it finds is lowercase hex of a sane length.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/elf_build_id.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string err;
  auto id = kavri::elfBuildId(
      size,
      [data, size](uint64_t offset, std::span<uint8_t> into) {
        if (offset > size || into.size() > size - offset) return false;
        std::memcpy(into.data(), data + offset, into.size());
        return true;
      },
      &err);
  if (id) {
    if (id->empty() || id->size() > 128 || id->size() % 2 != 0) abort();
    if (id->find_first_not_of("0123456789abcdef") != std::string::npos) abort();
  } else if (err.empty()) {
    abort();
  }
  return 0;
}
