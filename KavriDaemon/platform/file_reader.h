#ifndef KAVRI_PLATFORM_FILE_READER_H_
#define KAVRI_PLATFORM_FILE_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace kavri {

// Reads the file at `path` from its start to its end, handing each chunk
// to `onChunk` in order on the calling thread, so a file of any size is read
// in a fixed amount of memory. `onChunk` returns false to stop early.
// Returns true when the whole file was handed over; false, with the reason
// in `err`, when it cannot be opened or read, is not a regular file, or
// `onChunk` stopped. Any thread.
bool readFileInChunks(const std::string& path,
                      const std::function<bool(const unsigned char* data, size_t size)>& onChunk,
                      std::string* err);

// Fills `into` from `offset` of the open file `fd`, looping over short
// reads; false at an error or at the end of the file first. Any thread.
bool readFullyAt(int fd, uint64_t offset, std::span<uint8_t> into);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FILE_READER_H_
