// libFuzzer target for the AppleDouble sidecar reader: any bytes give an
// answer without a crash, and a fork it finds lies inside the input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/apple_double.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> file(data, size);
  auto fork = kavri::findAppleDoubleResourceFork(file);
  if (fork) {
    if (fork->offset > size || fork->length > size - fork->offset) abort();
    kavri::isBlankResourceFork(file.subspan(fork->offset, fork->length));
  }

  // The reader form, as the platform uses it, must agree with the in-memory one.
  auto viaReader = kavri::findAppleDoubleResourceFork(size, [file](uint64_t offset, std::span<uint8_t> into) {
    if (offset > file.size() || into.size() > file.size() - offset) return false;
    std::memcpy(into.data(), file.data() + offset, into.size());
    return true;
  });
  if (fork.has_value() != viaReader.has_value()) abort();
  if (fork && (fork->offset != viaReader->offset || fork->length != viaReader->length)) abort();

  kavri::isBlankResourceFork(file);
  return 0;
}
