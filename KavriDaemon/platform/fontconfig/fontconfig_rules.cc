#include "platform/fontconfig/fontconfig_rules.h"

#include <expat.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/file_reader.h"

namespace kavri {
namespace {

// A configuration file larger than this is not read for rules; fontconfig's
// own loads then decide alone.
constexpr size_t kMaxConfigurationBytes = 4 << 20;
constexpr size_t kMaxDepth = 64;

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> configurationFiles(FcConfig* config) {
  std::vector<std::string> files;
  if (FcStrList* list = FcConfigGetConfigFiles(config)) {
    while (FcChar8* s = FcStrListNext(list)) files.push_back(reinterpret_cast<const char*>(s));
    FcStrListDone(list);
  }
  return files;
}

// Where fontconfig looks for an <include>d name (its FcConfigGetFilename,
// and the "xdg" prefix of FcParseInclude), most likely place first.
std::vector<std::string> includeCandidates(std::string name, bool xdg) {
  if (xdg) {
    const char* configHome = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    std::string prefix = configHome ? configHome : std::string(home ? home : "") + "/.config";
    name = prefix + "/" + name;
  }
  if (name.empty()) return {};
  if (name[0] == '/') return {name};
  if (name[0] == '~') {
    const FcChar8* home = FcConfigHome();
    if (!home) return {};
    std::string rest = name.substr(1);
    return {reinterpret_cast<const char*>(home) +
            (rest.empty() || rest[0] == '/' ? rest : "/" + rest)};
  }
  std::vector<std::string> candidates;
  if (const char* path = getenv("FONTCONFIG_PATH")) {
    std::string_view list = path;
    while (!list.empty()) {
      size_t colon = list.find(':');
      std::string dir(list.substr(0, colon));
      if (!dir.empty()) candidates.push_back(dir + (dir.back() == '/' ? "" : "/") + name);
      list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
  }
  candidates.push_back("/etc/fonts/" + name);
  return candidates;
}

}  // namespace

// Reads one configuration file at a time, with fontconfig's element names.
// Only <acceptfont>/<rejectfont> and <include> matter; anything inside a
// font selector that is not read exactly as fontconfig reads it makes the
// rules incomplete rather than guessed.
class FontconfigRulesReader {
 public:
  explicit FontconfigRulesReader(FontconfigRules* rules)
      : rules_(rules), digest_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    if (!digest_ || EVP_DigestInit_ex(digest_.get(), EVP_sha256(), nullptr) != 1) incomplete();
  }

  // The digest of everything but the font selection of the files read.
  void finish() {
    unsigned int size = 0;
    if (!digest_ || EVP_DigestFinal_ex(digest_.get(), rules_->settingsDigest_.data(), &size) != 1 ||
        size != rules_->settingsDigest_.size()) {
      incomplete();
    }
  }

  void readFile(const std::string& path) {
    std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate("UTF-8"),
                                                                        &XML_ParserFree);
    if (!parser) return incomplete();
    XML_Parser p = parser.get();
    XML_SetUserData(p, this);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(
        p,
        [](void* self, const XML_Char* name, const XML_Char** attributes) {
          static_cast<FontconfigRulesReader*>(self)->start(name, attributes);
        },
        [](void* self, const XML_Char*) { static_cast<FontconfigRulesReader*>(self)->end(); });
    XML_SetCharacterDataHandler(p, [](void* self, const XML_Char* s, int len) {
      auto* reader = static_cast<FontconfigRulesReader*>(self);
      if (!reader->stack_.empty()) reader->stack_.back().text.append(s, static_cast<size_t>(len));
    });
    stack_.clear();
    skipFrom_ = 0;
    size_t total = 0;
    bool wellFormed = true;
    std::string err;
    bool read = readFileInChunks(
        path,
        [&](const unsigned char* data, size_t size) {
          total += size;
          if (total > kMaxConfigurationBytes) return false;
          wellFormed = XML_Parse(p, reinterpret_cast<const char*>(data), static_cast<int>(size),
                                 XML_FALSE) == XML_STATUS_OK;
          return wellFormed;
        },
        &err);
    if (read) wellFormed = XML_Parse(p, "", 0, XML_TRUE) == XML_STATUS_OK;
    // A file fontconfig loaded but that cannot be read now (changed since)
    // leaves its rules unknown.
    if (!read || !wellFormed) incomplete();
    clearPatterns();
  }

 private:
  enum class Kind { kOther, kSelector, kGlob, kPattern, kPatelt, kValue, kInclude };

  struct Element {
    std::string name;
    Kind kind = Kind::kOther;
    bool accept = false;  // selectors
    bool xdg = false;     // includes
    std::string text;
    FcPattern* pattern = nullptr;  // patterns: being built (owned)
    std::string object;            // patelts
  };

  void incomplete() { rules_->complete_ = false; }

  Element* parent() { return stack_.size() >= 2 ? &stack_[stack_.size() - 2] : nullptr; }

  // Inside a font selector nothing goes unrecognised.
  bool inSelector() const {
    for (const Element& e : stack_) {
      if (e.kind == Kind::kSelector) return true;
    }
    return false;
  }

  void start(std::string_view name, const XML_Char** attributes) {
    if (stack_.size() >= kMaxDepth) {
      incomplete();
      stack_.emplace_back();
      return;
    }
    Kind parentKind = stack_.empty() ? Kind::kOther : stack_.back().kind;
    bool selectorContext = inSelector();
    Element element;
    element.name = name;
    auto attribute = [&](const char* key) -> const char* {
      for (const XML_Char** a = attributes; a && a[0]; a += 2) {
        if (std::strcmp(a[0], key) == 0) return a[1];
      }
      return nullptr;
    };
    if (name == "acceptfont" || name == "rejectfont") {
      element.kind = Kind::kSelector;
      element.accept = name == "acceptfont";
      if (selectorContext) incomplete();  // selectors do not nest
    } else if (name == "include") {
      element.kind = Kind::kInclude;
      const char* prefix = attribute("prefix");
      element.xdg = prefix && std::strcmp(prefix, "xdg") == 0;
    } else if (selectorContext) {
      if (name == "glob" && parentKind == Kind::kSelector) {
        element.kind = Kind::kGlob;
      } else if (name == "pattern" && parentKind == Kind::kSelector) {
        element.kind = Kind::kPattern;
        element.pattern = FcPatternCreate();
        if (!element.pattern) incomplete();
      } else if (name == "patelt" && parentKind == Kind::kPattern) {
        element.kind = Kind::kPatelt;
        const char* object = attribute("name");
        if (!object) incomplete();
        element.object = object ? object : "";
      } else if (parentKind == Kind::kPatelt &&
                 (name == "string" || name == "int" || name == "double" || name == "bool" ||
                  name == "const")) {
        element.kind = Kind::kValue;
      } else {
        incomplete();
      }
    }
    stack_.push_back(std::move(element));
    // The root element is left out: a file of nothing but a font manager's
    // rules then leaves the digest as it was.
    size_t depth = stack_.size();
    if (skipFrom_ == 0 && depth > 1 && (name == "selectfont" || name == "description")) {
      skipFrom_ = depth;
    }
    if (skipFrom_ == 0 && depth > 1) {
      std::string token = "<" + std::string(name);
      for (const XML_Char** a = attributes; a && a[0]; a += 2) {
        token += '\x1f' + std::string(a[0]) + '=' + a[1];
      }
      addToDigest(token + ">");
    }
  }

  void addToDigest(std::string_view bytes) {
    if (digest_ && EVP_DigestUpdate(digest_.get(), bytes.data(), bytes.size()) != 1) incomplete();
  }

  // An element's text, unless it is all blank, and its end.
  void endForDigest(const Element& element) {
    size_t depth = stack_.size();
    if (skipFrom_ == 0 && depth > 1) {
      if (element.text.find_first_not_of(" \t\r\n") != std::string::npos) {
        addToDigest("\x1e" + element.text);
      }
      addToDigest("</>");
    }
    if (skipFrom_ == depth) skipFrom_ = 0;
  }

  void end() {
    if (stack_.empty()) return;
    Element& element = stack_.back();
    endForDigest(element);
    switch (element.kind) {
      case Kind::kGlob:
        if (Element* selector = parent()) {
          (selector->accept ? rules_->acceptGlobs_ : rules_->rejectGlobs_).push_back(element.text);
        }
        break;
      case Kind::kValue:
        addValue(element);
        break;
      case Kind::kPattern:
        if (Element* selector = parent(); selector && element.pattern) {
          (selector->accept ? rules_->acceptPatterns_ : rules_->rejectPatterns_)
              .push_back(std::exchange(element.pattern, nullptr));
        }
        break;
      case Kind::kInclude:
        include(element);
        break;
      default:
        break;
    }
    if (element.pattern) FcPatternDestroy(element.pattern);
    stack_.pop_back();
  }

  // One typed value of a <patelt>, added to its <pattern> as fontconfig's
  // parser adds it.
  void addValue(const Element& element) {
    if (stack_.size() < 3) return incomplete();
    const Element& patelt = stack_[stack_.size() - 2];
    FcPattern* pattern = stack_[stack_.size() - 3].pattern;
    if (!pattern) return incomplete();
    const std::string& s = element.text;
    FcValue value;
    if (element.name == "string") {
      value.type = FcTypeString;
      value.u.s = reinterpret_cast<const FcChar8*>(s.c_str());
    } else if (element.name == "int") {
      char* end = nullptr;
      errno = 0;
      long n = strtol(s.c_str(), &end, 0);
      if (s.empty() || end != s.c_str() + s.size()) return incomplete();
      value.type = FcTypeInteger;
      value.u.i = static_cast<int>(n);
    } else if (element.name == "double") {
      // fontconfig reads doubles with a '.' whatever the locale; the agent
      // never changes the "C" locale, so strtod does the same.
      char* end = nullptr;
      double d = strtod(s.c_str(), &end);
      if (s.empty() || end != s.c_str() + s.size()) return incomplete();
      value.type = FcTypeDouble;
      value.u.d = d;
    } else if (element.name == "bool") {
      std::optional<FcBool> b = boolValue(s);
      if (!b) return incomplete();
      value.type = FcTypeBool;
      value.u.b = *b;
    } else {  // const
      int constant;
      if (!FcNameConstant(reinterpret_cast<const FcChar8*>(s.c_str()), &constant)) {
        return incomplete();
      }
      value.type = FcTypeInteger;
      value.u.i = constant;
    }
    if (!FcPatternAdd(pattern, patelt.object.c_str(), value, FcTrue)) incomplete();
  }

  // fontconfig's reading of a boolean's text (FcNameBool); unknown words are
  // left to fontconfig.
  static std::optional<FcBool> boolValue(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char c0 = static_cast<char>(tolower(static_cast<unsigned char>(s[0])));
    if (c0 == 't' || c0 == 'y' || c0 == '1') return FcTrue;
    if (c0 == 'f' || c0 == 'n' || c0 == '0') return FcFalse;
    if (c0 == 'd' || c0 == 'x' || c0 == '2') return FcDontCare;
    if (c0 == 'o' && s.size() > 1) {
      char c1 = static_cast<char>(tolower(static_cast<unsigned char>(s[1])));
      if (c1 == 'n') return FcTrue;
      if (c1 == 'f') return FcFalse;
      if (c1 == 'r') return FcDontCare;
    }
    return std::nullopt;
  }

  void include(const Element& element) {
    std::vector<std::string> candidates = includeCandidates(element.text, element.xdg);
    for (const std::string& candidate : candidates) {
      if (exists(candidate)) return;  // loaded, and watched as loaded
    }
    for (const std::string& candidate : candidates) rules_->missingIncludes_.push_back(candidate);
  }

  void clearPatterns() {
    for (Element& e : stack_) {
      if (e.pattern) FcPatternDestroy(e.pattern);
    }
    stack_.clear();
  }

  FontconfigRules* rules_;
  std::vector<Element> stack_;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest_;
  size_t skipFrom_ = 0;  // the depth of the element the digest leaves out, with all inside
};

FontconfigRules FontconfigRules::read(FcConfig* config) {
  FontconfigRules rules;
  FontconfigRulesReader reader(&rules);
  for (const std::string& file : configurationFiles(config)) {
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;  // its files are listed too
    reader.readFile(file);
  }
  reader.finish();
  // A root (FONTCONFIG_SYSROOT) shifts every path fontconfig matches.
  if (FcConfigGetSysRoot(config)) rules.complete_ = false;
  return rules;
}

FontconfigRules::~FontconfigRules() { clear(); }

FontconfigRules::FontconfigRules(FontconfigRules&& other) noexcept { *this = std::move(other); }

FontconfigRules& FontconfigRules::operator=(FontconfigRules&& other) noexcept {
  if (this == &other) return *this;
  clear();
  complete_ = other.complete_;
  acceptGlobs_ = std::move(other.acceptGlobs_);
  rejectGlobs_ = std::move(other.rejectGlobs_);
  acceptPatterns_ = std::exchange(other.acceptPatterns_, {});
  rejectPatterns_ = std::exchange(other.rejectPatterns_, {});
  missingIncludes_ = std::move(other.missingIncludes_);
  settingsDigest_ = other.settingsDigest_;
  return *this;
}

void FontconfigRules::clear() {
  for (FcPattern* p : acceptPatterns_) FcPatternDestroy(p);
  for (FcPattern* p : rejectPatterns_) FcPatternDestroy(p);
  acceptPatterns_.clear();
  rejectPatterns_.clear();
}

std::vector<FcPattern*> FontconfigRules::patternsNotIn(const FontconfigRules& was) const {
  std::vector<FcPattern*> out;
  auto lacking = [&](const std::vector<FcPattern*>& from, const std::vector<FcPattern*>& in) {
    for (FcPattern* rule : from) {
      auto same = [&](FcPattern* p) { return FcPatternEqual(rule, p); };
      if (std::none_of(in.begin(), in.end(), same)) out.push_back(rule);
    }
  };
  lacking(acceptPatterns_, was.acceptPatterns_);
  lacking(was.acceptPatterns_, acceptPatterns_);
  lacking(rejectPatterns_, was.rejectPatterns_);
  lacking(was.rejectPatterns_, rejectPatterns_);
  return out;
}

namespace {

// Whether `a` holds a glob that `b` does not.
bool holdsAnother(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return std::any_of(a.begin(), a.end(), [&](const std::string& g) {
    return std::find(b.begin(), b.end(), g) == b.end();
  });
}

}  // namespace

bool FontconfigRules::mayAcceptWhatWasRejected(const FontconfigRules& was) const {
  return holdsAnother(was.rejectGlobs_, rejectGlobs_) ||
         holdsAnother(acceptGlobs_, was.acceptGlobs_);
}

bool FontconfigRules::mayRejectWhatWasAccepted(const FontconfigRules& was) const {
  return holdsAnother(rejectGlobs_, was.rejectGlobs_) ||
         holdsAnother(was.acceptGlobs_, acceptGlobs_);
}

bool FontconfigRules::rejectsBy(FcPattern* rule) const {
  return std::find(rejectPatterns_.begin(), rejectPatterns_.end(), rule) != rejectPatterns_.end();
}

bool FontconfigRules::acceptsFile(const std::string& path) const {
  for (const std::string& glob : acceptGlobs_) {
    if (fontconfigGlobMatch(glob.c_str(), path.c_str())) return true;
  }
  for (const std::string& glob : rejectGlobs_) {
    if (fontconfigGlobMatch(glob.c_str(), path.c_str())) return false;
  }
  return true;
}

bool ruleMatches(FcConfig* config, FcPattern* rule, FcPattern* font) {
  // The very test fontconfig applies to its font selectors.
  FcFontSet one = {1, 1, &font};
  FcFontSet* sets[] = {&one};
  FcObjectSet* objects = FcObjectSetBuild(FC_FILE, static_cast<char*>(nullptr));
  if (!objects) return false;
  FcFontSet* found = FcFontSetList(config, sets, 1, rule, objects);
  FcObjectSetDestroy(objects);
  bool match = found && found->nfont > 0;
  if (found) FcFontSetDestroy(found);
  return match;
}

bool namesOneFamily(FcPattern* rule) {
  FcValue value;
  return FcPatternObjectCount(rule) == 1 &&
         FcPatternGet(rule, FC_FAMILY, 0, &value) == FcResultMatch &&
         FcPatternGet(rule, FC_FAMILY, 1, &value) != FcResultMatch;
}

bool FontconfigRules::acceptsFont(FcConfig* config, FcPattern* font) const {
  for (FcPattern* rule : acceptPatterns_) {
    if (ruleMatches(config, rule, font)) return true;
  }
  for (FcPattern* rule : rejectPatterns_) {
    if (ruleMatches(config, rule, font)) return false;
  }
  return true;
}

bool fontconfigGlobMatch(const char* glob, const char* text) {
  for (char c; (c = *glob++) != '\0';) {
    if (c == '*') {
      if (*glob == '\0') return true;
      // Without another '*' the rest must match the end of the text.
      if (!std::strchr(glob, '*')) {
        size_t textLength = std::strlen(text);
        size_t globLength = std::strlen(glob);
        if (textLength < globLength) return false;
        text += textLength - globLength;
      }
      for (; *text; ++text) {
        if (fontconfigGlobMatch(glob, text)) return true;
      }
      return false;
    }
    if (c == '?') {
      if (*text++ == '\0') return false;
    } else if (*text++ != c) {
      return false;
    }
  }
  return *text == '\0';
}

}  // namespace kavri
