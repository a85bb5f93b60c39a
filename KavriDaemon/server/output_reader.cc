#include "server/output_reader.h"

#include "platform/log.h"
#include "base/utf8.h"

namespace kavri {
namespace {

constexpr std::string_view kCheckForUpdates = "CHECK FOR UPDATES";

}  // namespace

OutputReader::OutputReader(std::function<void()> checkForUpdates)
    : checkForUpdates_(std::move(checkForUpdates)), lines_([this](std::string_view line) { actOnLine(line); }, this) {}

void OutputReader::actOnLine(std::string_view line) {
  // The command is ASCII, so byte equality already implies valid UTF-8; the
  // check keeps the rule explicit for any command added later.
  if (line != kCheckForUpdates || !isValidUtf8(line)) return;
  checkForUpdates_();
}

void OutputReader::lineDropped(size_t bytes) {
  logLine("ignoring a line of %zu bytes from kavri-node (longer than %zu)", bytes,
          LineReader::kMaxLineBytes);
}

}  // namespace kavri
