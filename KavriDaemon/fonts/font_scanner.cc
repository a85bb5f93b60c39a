#include "fonts/font_scanner.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fonts/font_traits.h"
#include "fonts/printable_text.h"
#include "platform/log.h"
#include "server/channel.h"
#include "server/utf8.h"

namespace kavri {
namespace {

// A face record. Member order carries no meaning; insertion order is kept
// because a small array of members is cheaper than a tree of them.
using Record = nlohmann::ordered_json;

bool hasText(const std::optional<std::string>& value) {
  return value.has_value() && isValidUtf8(*value);
}

// Strict about UTF-8 so a bad string fails here rather than reaching the
// server; the failure is reported as an empty result, never as a throw.
template <typename Json>
std::optional<std::string> serialise(const Json& value) {
  try {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

// The catalogue as compact JSON text: an object whose members are font file
// paths, each with the array of its face records. Records are serialised as
// they come and gathered as text under their path, paths in the order their
// first face came; a scan of thousands of faces then never holds, or frees,
// one large tree of JSON values.
class CatalogueWriter {
 public:
  void add(const std::string& path, const Record& record) {
    std::optional<std::string> text = serialise(record);
    if (!text) {
      failed_ = true;
      return;
    }
    auto [position, added] = positions_.try_emplace(path, files_.size());
    if (added) files_.push_back({path, std::string()});
    std::string& records = files_[position->second].second;
    if (!records.empty()) records += ',';
    records += *text;
  }

  // The whole catalogue on one line, or nothing when any part of it could
  // not be written.
  std::optional<std::string> finish() const {
    if (failed_) return std::nullopt;
    std::string out = "{";
    for (const auto& [path, records] : files_) {
      std::optional<std::string> key = serialise(nlohmann::json(path));
      if (!key) return std::nullopt;
      if (out.size() > 1) out += ',';
      out += *key;
      out += ":[";
      out += records;
      out += ']';
    }
    out += '}';
    return out;
  }

 private:
  std::vector<std::pair<std::string, std::string>> files_;  // path, its records
  std::unordered_map<std::string, size_t> positions_;       // path -> index in files_
  bool failed_ = false;
};

}  // namespace

FontScanner::FontScanner(FontSource& source) : source_(source) {}

void FontScanner::scanForFonts() {
  CatalogueWriter catalogue;
  logLine("font scanner found %d fonts", static_cast<int>(source_.availableFonts().size()));

  for (const ListedFont& listed : source_.availableFonts()) {
    // Names come from font files: made safe before they reach the log.
    auto name = [&] { return printableText(listed.name); };
    std::optional<FontDescription> font = source_.openFont(listed);
    if (!font) {
      logLine("ignoring bad font '%s', missing NSFont", name().c_str());
      continue;
    }
    // A path without a UTF-8 form counts as missing: one odd file name must
    // not cost the whole catalogue.
    if (!hasText(font->path) || !font->format || !hasText(font->family) || !hasText(font->style) ||
        !hasText(font->localizedFamily) || !hasText(font->localizedStyle) ||
        !isValidUtf8(listed.name)) {
      logLine("ignoring bad font '%s'", name().c_str());
      continue;
    }
    if (*font->format == FontFormat::kBitmap) {
      logLine("ignoring bitmap font '%s'", name().c_str());
      continue;
    }

    Record record = {
        {"family", *font->family},
        {"style", *font->style},
        {"postscript", listed.name},
        {"weight", CTWeightToCSSWeight(static_cast<double>(font->weight))},
        {"stretch", CTWidthToFontStretch(static_cast<double>(font->width))},
        {"italic", font->slant != 0.0f},
    };
    if (*font->family != *font->localizedFamily || *font->style != *font->localizedStyle) {
      record["localizedFamily"] = *font->localizedFamily;
      record["localizedStyle"] = *font->localizedStyle;
    }
    catalogue.add(*font->path, record);
  }

  std::optional<std::string> text = catalogue.finish();
  if (!text) return;
  text->push_back('\n');
  sendStringToServer(*text);
}

void FontScanner::fontSetChanged() { scanForFonts(); }

}  // namespace kavri
