// The scanner over real fonts from Debian packages, through the platform's
// font source, checked against what fontTools reads from the same files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "font_fixtures/private_fonts.h"
#include "fonts/font_scanner.h"
#include "platform/font_source.h"
#include "platform/log.h"
#include "server/channel.h"

namespace kavri {
namespace {

using testing::PrivateFonts;

class FontCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = getenv(name);
      savedLocale_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
    setLogSinkForTesting([this](const std::string& line) { log_.push_back(line); });
  }
  void TearDown() override {
    setLogSinkForTesting(nullptr);
    serverStdin = -1;
    for (auto& [name, value] : savedLocale_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

  // The message one scan sends, as sent.
  std::string scan(FontScanner& scanner) {
    std::string path = fonts_.root() + "/server-input";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    serverStdin = fd;
    scanner.scanForFonts();
    close(fd);
    serverStdin = -1;
    return testing::readFile(path);
  }

  bool logged(const std::string& line) const {
    for (const std::string& l : log_) {
      if (l == line) return true;
    }
    return false;
  }

  PrivateFonts fonts_;
  std::vector<std::string> log_;
  std::vector<std::pair<std::string, std::optional<std::string>>> savedLocale_;
};

// Installs the test set and returns the files fontTools is asked about.
std::vector<std::string> installTestSet(PrivateFonts& fonts) {
  std::vector<std::string> files = {
      fonts.add(testing::kDejaVuSans),  fonts.add(testing::kWenQuanYiZenHei),
      fonts.add(testing::kIpaGothic),   fonts.add(testing::kInterVariable),
      fonts.add(testing::kInterThin),   fonts.add(testing::kTerminusOtb),
      fonts.add(testing::kTerminusPcf), fonts.add(testing::kUrwType1),
  };
  std::string escapes = fonts.fontsDir() + "/quote\"back\\slash\ttab.ttf";
  EXPECT_TRUE(testing::restyleFont(testing::kDejaVuSans, escapes, "Say \"Hi\" \\ Tab\tEnd"));
  files.push_back(escapes);
  return files;
}

TEST_F(FontCatalogueTest, CarriesWhatTheFontFilesDeclare) {
  struct Case {
    const char* language;
    const char* lang;
    std::vector<std::string> tags;
  } cases[] = {
      {nullptr, "ja_JP.UTF-8", {"ja-jp", "ja"}},
      {nullptr, "en_US.UTF-8", {"en-us", "en"}},
      {"zh_TW:fr", "ja_JP.UTF-8", {"zh-tw", "zh", "fr"}},
      {nullptr, "zh_CN.UTF-8", {"zh-cn", "zh"}},
  };
  std::vector<std::string> files = installTestSet(fonts_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language ? c.language : c.lang);
    unsetenv("LANGUAGE");
    if (c.language) setenv("LANGUAGE", c.language, 1);
    setenv("LANG", c.lang, 1);
    log_.clear();
    std::unique_ptr<FontSource> source = FontSource::create();
    FontScanner scanner(*source);
    std::string message = scan(scanner);

    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.find('\n'), message.size() - 1);
    nlohmann::json sent = nlohmann::json::parse(message, nullptr, false);
    ASSERT_FALSE(sent.is_discarded()) << message;
    nlohmann::json declared =
        nlohmann::json::parse(testing::fontFacts(c.tags, files), nullptr, false);
    ASSERT_FALSE(declared.is_discarded());
    EXPECT_EQ(nlohmann::json::diff(sent, declared), nlohmann::json::array());

    EXPECT_TRUE(logged("ignoring bitmap font 'Terminus'"));
    int bitmapLines = 0;
    for (const std::string& line : log_) bitmapLines += line.rfind("ignoring bitmap font", 0) == 0;
    EXPECT_EQ(bitmapLines, 2);  // the OTB and the PCF
  }
}

TEST_F(FontCatalogueTest, TwoScansOfAnUnchangedSetAreIdentical) {
  installTestSet(fonts_);
  std::unique_ptr<FontSource> source = FontSource::create();
  FontScanner scanner(*source);
  std::string first = scan(scanner);
  EXPECT_EQ(scan(scanner), first);
  std::unique_ptr<FontSource> fresh = FontSource::create();
  FontScanner other(*fresh);
  EXPECT_EQ(scan(other), first);
}

TEST_F(FontCatalogueTest, OddFileNameAndVanishedFileCostOnlyTheirFaces) {
  std::string dejavu = fonts_.add(testing::kDejaVuSans);
  fonts_.add(testing::kDejaVuSans, "odd\xff\xfe.ttf");
  std::string ipa = fonts_.add(testing::kIpaGothic);
  std::unique_ptr<FontSource> source = FontSource::create();
  source->availableFonts();           // fontconfig has indexed the file...
  ASSERT_EQ(unlink(ipa.c_str()), 0);  // ...and then it goes

  FontScanner scanner(*source);
  nlohmann::json sent = nlohmann::json::parse(scan(scanner), nullptr, false);
  ASSERT_TRUE(sent.is_object());
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent.contains(dejavu));
  EXPECT_TRUE(logged("font scanner found 3 fonts"));
  EXPECT_TRUE(logged("ignoring bad font 'DejaVuSans'"));
  EXPECT_TRUE(logged("ignoring bad font 'IPAGothic', missing NSFont"));
}

}  // namespace
}  // namespace kavri
