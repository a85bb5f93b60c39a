#include "platform/fontconfig/fontconfig_faces.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "font_fixtures/private_fonts.h"
#include "platform/fontconfig/font_file_query.h"

namespace kavri {
namespace {

std::string line(std::string_view file, int index, std::string_view name,
                 std::string_view family, std::string_view style, std::string_view localFamily,
                 std::string_view localStyle) {
  return std::string(file) + "|" + std::to_string(index) + "|" + std::string(name) + "|" +
         std::string(family) + "|" + std::string(style) + "|" + std::string(localFamily) + "|" +
         std::string(localStyle);
}

// FcFontList's own list, asking what the listing reads, face by face: the
// first family and style it gives, and the localised ones picked among all
// in the order it gives them.
std::vector<std::string> fcFontList(FcConfig* config, const std::vector<std::string>& languages) {
  FcPattern* query = FcPatternCreate();
  FcPatternAddString(query, FC_NAMELANG, reinterpret_cast<const FcChar8*>("en"));
  FcObjectSet* objects = FcObjectSetBuild(
      FC_FILE, FC_INDEX, FC_FAMILY, FC_FAMILYLANG, FC_STYLE, FC_STYLELANG, FC_POSTSCRIPT_NAME,
      FC_WEIGHT, FC_WIDTH, FC_SLANT, FC_FONTFORMAT, FC_SCALABLE, FC_OUTLINE, FC_VARIABLE,
      static_cast<char*>(nullptr));
  FcFontSet* set = FcFontList(config, query, objects);
  std::vector<std::string> lines;
  for (int i = 0; set && i < set->nfont; ++i) {
    FcPattern* p = set->fonts[i];
    FcBool variable = FcFalse;
    FcPatternGetBool(p, FC_VARIABLE, 0, &variable);
    if (variable) continue;
    auto text = [&](const char* object, int k) -> std::string_view {
      FcChar8* value = nullptr;
      if (FcPatternGetString(p, object, k, &value) != FcResultMatch) return {};
      return reinterpret_cast<const char*>(value);
    };
    auto names = [&](const char* object, const char* lang) {
      std::vector<TaggedName> tagged;
      for (int k = 0; !text(object, k).empty(); ++k) tagged.emplace_back(text(object, k), text(lang, k));
      if (tagged.empty()) return std::pair<std::string_view, std::string_view>();
      std::string_view local = tagged[localizedName(tagged, languages)].first;
      return std::pair(tagged[0].first, local == tagged[0].first ? std::string_view() : local);
    };
    int index = 0;
    FcPatternGetInteger(p, FC_INDEX, 0, &index);
    auto [family, localFamily] = names(FC_FAMILY, FC_FAMILYLANG);
    auto [style, localStyle] = names(FC_STYLE, FC_STYLELANG);
    lines.push_back(line(text(FC_FILE, 0), index, text(FC_POSTSCRIPT_NAME, 0), family, style,
                         localFamily, localStyle));
  }
  if (set) FcFontSetDestroy(set);
  FcObjectSetDestroy(objects);
  FcPatternDestroy(query);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::string> listed(FcConfig* config, const std::vector<std::string>& languages) {
  FaceListing listing(languages);
  listing.listAll(config);
  listing.sort();
  std::vector<std::string> lines;
  for (const ListedFace& f : listing.faces) {
    lines.push_back(line(f.file, f.index, f.name, f.names.family, f.names.style,
                         f.names.localizedFamily, f.names.localizedStyle));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Read in place, the faces come out as FcFontList lists them: names that
// come in several languages (English after others, Japanese, collections,
// named instances), for users of several languages. This machine's fonts too,
// where there are more kinds of them.
TEST(FaceListingTest, ListsWhatFcFontListLists) {
  const std::vector<std::vector<std::string>> users = {
      {}, {"en"}, {"ja-jp", "ja"}, {"zh-tw", "zh"}, {"zh-cn", "zh"}, {"ko"}, {"de-de", "de"}};
  auto compare = [&](FcConfig* config) {
    ASSERT_NE(config, nullptr);
    for (const std::vector<std::string>& languages : users) {
      SCOPED_TRACE(languages.empty() ? "no language" : languages[0]);
      std::vector<std::string> expected = fcFontList(config, languages);
      EXPECT_FALSE(expected.empty());
      EXPECT_EQ(listed(config, languages), expected);
    }
    FcConfigDestroy(config);
  };
  {
    testing::PrivateFonts fonts;
    for (const char* font : {testing::kDejaVuSans, testing::kWenQuanYiZenHei, testing::kIpaGothic,
                             testing::kInterVariable, testing::kInterThin, testing::kTerminusOtb,
                             testing::kUrwType1}) {
      ASSERT_FALSE(fonts.add(font).empty());
    }
    // Names fontconfig orders before the English ones.
    ASSERT_EQ(testing::run({"/usr/bin/python3", KAVRI_FONT_FACTS, "translate",
                            testing::kDejaVuSans, fonts.fontsDir() + "/translated.ttf",
                            "Translated", "Bold"})
                  .exitStatus,
              0);
    compare(FcInitLoadConfigAndFonts());
  }
  // The system's configuration, any cache fontconfig writes kept to the
  // test's own directory.
  testing::TempDir dir;
  testing::writeFile(dir.file("fonts.conf"),
                     "<?xml version=\"1.0\"?>\n<fontconfig><cachedir>" + dir.file("cache") +
                         "</cachedir><include ignore_missing=\"yes\">/etc/fonts/fonts.conf"
                         "</include></fontconfig>\n");
  setenv("FONTCONFIG_FILE", dir.file("fonts.conf").c_str(), 1);
  compare(FcInitLoadConfigAndFonts());
  unsetenv("FONTCONFIG_FILE");
}

// Expects the patterns fontconfig's own query makes of `file`, in its order,
// and says how many there were.
int expectQueriedAsFontconfigDoes(const std::string& file) {
  SCOPED_TRACE(file);
  using FontSet = std::unique_ptr<FcFontSet, decltype(&FcFontSetDestroy)>;
  FontSet expected(FcFontSetCreate(), FcFontSetDestroy), read(FcFontSetCreate(), FcFontSetDestroy);
  FcFreeTypeQueryAll(reinterpret_cast<const FcChar8*>(file.c_str()), static_cast<unsigned>(-1),
                     nullptr, nullptr, expected.get());
  queryFontFaces(file, read.get());
  EXPECT_EQ(read->nfont, expected->nfont);
  for (int i = 0; i < std::min(read->nfont, expected->nfont); ++i) {
    EXPECT_TRUE(FcPatternEqual(read->fonts[i], expected->fonts[i])) << "pattern " << i;
  }
  return expected->nfont;
}

// Read through a descriptor, a file gives the very patterns fontconfig's own
// query makes of it through a mapping: a collection, named instances (one of
// them at the default coordinates, so left out), CFF, Type 1 as text and as
// binary, bitmap sfnt and PCF; and collections that mix variable and static
// faces, where fontconfig takes the first face's instances for every face
// and stops at a face it cannot read at one. What is no font, or cut short,
// or no file, gives nothing.
TEST(FontFileQueryTest, ReadsEveryFaceAsFontconfigsOwnQuery) {
  for (const char* font : {testing::kDejaVuSans, testing::kWenQuanYiZenHei, testing::kIpaGothic,
                           testing::kInterThin, testing::kTerminusOtb, testing::kTerminusPcf,
                           testing::kUrwType1, testing::kUrwType1Binary}) {
    EXPECT_GT(expectQueriedAsFontconfigDoes(font), 0);
  }
  EXPECT_EQ(expectQueriedAsFontconfigDoes(testing::kInterVariable), 10);

  testing::TempDir dir;
  const std::string variableFirst = dir.file("variable-first.ttc");
  ASSERT_TRUE(testing::makeCollection(
      {testing::kInterVariable, testing::kDejaVuSans, testing::kInterVariable}, variableFirst));
  EXPECT_EQ(expectQueriedAsFontconfigDoes(variableFirst), 11);
  const std::string staticFirst = dir.file("static-first.ttc");
  ASSERT_TRUE(
      testing::makeCollection({testing::kDejaVuSans, testing::kInterVariable}, staticFirst));
  EXPECT_EQ(expectQueriedAsFontconfigDoes(staticFirst), 3);

  std::string metrics = testing::kUrwType1;
  metrics.replace(metrics.rfind(".t1"), 3, ".afm");
  EXPECT_EQ(expectQueriedAsFontconfigDoes(metrics), 0);
  testing::writeFile(dir.file("text.ttf"), "no font at all");
  EXPECT_EQ(expectQueriedAsFontconfigDoes(dir.file("text.ttf")), 0);
  EXPECT_EQ(expectQueriedAsFontconfigDoes(dir.file("missing.ttf")), 0);
  EXPECT_EQ(expectQueriedAsFontconfigDoes(dir.path()), 0);
  for (const char* font : {testing::kWenQuanYiZenHei, testing::kInterVariable}) {
    const std::string cut = dir.file("cut.ttc");
    ASSERT_TRUE(testing::copyFile(font, cut));
    struct stat st;
    ASSERT_EQ(stat(cut.c_str(), &st), 0);
    ASSERT_EQ(truncate(cut.c_str(), st.st_size / 2), 0);
    expectQueriedAsFontconfigDoes(cut);
    for (off_t length : {100, 0}) {
      ASSERT_EQ(truncate(cut.c_str(), length), 0);
      EXPECT_EQ(expectQueriedAsFontconfigDoes(cut), 0);
    }
  }
}

}  // namespace
}  // namespace kavri
