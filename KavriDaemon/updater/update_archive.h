#ifndef KAVRI_UPDATER_UPDATE_ARCHIVE_H_
#define KAVRI_UPDATER_UPDATE_ARCHIVE_H_

#include <cstdint>
#include <string>

namespace kavri {

struct UnpackLimits {
  uint64_t maxTotalBytes = uint64_t{1} << 30;  // file contents, as unpacked
  uint64_t maxEntries = 100000;
};

// Unpacks the tar (plain, gzip, bzip2, xz or zstd) or zip archive open as
// `archiveFd` (owned by the caller, read from its start) into the empty
// directory `destinationDir`. Only regular files, directories, symbolic links
// and hard links to files already unpacked are made; nothing is written
// outside the destination and no path component is followed through a link.
// Each top-level directory is a bundle to be installed on its own, so every
// symbolic link must resolve inside the top-level directory that holds it.
// Modes are the archive's, less group and other write, and the umask
// applies. The archive is refused as unsafe (false, reason in `err`) at the
// first absolute name, ".." component, link at the top level or leading
// out of its top-level directory, device, fifo or socket, set-user-id or
// set-group-id bit, duplicate file, or when it exceeds `limits` (counted as
// the data inflates, so a compression bomb stops early). On failure the
// destination may hold part of the archive; the caller removes it. Any
// thread.
bool unpackArchive(int archiveFd, const std::string& destinationDir, const UnpackLimits& limits,
                   std::string* err);

}  // namespace kavri

#endif  // KAVRI_UPDATER_UPDATE_ARCHIVE_H_
