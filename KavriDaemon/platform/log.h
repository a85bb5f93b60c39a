#ifndef KAVRI_PLATFORM_LOG_H_
#define KAVRI_PLATFORM_LOG_H_

#include <functional>
#include <string>

namespace kavri {

// The platform log: one line per event on standard error, written with a
// single write(2) as "YYYY-MM-DD HH:MM:SS.mmm KavriDaemon[PID:TID] message".
// Safe to call from any thread. Never give it a secret.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests may divert log messages (the bare message, without prefix or line
// feed). Install and remove it while no other thread logs.
using LogSink = std::function<void(const std::string& message)>;
void setLogSinkForTesting(LogSink sink);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_LOG_H_
