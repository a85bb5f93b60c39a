#ifndef KAVRI_PLATFORM_RESOURCE_FORK_H_
#define KAVRI_PLATFORM_RESOURCE_FORK_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kavri {

// One fork of one file, open for reading. Destroying it closes it; nothing of
// the fork stays open afterwards. Used by one thread at a time.
class OpenFork {
 public:
  virtual ~OpenFork() = default;

  // The fork's length in bytes, as it was when the fork was opened. False
  // when it cannot be told.
  virtual bool length(int64_t* bytes) = 0;

  // One read of up to `count` bytes from the very start of the fork into
  // `buffer`; `*bytesRead` says how many arrived (fewer at the fork's end).
  // False on a read error.
  virtual bool readFromStart(void* buffer, int64_t count, int64_t* bytesRead) = 0;
};

// A file that exists, as the platform names it once a path is resolved.
struct FileReference {
  std::string path;  // absolute, free of links, "." and ".."
};

// The platform's resource forks: the operations of the extraction mode, each
// of which either succeeds or fails.
//
// On Linux a file's resource fork is the first non-empty one of: the
// AppleDouble sidecar "._NAME" beside it, "PATH/rsrc" (the hfs driver's
// view), the extended attribute "user.com.apple.ResourceFork". A blank
// placeholder fork counts as none. A sidecar is taken only when it is a
// regular file reached without following a link and passes every check of
// findAppleDoubleResourceFork; anything else is no fork from that source.
class ResourceForks {
 public:
  virtual ~ResourceForks() = default;

  // The name under which openFork() finds a file's resource fork. False when
  // the platform has none.
  virtual bool resourceForkName(std::string* name) = 0;

  // The file `path` (bytes, relative to the working directory or absolute)
  // names, following links. Whether it is a directory is not tested here.
  // Nullopt when no such file exists or it cannot be reached.
  virtual std::optional<FileReference> resolvePath(const char* path) = 0;

  // Opens the fork called `forkName` of `file` read-only. Nullptr when the
  // file has no such fork, the fork is empty (or the blank placeholder), the
  // file is a directory, or the fork cannot be opened.
  virtual std::unique_ptr<OpenFork> openFork(const FileReference& file, const std::string& forkName) = 0;

  // The platform's implementation; lives for the whole process.
  static ResourceForks& shared();
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_RESOURCE_FORK_H_
