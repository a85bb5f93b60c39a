#include "resource_fork_extraction.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/resource_fork.h"
#include "platform/standard_output.h"

namespace kavri {

bool selectsResourceForkExtraction(int argc, const char* const* argv) {
  return argc == 3 && argv[1] && argv[2] && std::strcmp(argv[1], "--extract-resource-fork") == 0;
}

int extractResourceFork(const char* path) {
  return extractResourceFork(path, ResourceForks::shared(), writeAllToStandardOutput);
}

int extractResourceFork(const char* path, ResourceForks& forks, const ForkWriter& writeAll) {
  std::string forkName;
  if (!forks.resourceForkName(&forkName)) return 1;
  std::optional<FileReference> file = forks.resolvePath(path);
  if (!file) return 1;
  std::unique_ptr<OpenFork> fork = forks.openFork(*file, forkName);
  if (!fork) return 1;

  // Every early return below closes the fork on the way out.
  int64_t length = 0;
  if (!fork->length(&length) || length <= 0) return 1;
  if (static_cast<uint64_t>(length) > SIZE_MAX) return 1;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(length)]);
  if (!buffer) return 1;
  int64_t bytesRead = 0;
  if (!fork->readFromStart(buffer.get(), length, &bytesRead) || bytesRead != length) return 1;
  fork.reset();

  return writeAll(buffer.get(), static_cast<size_t>(length)) ? 0 : 1;
}

}  // namespace kavri
