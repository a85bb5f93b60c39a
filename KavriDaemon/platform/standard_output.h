#ifndef KAVRI_PLATFORM_STANDARD_OUTPUT_H_
#define KAVRI_PLATFORM_STANDARD_OUTPUT_H_

#include <cstddef>

namespace kavri {

// Writes all `size` bytes of `bytes` to standard output, unbuffered, and,
// when standard output is a regular file, has them reach the disk. False when
// any byte could not be written or the disk refused them (a full disk, a
// reader that has gone away, a closed descriptor).
//
// A reader that has gone away yields false rather than ending the process:
// SIGPIPE is ignored from the first call on, for the rest of the process.
// Meant for one-shot command-line modes; call from the main thread.
bool writeAllToStandardOutput(const void* bytes, size_t size);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_STANDARD_OUTPUT_H_
