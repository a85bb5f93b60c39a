#include "platform/log.h"

#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace kavri {
namespace {

LogSink& testSink() {
  static LogSink sink;
  return sink;
}

// Messages longer than this are cut; a log line is never a transport.
constexpr size_t kMaxMessageBytes = 4096;

}  // namespace

void setLogSinkForTesting(LogSink sink) { testSink() = std::move(sink); }

void logLine(const char* format, ...) {
  char message[kMaxMessageBytes];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (n < 0) return;

  if (testSink()) {
    testSink()(message);
    return;
  }

  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  char line[kMaxMessageBytes + 128];
  int len = snprintf(line, sizeof line, "%s.%03d KavriDaemon[%d:%d] %s\n", stamp,
                     static_cast<int>(now.tv_usec / 1000), static_cast<int>(getpid()),
                     static_cast<int>(gettid()), message);
  if (len < 0) return;
  size_t size = static_cast<size_t>(len) < sizeof line ? static_cast<size_t>(len) : sizeof line - 1;
  if (size == sizeof line - 1) line[size - 1] = '\n';
  // One write keeps lines from different threads whole.
  ssize_t ignored;
  do {
    ignored = write(STDERR_FILENO, line, size);
  } while (ignored < 0 && errno == EINTR);
}

}  // namespace kavri
