#include "fonts/font_scanner.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "fonts/font_traits.h"
#include "fonts/printable_text.h"
#include "platform/log.h"
#include "server/channel.h"
#include "server/utf8.h"

namespace kavri {
namespace {

// Member order carries no meaning; a sorted map finds a path's list quickly.
using Catalogue = nlohmann::json;

bool hasText(const std::optional<std::string>& value) {
  return value.has_value() && isValidUtf8(*value);
}

// Strict about UTF-8 so a bad string fails here rather than reaching the
// server; the failure is reported as an empty result, never as a throw.
std::optional<std::string> serialise(const Catalogue& catalogue) {
  try {
    return catalogue.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

FontScanner::FontScanner(FontSource& source) : source_(source) {}

void FontScanner::scanForFonts() {
  Catalogue catalogue = Catalogue::object();
  logLine("font scanner found %d fonts", static_cast<int>(source_.availableFonts().size()));

  for (const ListedFont& listed : source_.availableFonts()) {
    std::string name = printableText(listed.name);
    std::optional<FontDescription> font = source_.openFont(listed);
    if (!font) {
      logLine("ignoring bad font '%s', missing NSFont", name.c_str());
      continue;
    }
    // A path without a UTF-8 form counts as missing: one odd file name must
    // not cost the whole catalogue.
    if (!hasText(font->path) || !font->format || !hasText(font->family) ||
        !hasText(font->style) || !hasText(font->localizedFamily) ||
        !hasText(font->localizedStyle) || !isValidUtf8(listed.name)) {
      logLine("ignoring bad font '%s'", name.c_str());
      continue;
    }
    if (*font->format == FontFormat::kBitmap) {
      logLine("ignoring bitmap font '%s'", name.c_str());
      continue;
    }

    Catalogue record = {
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
    Catalogue& faces = catalogue[*font->path];
    if (faces.is_null()) faces = Catalogue::array();
    faces.push_back(std::move(record));
  }

  std::optional<std::string> text = serialise(catalogue);
  if (!text) return;
  text->push_back('\n');
  sendStringToServer(*text);
}

void FontScanner::fontSetChanged() { scanForFonts(); }

}  // namespace kavri
