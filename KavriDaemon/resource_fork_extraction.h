#ifndef KAVRI_RESOURCE_FORK_EXTRACTION_H_
#define KAVRI_RESOURCE_FORK_EXTRACTION_H_

namespace kavri {

// The extraction mode: writes the resource fork of `path` to standard output
// and returns the exit status (0 when every byte was written, else 1).
// Logs nothing and writes nothing to standard error.
int extractResourceFork(const char* path);

}  // namespace kavri

#endif  // KAVRI_RESOURCE_FORK_EXTRACTION_H_
