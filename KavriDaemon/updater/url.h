#ifndef KAVRI_UPDATER_URL_H_
#define KAVRI_UPDATER_URL_H_

#include <string>

namespace kavri {

// Whether `text` is an absolute URL: a scheme and what that scheme needs
// (a host for http and https), with nothing that URL syntax forbids, such
// as spaces. Says nothing of whether the updater may fetch it. Any thread.
bool isURL(const std::string& text);

}  // namespace kavri

#endif  // KAVRI_UPDATER_URL_H_
