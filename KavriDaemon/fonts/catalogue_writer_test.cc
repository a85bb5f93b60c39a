#include "fonts/catalogue_writer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace kavri {
namespace {

// The server has been reading nlohmann's compact dump all along: the
// writer's text is that, byte for byte.
TEST(CatalogueWriterTest, StringsAreEscapedAsTheJsonLibraryEscapesThem) {
  std::string every;
  for (int c = 1; c < 0x80; ++c) every += static_cast<char>(c);
  for (const std::string& text : {std::string(), every, std::string("naïve 文泉驛 \U0001F600"),
                                  std::string("a\0b", 3), std::string("/f/x \"y\"\\z.ttf")}) {
    std::string out;
    appendJsonString(&out, text);
    EXPECT_EQ(out, nlohmann::json(text).dump()) << text;
  }
}

TEST(CatalogueWriterTest, RecordsAreTheJsonLibrarysCompactDump) {
  FaceRecord record;
  record.family = "Fam\"ily";
  record.style = "Bold\tItalic";
  record.postscript = "Fam-BoldItalic";
  record.weight = 700;
  record.stretch = 3;
  record.italic = true;
  nlohmann::ordered_json expected = {
      {"family", "Fam\"ily"},
      {"style", "Bold\tItalic"},
      {"postscript", "Fam-BoldItalic"},
      {"weight", 700},
      {"stretch", 3},
      {"italic", true},
  };
  std::string out;
  appendRecord(&out, record);
  EXPECT_EQ(out, expected.dump());

  record.localized = true;
  record.localizedFamily = "ファミリー";
  record.localizedStyle = "太字";
  expected["localizedFamily"] = "ファミリー";
  expected["localizedStyle"] = "太字";
  out.clear();
  appendRecord(&out, record);
  EXPECT_EQ(out, expected.dump());
}

TEST(CatalogueWriterTest, RecordsOfOnePathShareItsArrayWhereverTheyCome) {
  CatalogueWriter writer;
  EXPECT_EQ(writer.finish(), "{}");
  writer.add("/b.ttc", "1");
  writer.add("/a.ttf", "2");
  writer.add("/b.ttc", "3");
  EXPECT_EQ(writer.finish(), "{\"/b.ttc\":[1,3],\"/a.ttf\":[2]}");
}

}  // namespace
}  // namespace kavri
