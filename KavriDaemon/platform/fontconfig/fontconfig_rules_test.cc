#include "platform/fontconfig/fontconfig_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "font_fixtures/private_fonts.h"
#include "test_util.h"

namespace kavri {
namespace {

using testing::PrivateFonts;

// The rules of the private configuration with `body` in a file of its own.
class Rules {
 public:
  explicit Rules(const std::string& body) {
    testing::writeFile(fonts_.confDir() + "/60-rules.conf",
                       "<?xml version=\"1.0\"?>\n<fontconfig>" + body + "</fontconfig>\n");
    config_ = FcInitLoadConfig();
    rules_ = FontconfigRules::read(config_);
  }
  ~Rules() { FcConfigDestroy(config_); }

  const FontconfigRules& get() const { return rules_; }
  const PrivateFonts& fonts() const { return fonts_; }

  bool acceptsFont(const char* name) {
    FcPattern* font = FcNameParse(reinterpret_cast<const FcChar8*>(name));
    bool accepted = rules_.acceptsFont(config_, font);
    FcPatternDestroy(font);
    return accepted;
  }

 private:
  PrivateFonts fonts_;
  FcConfig* config_;
  FontconfigRules rules_;
};

TEST(FontconfigRulesTest, GlobsMatchAsFontconfigMatchesThem) {
  struct Case {
    const char* glob;
    const char* text;
    bool match;
  } cases[] = {
      {"*.dpkg-tmp", "/usr/share/fonts/a.ttf.dpkg-tmp", true},
      {"*.dpkg-tmp", "/usr/share/fonts/a.ttf", false},
      {"/a/*/c", "/a/b/x/c", true},  // '*' crosses slashes
      {"/a/?", "/a/b", true},
      {"/a/?", "/a/", false},
      {"*", "", true},
      {"**", "", false},  // as fontconfig has it
      {"a*b*c", "aXbYc", true},
      {"a*b*c", "aXbY", false},
      {"", "", true},
      {"", "x", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fontconfigGlobMatch(c.glob, c.text), c.match) << c.glob << " " << c.text;
  }
}

TEST(FontconfigRulesTest, AnAcceptingRuleWinsOverARejectingOne) {
  Rules rules(
      "<selectfont><rejectfont><glob>*/r-*</glob>"
      "<pattern><patelt name=\"family\"><string>DejaVu Sans</string></patelt></pattern>"
      "<pattern><patelt name=\"scalable\"><bool>false</bool></patelt></pattern>"
      "<pattern><patelt name=\"weight\"><const>bold</const></patelt></pattern>"
      "<pattern><patelt name=\"weight\"><int>40</int></patelt></pattern>"
      "</rejectfont><acceptfont><glob>*/r-keep*</glob>"
      "<pattern><patelt name=\"family\"><string>terminus</string></patelt>"
      "<patelt name=\"fontformat\"><string>TrueType</string></patelt></pattern>"
      "</acceptfont></selectfont>");
  ASSERT_TRUE(rules.get().complete());
  EXPECT_FALSE(rules.get().acceptsFile("/fonts/r-out.ttf"));
  EXPECT_TRUE(rules.get().acceptsFile("/fonts/r-keep.ttf"));
  EXPECT_TRUE(rules.get().acceptsFile("/fonts/plain.ttf"));
  // fontconfig's list matching: names without regard to case or blanks.
  EXPECT_FALSE(rules.acceptsFont(":family=dejavusans:scalable=True"));
  EXPECT_TRUE(rules.acceptsFont(":family=DejaVu Serif:scalable=True"));
  EXPECT_FALSE(rules.acceptsFont(":family=Ter:scalable=False"));
  EXPECT_TRUE(rules.acceptsFont(":family=Terminus:fontformat=TrueType:scalable=False"));
  EXPECT_FALSE(rules.acceptsFont(":family=Terminus:fontformat=PCF:scalable=False"));
  EXPECT_FALSE(rules.acceptsFont(":family=X:weight=200"));  // bold
  EXPECT_FALSE(rules.acceptsFont(":family=X:weight=40"));
  EXPECT_TRUE(rules.acceptsFont(":family=X:weight=80"));
}

TEST(FontconfigRulesTest, WhatIsNotReadExactlyLeavesTheRulesIncomplete) {
  for (const char* body : {
           "<selectfont><rejectfont><pattern><patelt name=\"charset\"><charset><int>0x41</int>"
           "</charset></patelt></pattern></rejectfont></selectfont>",
           "<selectfont><rejectfont><pattern><patelt name=\"weight\"><int>bold</int></patelt>"
           "</pattern></rejectfont></selectfont>",
           "<selectfont><rejectfont><glob>*",  // cut short
       }) {
    Rules rules(body);
    EXPECT_FALSE(rules.get().complete()) << body;
  }
  Rules plain("<match target=\"scan\"><edit name=\"family\"><string>X</string></edit></match>");
  EXPECT_TRUE(plain.get().complete());
}

// A font manager's rule may be applied to what is known of each font only
// while nothing else in the configuration changed: its digest tells.
TEST(FontconfigRulesTest, TheSettingsDigestLeavesOutOnlyFontSelection) {
  PrivateFonts fonts;
  auto digestWith = [&](const std::string& file, const std::string& text) {
    testing::writeFile(fonts.confDir() + "/" + file, text);
    FcConfig* config = FcInitLoadConfig();
    FontconfigRules rules = FontconfigRules::read(config);
    FcConfigDestroy(config);
    EXPECT_TRUE(rules.complete()) << text;
    return rules.settingsDigest();
  };
  const std::string scan =
      "<match target=\"scan\"><test name=\"family\"><string>A</string></test>"
      "<edit name=\"family\"><string>B</string></edit></match>";
  auto base = digestWith("50-scan.conf", "<fontconfig>" + scan + "</fontconfig>");
  // A file of nothing but selection rules, comments, blanks and a description.
  EXPECT_EQ(digestWith("70-rule.conf",
                       "<?xml version=\"1.0\"?>\n<fontconfig>\n  <description>off</description>"
                       "<!-- one family -->\n  <selectfont><rejectfont><glob>*/x.ttf</glob>"
                       "</rejectfont></selectfont>\n</fontconfig>\n"),
            base);
  EXPECT_EQ(digestWith("50-scan.conf", "<fontconfig>\n " + scan + "\n</fontconfig>"), base);
  EXPECT_NE(digestWith("70-rule.conf", "<fontconfig><dir>/elsewhere</dir></fontconfig>"), base);
  EXPECT_NE(digestWith("70-rule.conf", "<fontconfig><match target=\"scan\"/></fontconfig>"), base);
  EXPECT_EQ(digestWith("70-rule.conf", "<fontconfig/>"), base);
  EXPECT_NE(digestWith("50-scan.conf", "<fontconfig>" +
                                           std::string(scan).replace(scan.find(">B<"), 3, ">C<") +
                                           "</fontconfig>"),
            base);
}

TEST(FontconfigRulesTest, MissingIncludesAreNamed) {
  testing::TempDir home;
  std::string present = home.file("present.conf");
  testing::writeFile(present, "<?xml version=\"1.0\"?>\n<fontconfig/>\n");
  setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
  Rules rules(
      "<include ignore_missing=\"yes\" prefix=\"xdg\">fontconfig/conf.d</include>"
      "<include ignore_missing=\"yes\">" +
      home.file("gone.conf") +
      "</include>"
      "<include ignore_missing=\"yes\">" +
      present + "</include>");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(rules.get().missingIncludes(),
            (std::vector<std::string>{home.file("config") + "/fontconfig/conf.d",
                                      home.file("gone.conf")}));
}

}  // namespace
}  // namespace kavri
