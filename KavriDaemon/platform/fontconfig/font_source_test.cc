#include "platform/font_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "font_fixtures/private_fonts.h"
#include "fonts/font_traits.h"

namespace kavri {
namespace {

using testing::PrivateFonts;

// Sets the locale variables for one test and puts them back afterwards.
class LocaleScope {
 public:
  LocaleScope(const char* language, const char* lang) {
    for (const char* name : kNames) {
      const char* value = getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
    if (language) setenv("LANGUAGE", language, 1);
    if (lang) setenv("LANG", lang, 1);
  }
  ~LocaleScope() {
    for (size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i]) {
        setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }

 private:
  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::optional<std::string>> saved_;
};

std::vector<ListedFont> facesOf(const std::vector<ListedFont>& fonts, const std::string& file) {
  std::vector<ListedFont> out;
  for (const ListedFont& f : fonts) {
    if (f.file == file) out.push_back(f);
  }
  return out;
}

TEST(FontSourceTest, ListsEveryFaceInFileThenIndexOrderStably) {
  PrivateFonts fonts;
  std::string zenhei = fonts.add(testing::kWenQuanYiZenHei);
  std::string dejavu = fonts.add(testing::kDejaVuSans);
  std::string ipa = fonts.add(testing::kIpaGothic);
  std::unique_ptr<FontSource> source = FontSource::create();
  std::vector<ListedFont> listed = source->availableFonts();

  std::vector<std::string> files;
  for (const ListedFont& f : listed) files.emplace_back(f.file);
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end()));
  EXPECT_EQ(facesOf(listed, dejavu).size(), 1u);
  EXPECT_EQ(facesOf(listed, ipa).size(), 1u);

  std::vector<ListedFont> collection = facesOf(listed, zenhei);
  ASSERT_GE(collection.size(), 2u);
  for (size_t i = 0; i < collection.size(); ++i)
    EXPECT_EQ(collection[i].index, static_cast<int>(i));
  EXPECT_EQ(collection[0].name, "WenQuanYiZenHei");
  EXPECT_EQ(collection[1].name, "WenQuanYiZenHeiMono");

  std::unique_ptr<FontSource> again = FontSource::create();
  std::vector<ListedFont> second = again->availableFonts();
  ASSERT_EQ(second.size(), listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(second[i].name, listed[i].name);
    EXPECT_EQ(second[i].file, listed[i].file);
    EXPECT_EQ(second[i].index, listed[i].index);
  }
}

TEST(FontSourceTest, VariableFontListsItsNamedInstancesUnderTheirOwnNames) {
  PrivateFonts fonts;
  std::string inter = fonts.add(testing::kInterVariable);
  std::unique_ptr<FontSource> source = FontSource::create();
  std::vector<ListedFont> listed = facesOf(source->availableFonts(), inter);
  // Thin .. Black, the default instance (Regular) as the font itself, and no
  // entry for the font as a whole.
  ASSERT_EQ(listed.size(), 9u);
  EXPECT_EQ(listed[0].index, 0);
  EXPECT_EQ(listed[0].name, "Inter");

  std::vector<int32_t> weights;
  std::vector<std::string> names;
  for (const ListedFont& font : listed) {
    if (&font != &listed[0]) {
      EXPECT_NE(font.index >> 16, 0) << font.name;
    }
    std::optional<FontDescription> d = source->openFont(font);
    ASSERT_TRUE(d) << font.name;
    weights.push_back(CTWeightToCSSWeight(d->weight));
    names.emplace_back(font.name);
  }
  std::sort(weights.begin(), weights.end());
  EXPECT_EQ(weights, (std::vector<int32_t>{100, 200, 300, 400, 500, 600, 700, 800, 900}));
  // Every instance has its own name, not fontconfig's made-up one.
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "Inter-Bold"), names.end());
}

TEST(FontSourceTest, EveryDeclaredWeightAndWidthClassComesBackUnchanged) {
  PrivateFonts fonts;
  ASSERT_TRUE(testing::makeClassProbes(testing::kDejaVuSans, fonts.fontsDir()));
  std::unique_ptr<FontSource> source = FontSource::create();
  int seen = 0;
  for (const ListedFont& font : source->availableFonts()) {
    std::optional<FontDescription> d = source->openFont(font);
    ASSERT_TRUE(d && d->family);
    int weight, width;
    ASSERT_EQ(sscanf(d->family->c_str(), "Probe W%dS%d", &weight, &width), 2) << *d->family;
    EXPECT_EQ(CTWeightToCSSWeight(d->weight), weight) << *d->family;
    EXPECT_EQ(CTWidthToFontStretch(d->width), width) << *d->family;
    ++seen;
  }
  EXPECT_EQ(seen, 8 * 3 + 9);
}

TEST(FontSourceTest, FormatsAndSlant) {
  PrivateFonts fonts;
  std::string otb = fonts.add(testing::kTerminusOtb);
  std::string pcf = fonts.add(testing::kTerminusPcf);
  std::string type1 = fonts.add(testing::kUrwType1);
  std::string cff = fonts.add(testing::kInterThin);
  std::string ttf = fonts.add(testing::kDejaVuSans);
  std::unique_ptr<FontSource> source = FontSource::create();
  std::vector<ListedFont> listed = source->availableFonts();
  auto describe = [&](const std::string& file) {
    std::vector<ListedFont> faces = facesOf(listed, file);
    EXPECT_EQ(faces.size(), 1u) << file;
    return faces.empty() ? std::nullopt : source->openFont(faces[0]);
  };
  EXPECT_EQ(describe(otb)->format, FontFormat::kBitmap);
  EXPECT_EQ(describe(pcf)->format, FontFormat::kBitmap);
  std::optional<FontDescription> t1 = describe(type1);
  EXPECT_EQ(t1->format, FontFormat::kPostScript);
  EXPECT_NE(t1->slant, 0.0f);  // Bold Italic
  EXPECT_EQ(CTWeightToCSSWeight(t1->weight), 700);
  EXPECT_EQ(describe(cff)->format, FontFormat::kOpenTypePostScript);
  std::optional<FontDescription> plain = describe(ttf);
  EXPECT_EQ(plain->format, FontFormat::kOpenTypeTrueType);
  EXPECT_EQ(plain->slant, 0.0f);
  EXPECT_EQ(plain->path, ttf);
}

TEST(FontSourceTest, LocalizedNamesFollowThePreferredLanguages) {
  PrivateFonts fonts;
  std::string ipa = fonts.add(testing::kIpaGothic);
  std::string zenhei = fonts.add(testing::kWenQuanYiZenHei);
  struct Case {
    const char* language;
    const char* lang;
    const char* ipaFamily;
    const char* zenheiFamily;
  } cases[] = {
      {nullptr, "ja_JP.UTF-8", "IPAゴシック", "WenQuanYi Zen Hei"},
      {nullptr, "en_US.UTF-8", "IPAGothic", "WenQuanYi Zen Hei"},
      {nullptr, "C", "IPAGothic", "WenQuanYi Zen Hei"},
      {"fr:zh_CN", "en_US.UTF-8", "IPAGothic", "文泉驿正黑"},
      {"zh_TW:ja", nullptr, "IPAゴシック", "文泉驛正黑"},
  };
  for (const Case& c : cases) {
    LocaleScope locale(c.language, c.lang);
    std::unique_ptr<FontSource> source = FontSource::create();
    std::vector<ListedFont> listed = source->availableFonts();
    std::optional<FontDescription> ja = source->openFont(facesOf(listed, ipa).at(0));
    std::optional<FontDescription> zh = source->openFont(facesOf(listed, zenhei).at(0));
    ASSERT_TRUE(ja && zh);
    EXPECT_EQ(ja->family, "IPAGothic");
    EXPECT_EQ(ja->localizedFamily, c.ipaFamily) << c.lang;
    EXPECT_EQ(zh->family, "WenQuanYi Zen Hei");
    EXPECT_EQ(zh->localizedFamily, c.zenheiFamily) << (c.language ? c.language : c.lang);
  }
}

TEST(FontSourceTest, UnopenableAndUnnamableFaces) {
  PrivateFonts fonts;
  std::string gone = fonts.add(testing::kIpaGothic);
  std::string odd = fonts.add(testing::kDejaVuSans, "odd\xff.ttf");
  std::string kept = fonts.add(testing::kInterThin);
  std::unique_ptr<FontSource> source = FontSource::create();
  std::vector<ListedFont> listed = source->availableFonts();
  ASSERT_EQ(listed.size(), 3u);

  // fontconfig still lists a face whose file went after it was indexed.
  ASSERT_EQ(unlink(gone.c_str()), 0);
  EXPECT_FALSE(source->openFont(facesOf(listed, gone).at(0)));
  // A path with no UTF-8 form is no path.
  std::optional<FontDescription> d = source->openFont(facesOf(listed, odd).at(0));
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->path);
  EXPECT_EQ(d->family, "DejaVu Sans");
  EXPECT_TRUE(source->openFont(facesOf(listed, kept).at(0)));
  // A face that was never listed is not opened.
  EXPECT_FALSE(source->openFont(ListedFont{"X", fonts.fontsDir() + "/none.ttf", 0}));
}

TEST(FontSourceTest, RewrittenFileIsOpenedAgain) {
  PrivateFonts fonts;
  std::string file = fonts.add(testing::kDejaVuSans);
  std::unique_ptr<FontSource> source = FontSource::create();
  std::vector<ListedFont> listed = source->availableFonts();
  ASSERT_TRUE(source->openFont(listed.at(0)));
  testing::writeFile(file, "not a font any more");
  EXPECT_FALSE(source->openFont(listed.at(0)));
}

}  // namespace
}  // namespace kavri
