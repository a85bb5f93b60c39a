#include "fonts/font_scanner.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fonts/catalogue_writer.h"
#include "fonts/font_traits.h"
#include "fonts/printable_text.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "server/channel.h"
#include "base/utf8.h"

namespace kavri {
namespace {

bool hasText(const std::optional<std::string>& value) {
  return value.has_value() && isValidUtf8(*value);
}

// A skip line, logged now and kept for the scans that reuse its file.
void skip(std::vector<std::string>* lines, std::string line) {
  logLine("%s", line.c_str());
  lines->push_back(std::move(line));
}

}  // namespace

FontScanner::FontScanner(FontSource& source) : source_(source) {}

void FontScanner::scanForFonts() {
  logLine("font scanner found %d fonts", static_cast<int>(source_.availableFonts().size()));

  const std::vector<ListedFont>& fonts = source_.availableFonts();
  bool vouched = std::all_of(fonts.begin(), fonts.end(),
                             [](const ListedFont& font) { return font.revision != 0; });
  std::string message;
  if (vouched) {
    message = vouchedMessage(fonts);
  } else {
    // Faces grouped by their path wherever they come in the list.
    CatalogueWriter catalogue;
    std::vector<std::pair<std::string, std::string>> records;
    std::vector<std::string> skips;
    scanFaces(fonts, 0, fonts.size(), &records, &skips);
    for (const auto& [path, record] : records) catalogue.add(path, record);
    message = catalogue.finish();
    message.push_back('\n');
    std::string().swap(message_);
    scanned_.clear();
    skipLines_.clear();
  }
  sendStringToServer(message);
  if (vouched) message_ = std::move(message);
  // A first scan of a large library leaves megabytes of small pieces freed.
  returnFreeMemory();
}

std::string FontScanner::vouchedMessage(const std::vector<ListedFont>& fonts) {
  std::string message;
  message.reserve(message_.size() + message_.size() / 8 + 64);
  message += '{';
  std::vector<FileScan> scanned;
  std::vector<std::string> skipLines;
  std::vector<std::pair<std::string, std::string>> records;
  for (size_t begin = 0, end; begin < fonts.size(); begin = end) {
    const ListedFont& first = fonts[begin];
    end = begin + 1;
    while (end < fonts.size() && fonts[end].revision == first.revision) ++end;
    FileScan scan{first.revision, end - begin};
    scan.firstSkip = skipLines.size();
    auto kept = std::lower_bound(
        scanned_.begin(), scanned_.end(), first.revision,
        [](const FileScan& s, uint64_t revision) { return s.revision < revision; });
    if (kept != scanned_.end() && kept->revision == first.revision && kept->faces == scan.faces) {
      for (size_t i = kept->firstSkip; i < kept->firstSkip + kept->skips; ++i) {
        logLine("%s", skipLines_[i].c_str());
        skipLines.push_back(std::move(skipLines_[i]));
      }
      if (kept->memberLength) {
        if (message.size() > 1) message += ',';
        scan.member = message.size();
        message.append(message_, kept->member, kept->memberLength);
        scan.memberLength = kept->memberLength;
      }
    } else {
      records.clear();
      scanFaces(fonts, begin, end, &records, &skipLines);
      if (!records.empty()) {
        if (message.size() > 1) message += ',';
        scan.member = message.size();
        // The source vouches every face of the file carries the file's path.
        appendJsonString(&message, first.file);
        message += ":[";
        for (size_t i = 0; i < records.size(); ++i) {
          if (i) message += ',';
          message += records[i].second;
        }
        message += ']';
        scan.memberLength = message.size() - scan.member;
      }
    }
    scan.skips = skipLines.size() - scan.firstSkip;
    scanned.push_back(scan);
  }
  message += "}\n";
  std::sort(scanned.begin(), scanned.end(),
            [](const FileScan& a, const FileScan& b) { return a.revision < b.revision; });
  scanned_ = std::move(scanned);
  skipLines_ = std::move(skipLines);
  return message;
}

void FontScanner::scanFaces(const std::vector<ListedFont>& fonts, size_t begin, size_t end,
                            std::vector<std::pair<std::string, std::string>>* records,
                            std::vector<std::string>* skips) {
  for (size_t i = begin; i < end; ++i) {
    const ListedFont& listed = fonts[i];
    // Names come from font files: made safe before they reach the log.
    auto name = [&] { return printableText(listed.name); };
    std::optional<FontDescription> font = source_.openFont(listed);
    if (!font) {
      skip(skips, "ignoring bad font '" + name() + "', missing NSFont");
      continue;
    }
    // A path without a UTF-8 form counts as missing: one odd file name must
    // not cost the whole catalogue.
    if (!hasText(font->path) || !font->format || !hasText(font->family) || !hasText(font->style) ||
        !hasText(font->localizedFamily) || !hasText(font->localizedStyle) ||
        !isValidUtf8(listed.name)) {
      skip(skips, "ignoring bad font '" + name() + "'");
      continue;
    }
    if (*font->format == FontFormat::kBitmap) {
      skip(skips, "ignoring bitmap font '" + name() + "'");
      continue;
    }

    FaceRecord record;
    record.family = *font->family;
    record.style = *font->style;
    record.postscript = listed.name;
    record.weight = CTWeightToCSSWeight(static_cast<double>(font->weight));
    record.stretch = CTWidthToFontStretch(static_cast<double>(font->width));
    record.italic = font->slant != 0.0f;
    if (*font->family != *font->localizedFamily || *font->style != *font->localizedStyle) {
      record.localized = true;
      record.localizedFamily = *font->localizedFamily;
      record.localizedStyle = *font->localizedStyle;
    }
    std::string text;
    appendRecord(&text, record);
    records->emplace_back(std::move(*font->path), std::move(text));
  }
}

void FontScanner::fontSetChanged() { scanForFonts(); }

}  // namespace kavri
