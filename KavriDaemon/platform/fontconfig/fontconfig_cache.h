#ifndef KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_CACHE_H_
#define KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_CACHE_H_

// Linux-internal: what fontconfig's cache of a font directory tells, and
// when it can no longer be trusted.

#include <fontconfig/fontconfig.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// fontconfig's cache of `dir` under `config`, as it stands: when it was
// written (0 without one). Each font file it holds faces of, accepted or
// not, goes to `eachFile` (when given) in turn with those faces, all valid
// for the call.
int64_t readCache(const std::string& dir, FcConfig* config,
                  const std::function<void(std::string_view file,
                                           const std::vector<FcPattern*>& faces)>& eachFile);

// Whether fontconfig would trust a cache of `dir` that no longer describes
// it. fontconfig checks only the directory's time stamp: a file rewritten
// in place leaves it as it was, and a change in the second the cache was
// written can hide behind it. Dropping a cache costs a rescan of the
// directory, so only such caches are dropped.
bool cacheMayBeStale(const std::string& dir, FcConfig* config);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_CACHE_H_
