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

#include <array>
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

  // The <pattern> rules of these or of `was`'s that the other lacks: a font
  // none of them matches is judged alike by both. Borrowed from the two.
  std::vector<FcPattern*> patternsNotIn(const FontconfigRules& was) const;

  // Whether `rule` is one of these <pattern> rules that reject, and whether
  // any <pattern> rule accepts.
  bool rejectsBy(FcPattern* rule) const;
  bool acceptsByPattern() const { return !acceptPatterns_.empty(); }

  // Whether these <glob> rules may take a path that `was`'s rejected (a
  // rejecting glob gone, an accepting one new), and the other way round.
  bool mayAcceptWhatWasRejected(const FontconfigRules& was) const;
  bool mayRejectWhatWasAccepted(const FontconfigRules& was) const;

  // A digest of everything the files say besides which fonts they select,
  // comments and blank text left out: when two configurations' digests and
  // font directories agree, a font is read and edited alike under both, and
  // only its selection may differ.
  const std::array<unsigned char, 32>& settingsDigest() const { return settingsDigest_; }

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
  std::array<unsigned char, 32> settingsDigest_ = {};
};

// Whether a <pattern> rule matches `font` as fontconfig's font selection
// matches it (its list matching).
bool ruleMatches(FcConfig* config, FcPattern* rule, FcPattern* font);

// Whether a <pattern> rule names nothing but one family name: it matches a
// face exactly when it matches one of the face's family names on its own.
// (A rule of several names matches a face only with all of them.)
bool namesOneFamily(FcPattern* rule);

// fontconfig's glob: '*' matches any run of bytes ('/' included), '?' any
// one byte, everything else itself.
bool fontconfigGlobMatch(const char* glob, const char* text);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FONTCONFIG_RULES_H_
