#include "updater/update_download.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace kavri {
namespace {

constexpr int kMaxRedirects = 5;
// Bodies of redirects and error pages are read and dropped, up to this much.
constexpr uint64_t kMaxDiscardedBytes = 64 * 1024;

using EasyHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using URLHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;
using StringList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
using AddressList = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool setError(std::string* err, const std::string& why) {
  if (err) *err = why;
  return false;
}

bool isLoopbackAddress(const std::string& address) {
  in_addr v4;
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
    return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6;
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

std::string urlPart(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || !text) return "";
  std::string result(text);
  curl_free(text);
  return result;
}

struct Transfer {
  CURL* curl = nullptr;
  const DownloadLimits* limits = nullptr;
  const DownloadSink* sink = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  bool plainHttp = false;
  uint64_t received = 0;
  uint64_t receivedAtLastProgress = 0;
  std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
  std::string error;  // our own reason for ending the transfer
};

size_t onBody(char* data, size_t size, size_t count, void* context) {
  auto* t = static_cast<Transfer*>(context);
  size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  bool wanted = status >= 200 && status < 300;
  uint64_t limit = wanted ? t->limits->maxBytes : kMaxDiscardedBytes;
  if (t->received > limit || n > limit - t->received) {
    t->error = "response larger than " + std::to_string(limit) + " bytes";
    return 0;
  }
  t->received += n;
  if (wanted && !(*t->sink)(std::string_view(data, n))) {
    if (t->error.empty()) t->error = "could not store the response";
    return 0;
  }
  return n;
}

int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(context);
  if (t->cancel && t->cancel->load(std::memory_order_relaxed)) {
    t->error = "cancelled";
    return 1;
  }
  // curl's own low-speed check averages over several seconds; a stall here
  // is no byte at all for the whole allowance, counted from the start.
  auto now = std::chrono::steady_clock::now();
  if (t->received != t->receivedAtLastProgress) {
    t->receivedAtLastProgress = t->received;
    t->lastProgress = now;
  } else if (now - t->lastProgress >= t->limits->stallTimeout) {
    t->error = "timed out: no data for " + std::to_string(t->limits->stallTimeout.count()) + " s";
    return 1;
  }
  return 0;
}

// A name that resolves to loopback today may not tomorrow; the address
// actually connected to decides.
int beforeRequest(void* context, char* primaryIP, char*, int, int) {
  auto* t = static_cast<Transfer*>(context);
  if (t->plainHttp && !isLoopbackAddress(primaryIP)) {
    t->error = std::string("plain http to a non-loopback address (") + primaryIP + ")";
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

bool isAddress(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The URL's host name resolved here, on the calling thread, as a
// CURLOPT_RESOLVE entry ("host:port:address,..."); empty for an address.
// curl would resolve it on a thread of its own, which it leaves running
// when a transfer ends before the answer: code of a library that the agent
// unloads between checks. False with the reason in *err.
bool resolveHere(const std::string& url, std::string* entry, std::string* err) {
  entry->clear();
  URLHandle parsed(curl_url(), &curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return setError(err, "not a URL: " + url);
  std::string host = urlPart(parsed.get(), CURLUPART_HOST);
  char* portText = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_PORT, &portText, CURLU_DEFAULT_PORT) != CURLUE_OK)
    return setError(err, "no port for " + url);
  std::string port(portText);
  curl_free(portText);
  if (isAddress(host)) return true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  AddressList addresses(found, &freeaddrinfo);
  if (status != 0) return setError(err, "cannot resolve " + host + ": " + gai_strerror(status));
  std::string list;
  for (addrinfo* a = found; a; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = "";
    const void* address = a->ai_family == AF_INET
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
        !inet_ntop(a->ai_family, address, text, sizeof text))
      continue;
    std::string one = a->ai_family == AF_INET6 ? "[" + std::string(text) + "]" : text;
    if (("," + list + ",").find("," + one + ",") == std::string::npos)
      list += (list.empty() ? "" : ",") + one;
  }
  if (list.empty()) return setError(err, "cannot resolve " + host + ": no address");
  *entry = host + ":" + port + ":" + list;
  return true;
}

// One request, no redirects followed. On a redirect, `location` is set.
bool fetchOnce(const std::string& url, bool plainHttp, const DownloadLimits& limits,
               const DownloadSink& sink, const std::atomic<bool>* cancel, std::string* location,
               std::string* err) {
  std::string resolved;
  if (!resolveHere(url, &resolved, err)) return false;
  StringList resolve(resolved.empty() ? nullptr : curl_slist_append(nullptr, resolved.c_str()),
                     &curl_slist_free_all);
  if (!resolved.empty() && !resolve) return setError(err, "cannot start a transfer");
  EasyHandle curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) return setError(err, "cannot start a transfer");
  Transfer t;
  t.curl = curl.get();
  t.limits = &limits;
  t.sink = &sink;
  t.cancel = cancel;
  t.plainHttp = plainHttp;
  char errorBuffer[CURL_ERROR_SIZE] = "";

  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "KavriDaemon-updater");
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectTimeout.count()));
  curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(limits.totalTimeout.count()));
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, &beforeRequest);
  curl_easy_setopt(c, CURLOPT_PREREQDATA, &t);
  curl_easy_setopt(c, CURLOPT_RESOLVE, resolve.get());

  CURLcode result = curl_easy_perform(c);
  if (result != CURLE_OK) {
    if (!t.error.empty()) return setError(err, t.error);
    if (result == CURLE_FILESIZE_EXCEEDED)
      return setError(err, "response larger than " + std::to_string(limits.maxBytes) + " bytes");
    std::string why = curl_easy_strerror(result);
    if (errorBuffer[0]) why += std::string(": ") + errorBuffer;
    return setError(err, why);
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 300 && status < 400) {
    char* next = nullptr;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &next);
    if (!next) return setError(err, "HTTP status " + std::to_string(status) + " without a location");
    *location = next;
    return true;
  }
  if (status < 200 || status >= 300) return setError(err, "HTTP status " + std::to_string(status));
  location->clear();
  return true;
}

bool checkURL(const std::string& url, bool* plainHttp, std::string* err) {
  initializeCurlOnce();
  URLHandle parsed(curl_url(), &curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return setError(err, "not a URL: " + url);
  std::string scheme = urlPart(parsed.get(), CURLUPART_SCHEME);
  *plainHttp = scheme == "http";
  if (scheme == "https") return true;
  if (scheme != "http") return setError(err, "not an http(s) URL: " + url);
  std::string host = urlPart(parsed.get(), CURLUPART_HOST);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host == "localhost" || isLoopbackAddress(host)) return true;
  return setError(err, "plain http allowed only to loopback: " + url);
}

}  // namespace

bool isPermittedUpdateURL(const std::string& url, std::string* err) {
  bool plainHttp = false;
  return checkURL(url, &plainHttp, err);
}

bool download(const std::string& url, const DownloadLimits& limits, const DownloadSink& sink,
              const std::atomic<bool>* cancel, std::string* err) {
  initializeCurlOnce();
  std::string current = url;
  for (int hop = 0; hop <= kMaxRedirects; ++hop) {
    std::string why;
    bool plainHttp = false;
    if (!checkURL(current, &plainHttp, &why))
      return setError(err, hop == 0 ? why : "redirect refused: " + why);
    std::string location;
    if (!fetchOnce(current, plainHttp, limits, sink, cancel, &location, err)) return false;
    if (location.empty()) return true;
    current = location;
  }
  return setError(err, "too many redirects");
}

bool downloadToString(const std::string& url, const DownloadLimits& limits, std::string* body,
                      const std::atomic<bool>* cancel, std::string* err) {
  body->clear();
  return download(
      url, limits,
      [body](std::string_view chunk) {
        body->append(chunk);
        return true;
      },
      cancel, err);
}

bool downloadToFile(const std::string& url, const DownloadLimits& limits, int fd,
                    const std::atomic<bool>* cancel, std::string* err) {
  std::string writeError;
  bool ok = download(
      url, limits,
      [fd, &writeError](std::string_view chunk) {
        while (!chunk.empty()) {
          ssize_t n = write(fd, chunk.data(), chunk.size());
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) {
            writeError = std::string("cannot write the download: ") + strerror(errno);
            return false;
          }
          chunk.remove_prefix(static_cast<size_t>(n));
        }
        return true;
      },
      cancel, err);
  if (!ok && !writeError.empty() && err) *err = writeError;
  return ok;
}

}  // namespace kavri
