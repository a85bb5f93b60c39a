#include "updater/url.h"

#include <curl/curl.h>

#include <memory>

namespace kavri {

bool isURL(const std::string& text) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
  if (!url || text.empty()) return false;
  // Strict parsing: no scheme guessed, no space or control byte accepted.
  return curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) ==
         CURLUE_OK;
}

}  // namespace kavri
