#include "fonts/font_scanner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/fake_font_source.h"
#include "platform/log.h"
#include "server/channel.h"
#include "test_util.h"

namespace kavri {
namespace {

using testing::FakeFontSource;
using testing::regularFace;

// Points the server's input at a file and collects log lines for one test.
class FontScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = open(dir_.file("server-input").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd_, 0);
    serverStdin = fd_;
    setLogSinkForTesting([this](const std::string& line) { log_.push_back(line); });
  }
  void TearDown() override {
    setLogSinkForTesting(nullptr);
    serverStdin = -1;
    close(fd_);
  }

  std::string sent() { return testing::readFile(dir_.file("server-input")); }

  nlohmann::json scanAndParse() {
    FontScanner(source_).scanForFonts();
    std::string text = sent();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  }

  testing::TempDir dir_;
  int fd_ = -1;
  std::vector<std::string> log_;
  FakeFontSource source_;
};

TEST_F(FontScannerTest, EmptyListSendsEmptyObject) {
  FontScanner(source_).scanForFonts();
  EXPECT_EQ(sent(), "{}\n");
  EXPECT_EQ(log_, std::vector<std::string>{"font scanner found 0 fonts"});
}

TEST_F(FontScannerTest, CountsThenListsAgain) {
  source_.add("A-Regular", regularFace("/f/a.ttf", "A"));
  FontScanner(source_).scanForFonts();
  EXPECT_EQ(source_.listCalls, 2);
  EXPECT_EQ(log_.front(), "font scanner found 1 fonts");
}

TEST_F(FontScannerTest, RecordCarriesConvertedValues) {
  FontDescription d = regularFace("/f/a.ttf", "A", "Bold Condensed Oblique");
  d.weight = 0.4f;
  d.width = -0.2f;
  d.slant = -0.2f;
  d.format = FontFormat::kOpenTypePostScript;
  source_.add("A-BoldCondensedOblique", d);
  nlohmann::json catalogue = scanAndParse();
  nlohmann::json expected = {{"/f/a.ttf",
                              {{{"family", "A"},
                                {"style", "Bold Condensed Oblique"},
                                {"postscript", "A-BoldCondensedOblique"},
                                {"weight", 700},
                                {"stretch", 4},
                                {"italic", true}}}}};
  EXPECT_EQ(catalogue, expected);
  // Integers stay integers on the wire.
  EXPECT_NE(sent().find("\"weight\":700"), std::string::npos);
  EXPECT_NE(sent().find("\"stretch\":4"), std::string::npos);
}

TEST_F(FontScannerTest, MissingTraitsReadAsRegularAndNaNSlantIsItalic) {
  source_.add("Plain", regularFace("/f/plain.ttf", "Plain"));
  FontDescription nanSlant = regularFace("/f/nan.ttf", "Nan");
  nanSlant.slant = std::nanf("");
  source_.add("Nan", nanSlant);
  nlohmann::json catalogue = scanAndParse();
  const nlohmann::json& plain = catalogue["/f/plain.ttf"][0];
  EXPECT_EQ(plain["weight"], 400);
  EXPECT_EQ(plain["stretch"], 5);
  EXPECT_EQ(plain["italic"], false);
  EXPECT_EQ(catalogue["/f/nan.ttf"][0]["italic"], true);
}

TEST_F(FontScannerTest, FacesOfOneFileShareItsArrayInListOrder) {
  source_.add("C-Two", regularFace("/f/c.ttc", "C", "Two"));
  source_.add("B", regularFace("/f/b.ttf", "B"));
  source_.add("C-One", regularFace("/f/c.ttc", "C", "One"));
  nlohmann::json catalogue = scanAndParse();
  ASSERT_EQ(catalogue.size(), 2u);
  ASSERT_EQ(catalogue["/f/c.ttc"].size(), 2u);
  EXPECT_EQ(catalogue["/f/c.ttc"][0]["postscript"], "C-Two");
  EXPECT_EQ(catalogue["/f/c.ttc"][1]["postscript"], "C-One");
}

TEST_F(FontScannerTest, LocalizedNamesTravelTogetherOrNotAtAll) {
  FontDescription styleOnly = regularFace("/f/ja.ttf", "IPAGothic");
  styleOnly.localizedStyle = "標準";
  source_.add("StyleOnly", styleOnly);
  FontDescription familyOnly = regularFace("/f/zh.ttc", "WenQuanYi Zen Hei");
  familyOnly.localizedFamily = "文泉驛正黑";
  source_.add("FamilyOnly", familyOnly);
  source_.add("Same", regularFace("/f/same.ttf", "Same"));
  nlohmann::json catalogue = scanAndParse();

  const nlohmann::json& a = catalogue["/f/ja.ttf"][0];
  EXPECT_EQ(a["localizedFamily"], "IPAGothic");
  EXPECT_EQ(a["localizedStyle"], "標準");
  const nlohmann::json& b = catalogue["/f/zh.ttc"][0];
  EXPECT_EQ(b["localizedFamily"], "文泉驛正黑");
  EXPECT_EQ(b["localizedStyle"], "Regular");
  const nlohmann::json& c = catalogue["/f/same.ttf"][0];
  EXPECT_FALSE(c.contains("localizedFamily"));
  EXPECT_FALSE(c.contains("localizedStyle"));
}

TEST_F(FontScannerTest, SkipReasonsInOrderWithTheirLogLines) {
  source_.add("Gone", std::nullopt);
  FontDescription noStyle = regularFace("/f/x.ttf", "X");
  noStyle.localizedStyle.reset();
  source_.add("NoLocalizedStyle", noStyle);
  // A missing value wins over bitmap.
  FontDescription bitmapNoFormat = regularFace("/f/bm.pcf", "Bm");
  bitmapNoFormat.path.reset();
  bitmapNoFormat.format = FontFormat::kBitmap;
  source_.add("BitmapWithoutPath", bitmapNoFormat);
  FontDescription bitmap = regularFace("/f/ter.otb", "Terminus");
  bitmap.format = FontFormat::kBitmap;
  source_.add("Terminus", bitmap);
  source_.add("Good", regularFace("/f/good.ttf", "Good"));

  nlohmann::json catalogue = scanAndParse();
  EXPECT_EQ(catalogue.size(), 1u);
  EXPECT_TRUE(catalogue.contains("/f/good.ttf"));
  std::vector<std::string> expected = {
      "font scanner found 5 fonts",           "ignoring bad font 'Gone', missing NSFont",
      "ignoring bad font 'NoLocalizedStyle'", "ignoring bad font 'BitmapWithoutPath'",
      "ignoring bitmap font 'Terminus'",
  };
  EXPECT_EQ(log_, expected);
}

TEST_F(FontScannerTest, EachMissingValueSkipsTheFace) {
  auto without = [](void (*drop)(FontDescription&)) {
    FontDescription d = regularFace("/f/x.ttf", "X");
    drop(d);
    return d;
  };
  source_.add("NoPath", without([](FontDescription& d) { d.path.reset(); }));
  source_.add("NoFormat", without([](FontDescription& d) { d.format.reset(); }));
  source_.add("NoFamily", without([](FontDescription& d) { d.family.reset(); }));
  source_.add("NoStyle", without([](FontDescription& d) { d.style.reset(); }));
  source_.add("NoLocFamily", without([](FontDescription& d) { d.localizedFamily.reset(); }));
  EXPECT_EQ(scanAndParse(), nlohmann::json::object());
  EXPECT_EQ(log_.size(), 6u);
}

TEST_F(FontScannerTest, NonUtf8PathSkipsOnlyThatFace) {
  source_.add("Odd\xff", regularFace("/f/odd\xff.ttf", "Odd"));
  FontDescription badFamily = regularFace("/f/bad.ttf", "Bad\xc0");
  source_.add("BadFamily", badFamily);
  source_.add("Good", regularFace("/f/good.ttf", "Good"));
  nlohmann::json catalogue = scanAndParse();
  EXPECT_EQ(catalogue.size(), 1u);
  EXPECT_TRUE(catalogue.contains("/f/good.ttf"));
  // The log line stays valid text.
  EXPECT_EQ(log_[1], "ignoring bad font 'Odd\\xff'");
  EXPECT_EQ(log_[2], "ignoring bad font 'BadFamily'");
}

TEST_F(FontScannerTest, NamesNeedingEscapesStayOnOneLine) {
  source_.add("Q\"uote", regularFace("/f/a \"b\" \\c\n.ttf", "Fam\"ily\\", "St\tyle\n"));
  nlohmann::json catalogue = scanAndParse();
  const nlohmann::json& record = catalogue["/f/a \"b\" \\c\n.ttf"][0];
  EXPECT_EQ(record["family"], "Fam\"ily\\");
  EXPECT_EQ(record["style"], "St\tyle\n");
  EXPECT_EQ(record["postscript"], "Q\"uote");
}

TEST_F(FontScannerTest, RescanSendsAFullMessageAgain) {
  source_.add("A", regularFace("/f/a.ttf", "A"));
  FontScanner scanner(source_);
  scanner.scanForFonts();
  std::string first = sent();
  scanner.fontSetChanged();
  EXPECT_EQ(sent(), first + first);
}

// A source that vouches for its files (revisions) gets each file opened
// once; what the scan made of it is sent again, byte for byte, and its log
// lines logged again, until its revision changes.
TEST_F(FontScannerTest, VouchedFilesAreOpenedOncePerRevision) {
  source_.add("/f/a.ttf", regularFace("/f/a.ttf", "A"), 1);
  FontDescription bitmap = regularFace("/f/b.otb", "B");
  bitmap.format = FontFormat::kBitmap;
  source_.add("/f/b.otb", bitmap, 2);
  source_.add("/f/c.ttf", regularFace("/f/c.ttf", "C"), 3);
  FontScanner scanner(source_);
  scanner.scanForFonts();
  std::string first = sent();
  std::vector<std::string> firstLog = log_;
  EXPECT_EQ(source_.openCalls, 3);

  log_.clear();
  scanner.scanForFonts();
  EXPECT_EQ(source_.openCalls, 3);
  EXPECT_EQ(sent(), first + first);
  EXPECT_EQ(log_, firstLog);
  EXPECT_EQ(log_.back(), "ignoring bitmap font '/f/b.otb'");

  // One file changes: only it is opened again, and the rest is as it was.
  source_.change("/f/c.ttf", regularFace("/f/c.ttf", "C2"), 4);
  scanner.scanForFonts();
  EXPECT_EQ(source_.openCalls, 4);
  std::string third = sent().substr(2 * first.size());
  EXPECT_EQ(third.substr(0, third.find("/f/c.ttf")), first.substr(0, first.find("/f/c.ttf")));
  nlohmann::json catalogue = nlohmann::json::parse(third, nullptr, false);
  EXPECT_EQ(catalogue["/f/c.ttf"][0]["family"], "C2");
  EXPECT_EQ(catalogue["/f/a.ttf"][0]["family"], "A");
}

}  // namespace
}  // namespace kavri
