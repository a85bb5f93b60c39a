#ifndef KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_RULES_H_
#define KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_RULES_H_

// Linux-internal: what a fontconfig configuration says about which fonts it
// takes (<selectfont>) and where more configuration may turn up (<include>).
//
// fontconfig applies its accept and reject rules only while it loads whole
// directories and keeps them to itself. A file read on its own (one font
// added to a folder of thousands) gets the same rules here, read from the
// configuration files the configuration loaded.

#include <fontconfig/fontconfig.h>

#include <string>
#include <vector>

namespace kavri {

class FontconfigRules {
 public:
  // Reads the rules of the files `config` loaded (FcConfigGetConfigFiles).
  // Never fails: what cannot be read makes the rules incomplete().
  static FontconfigRules read(FcConfig* config);

  FontconfigRules() = default;
  ~FontconfigRules();
  FontconfigRules(FontconfigRules&& other) noexcept;
  FontconfigRules& operator=(FontconfigRules&& other) noexcept;
  FontconfigRules(const FontconfigRules&) = delete;
  FontconfigRules& operator=(const FontconfigRules&) = delete;

  // False when some rule could not be read exactly as fontconfig reads it (a
  // value type not modelled here, a malformed file, a file too large): then
  // only fontconfig's own load of whole directories can tell which fonts the
  // configuration takes.
  bool complete() const { return complete_; }

  // Whether a file or directory path passes the <glob> rules: an accepting
  // glob wins over a rejecting one (fontconfig's FcConfigAcceptFilename).
  bool acceptsFile(const std::string& path) const;

  // Whether a font pattern passes the <pattern> rules, matched by
  // fontconfig's own list matching (its FcConfigAcceptFont).
  bool acceptsFont(FcConfig* config, FcPattern* font) const;

  // Configuration files and directories that an <include> names but that
  // do not exist; creating one changes the configuration.
  // Absolute paths.
  const std::vector<std::string>& missingIncludes() const { return missingIncludes_; }

 private:
  friend class FontconfigRulesReader;

  void clear();

  bool complete_ = true;
  std::vector<std::string> acceptGlobs_;
  std::vector<std::string> rejectGlobs_;
  std::vector<FcPattern*> acceptPatterns_;  // owned
  std::vector<FcPattern*> rejectPatterns_;  // owned
  std::vector<std::string> missingIncludes_;
};

// fontconfig's glob: '*' matches any run of bytes ('/' included), '?' any
// one byte, everything else itself.
bool fontconfigGlobMatch(const char* glob, const char* text);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_RULES_H_
