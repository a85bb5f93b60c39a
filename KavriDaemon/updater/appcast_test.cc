#include "updater/appcast.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

// 64 zero bytes in base64.
const std::string kSignature(86, 'A');
const std::string kSig = kSignature + "==";

std::string feed(const std::string& items,
                 const std::string& ns = "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" " + ns +
         "><channel><title>KavriDaemon</title>" + items + "</channel></rss>";
}

std::string item(const std::string& version, const std::string& extra = "") {
  return "<item><title>Version " + version +
         "</title><enclosure url=\"https://example.com/k-" + version +
         ".tar.gz\" length=\"1234\" type=\"application/octet-stream\" sparkle:version=\"" + version +
         "\" sparkle:edSignature=\"" + kSig + "\" " + extra + "/></item>";
}

std::vector<AppcastItem> parseOk(const std::string& xml) {
  std::string err;
  auto items = parseAppcast(xml, &err);
  EXPECT_TRUE(items) << err;
  return items ? *items : std::vector<AppcastItem>();
}

std::string parseError(const std::string& xml) {
  std::string err;
  auto items = parseAppcast(xml, &err);
  EXPECT_FALSE(items);
  EXPECT_FALSE(err.empty());
  return err;
}

TEST(Appcast, ReadsEnclosureAttributesAndElements) {
  auto items = parseOk(feed(
      item("2", "sparkle:shortVersionString=\"2.0\" sparkle:os=\"linux\"") +
      "<item><sparkle:version>3</sparkle:version>"
      "<sparkle:shortVersionString> 3.0 </sparkle:shortVersionString>"
      "<sparkle:minimumSystemVersion>5.10</sparkle:minimumSystemVersion>"
      "<enclosure url=\"http://127.0.0.1:8080/k.zip\" length=\"99\"/></item>"
      "<item><title>notes only</title></item>"));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].url, "https://example.com/k-2.tar.gz");
  EXPECT_EQ(items[0].length, 1234u);
  EXPECT_EQ(items[0].version, "2");
  EXPECT_EQ(items[0].shortVersion, "2.0");
  EXPECT_EQ(items[0].edSignature, kSig);
  EXPECT_EQ(items[0].os, "linux");
  EXPECT_EQ(items[1].version, "3");
  EXPECT_EQ(items[1].shortVersion, "3.0");
  EXPECT_EQ(items[1].minimumSystemVersion, "5.10");
  EXPECT_EQ(items[1].edSignature, "");
}

TEST(Appcast, MatchesTheNamespaceByItsURINotItsPrefix) {
  std::string other = feed(
      "<item><enclosure url=\"https://e.com/a.zip\" length=\"5\" up:version=\"7\"/></item>",
      "xmlns:up=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"");
  auto items = parseOk(other);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].version, "7");

  // The familiar prefix bound to another URI gives no version at all.
  std::string impostor = feed(item("7"), "xmlns:sparkle=\"http://example.com/not-it\"");
  EXPECT_NE(parseError(impostor).find("version"), std::string::npos);
}

TEST(Appcast, RefusesDoctypeAndEntities) {
  std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]><rss><channel><title>&d;</title>"
      "</channel></rss>";
  EXPECT_NE(parseError(laughs).find("DOCTYPE"), std::string::npos);
  std::string external =
      "<?xml version=\"1.0\"?><!DOCTYPE rss SYSTEM \"file:///etc/passwd\"><rss><channel/></rss>";
  EXPECT_NE(parseError(external).find("DOCTYPE"), std::string::npos);
  std::string undeclared = feed("<item><title>&secret;</title></item>");
  parseError(undeclared);
}

TEST(Appcast, RefusesHugeDeepAndNonRSSDocuments) {
  std::string huge = feed("<item><title>" + std::string(kMaxAppcastBytes, 'x') + "</title></item>");
  EXPECT_NE(parseError(huge).find("1 MiB"), std::string::npos);
  std::string nested;
  for (int i = 0; i < 100; ++i) nested += "<a>";
  for (int i = 0; i < 100; ++i) nested += "</a>";
  std::string deep = feed(nested);
  EXPECT_NE(parseError(deep).find("deep"), std::string::npos);
  parseError("<feed><entry/></feed>");
  parseError("<rss><title/></rss>");
  parseError("");
  parseError(feed(item("2")).substr(0, 200));
  parseError(std::string("<rss><channel>\0</channel></rss>", 31));
}

TEST(Appcast, OneMalformedItemRejectsTheFeed) {
  const std::string bad[] = {
      "<item><enclosure length=\"5\" sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"file:///etc/passwd\" length=\"5\" sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" length=\"-5\" sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" length=\"0\" sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" length=\"5x\" sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" length=\"99999999999999999999999\" "
      "sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" length=\"5\"/></item>",
      "<item><sparkle:version>3</sparkle:version><enclosure url=\"https://e.com/a\" length=\"5\" "
      "sparkle:version=\"2\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" length=\"5\" sparkle:version=\"2\" "
      "sparkle:edSignature=\"bm90IDY0IGJ5dGVz\"/></item>",
      "<item><enclosure url=\"https://e.com/a\" length=\"5\" sparkle:version=\"2\"/>"
      "<enclosure url=\"https://e.com/b\" length=\"5\" sparkle:version=\"2\"/></item>",
  };
  for (const std::string& b : bad) {
    SCOPED_TRACE(b);
    parseError(feed(item("2") + b + item("3")));
  }
}

AppcastItem release(const std::string& version, const std::string& os = "",
                    const std::string& minimumSystem = "") {
  AppcastItem item;
  item.url = "https://example.com/" + version;
  item.length = 1;
  item.version = version;
  item.os = os;
  item.minimumSystemVersion = minimumSystem;
  return item;
}

TEST(Appcast, PicksTheHighestNewerReleaseForThisSystem) {
  std::vector<AppcastItem> items = {release("2"), release("4b1"), release("3"), release("9", "macos"),
                                    release("8", "", "99.0"), release("7", "linux", "6.1")};
  auto best = bestAppcastItem(items, "1", "6.1.0-18-amd64");
  ASSERT_TRUE(best);
  EXPECT_EQ(best->version, "7");
  best = bestAppcastItem(items, "1", "5.10.0");
  ASSERT_TRUE(best);
  EXPECT_EQ(best->version, "4b1");
  EXPECT_FALSE(bestAppcastItem(items, "7", "6.1.0"));
  EXPECT_FALSE(bestAppcastItem({release("1.0")}, "1.0.0", "6.1"));
  EXPECT_FALSE(bestAppcastItem({}, "1", "6.1"));
}

}  // namespace
}  // namespace kavri
