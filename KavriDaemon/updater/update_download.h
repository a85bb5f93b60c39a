#ifndef KAVRI_UPDATER_UPDATE_DOWNLOAD_H_
#define KAVRI_UPDATER_UPDATE_DOWNLOAD_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kavri {

// Bounds on one download. The byte limit is enforced as the bytes arrive,
// whatever the server declares.
struct DownloadLimits {
  uint64_t maxBytes = 0;
  std::chrono::seconds connectTimeout{30};
  // Ends a transfer that moves no byte for this long.
  std::chrono::seconds stallTimeout{60};
  std::chrono::seconds totalTimeout{30 * 60};
};

// Whether the updater may fetch `url`: https with verified TLS anywhere, plain
// http only to a loopback host (localhost, 127.0.0.0/8, ::1). Any thread.
bool isPermittedUpdateURL(const std::string& url, std::string* err);

// Receives the body in order; returning false ends the download as failed.
using DownloadSink = std::function<bool(std::string_view chunk)>;

// Fetches `url` with GET and hands a 2xx response body to `sink`. Redirects
// (at most 5) are followed only to addresses isPermittedUpdateURL allows;
// plain http must also connect to a loopback address. Fails (false, reason
// in `err`) on a refused address, a connection or TLS failure, a non-2xx
// status, a body larger than `limits.maxBytes`, a truncated body, a timeout,
// or when `cancel` becomes true. Blocks the calling thread; any thread.
bool download(const std::string& url, const DownloadLimits& limits, const DownloadSink& sink,
              const std::atomic<bool>* cancel, std::string* err);

// The whole body into `body`.
bool downloadToString(const std::string& url, const DownloadLimits& limits, std::string* body,
                      const std::atomic<bool>* cancel, std::string* err);

// The whole body written to `fd` (which the caller owns) from its offset on.
bool downloadToFile(const std::string& url, const DownloadLimits& limits, int fd,
                    const std::atomic<bool>* cancel, std::string* err);

}  // namespace kavri

#endif  // KAVRI_UPDATER_UPDATE_DOWNLOAD_H_
