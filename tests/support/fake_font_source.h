#ifndef KAVRI_TESTS_SUPPORT_FAKE_FONT_SOURCE_H_
#define KAVRI_TESTS_SUPPORT_FAKE_FONT_SOURCE_H_

#include <cstdint>
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
  // Each name is a file of its own; a non-zero `revision` vouches for it.
  void add(const std::string& name, std::optional<FontDescription> description,
           uint64_t revision = 0) {
    names_.push_back(name);
    descriptions_[name] = std::move(description);
    revisions_[name] = revision;
  }

  // Replaces a face's description, and its revision with it.
  void change(const std::string& name, std::optional<FontDescription> description,
              uint64_t revision) {
    descriptions_[name] = std::move(description);
    revisions_[name] = revision;
  }

  const std::vector<ListedFont>& availableFonts() override {
    ++listCalls;
    listed_.clear();
    for (const std::string& name : names_) {
      listed_.push_back({name, name, 0, listed_.size(), revisions_.find(name)->second});
    }
    return listed_;
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
  std::vector<ListedFont> listed_;
  std::map<std::string, std::optional<FontDescription>, std::less<>> descriptions_;
  std::map<std::string, uint64_t, std::less<>> revisions_;
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
