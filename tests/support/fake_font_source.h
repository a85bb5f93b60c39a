#ifndef KAVRI_TESTS_SUPPORT_FAKE_FONT_SOURCE_H_
#define KAVRI_TESTS_SUPPORT_FAKE_FONT_SOURCE_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/font_source.h"

namespace kavri::testing {

// A font source whose faces the test lays out: each listed name opens to its
// description, or to nothing when it has none. Counts the calls.
class FakeFontSource : public FontSource {
 public:
  void add(const std::string& name, std::optional<FontDescription> description) {
    names_.push_back(name);
    descriptions_[name] = std::move(description);
  }

  std::vector<ListedFont> availableFonts() override {
    ++listCalls;
    std::vector<ListedFont> fonts;
    for (const std::string& name : names_) fonts.push_back({name, name, 0, 0});
    return fonts;
  }

  std::optional<FontDescription> openFont(const ListedFont& font) override {
    ++openCalls;
    auto it = descriptions_.find(font.name);
    return it == descriptions_.end() ? std::nullopt : it->second;
  }

  int listCalls = 0;
  int openCalls = 0;

 private:
  std::vector<std::string> names_;
  std::map<std::string, std::optional<FontDescription>> descriptions_;
};

// A complete, ordinary description of a face in `path`.
inline FontDescription regularFace(const std::string& path, const std::string& family,
                                   const std::string& style = "Regular") {
  FontDescription d;
  d.path = path;
  d.format = FontFormat::kOpenTypeTrueType;
  d.family = family;
  d.style = style;
  d.localizedFamily = family;
  d.localizedStyle = style;
  return d;
}

}  // namespace kavri::testing

#endif  // KAVRI_TESTS_SUPPORT_FAKE_FONT_SOURCE_H_
