#ifndef KAVRI_RESOURCE_FORK_EXTRACTION_H_
#define KAVRI_RESOURCE_FORK_EXTRACTION_H_

#include <cstddef>
#include <functional>

namespace kavri {

class ResourceForks;

// The command line that selects the extraction mode: exactly the program
// name, "--extract-resource-fork" (byte for byte) and one path. Every other
// command line, the option alone included, belongs to the application mode.
bool selectsResourceForkExtraction(int argc, const char* const* argv);

// The extraction mode: writes the resource fork of the file at `path` to
// standard output, exactly its bytes and nothing else, and returns the exit
// status: 0 once every byte was written and flushed, else 1 (no fork, an
// empty fork, an unreadable fork, a refused write). Logs nothing and writes
// nothing to standard error. Call once, from the main thread.
int extractResourceFork(const char* path);

// The same over given platform pieces: `writeAll` writes the whole fork and
// says whether every byte got out.
using ForkWriter = std::function<bool(const void* bytes, size_t size)>;
int extractResourceFork(const char* path, ResourceForks& forks, const ForkWriter& writeAll);

}  // namespace kavri

#endif  // KAVRI_RESOURCE_FORK_EXTRACTION_H_
