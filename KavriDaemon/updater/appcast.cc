#include "updater/appcast.h"

#include <expat.h>
#include <sodium.h>

#include <cctype>
#include <charconv>
#include <memory>

#include "updater/version_compare.h"

namespace kavri {
namespace {

// Expat joins a namespace URI and a local name with this character; URIs
// never hold a space.
constexpr char kNamespaceSeparator = ' ';
constexpr size_t kMaxDepth = 32;
constexpr size_t kMaxItems = 10000;
constexpr size_t kMaxFieldBytes = 8192;
constexpr size_t kEdSignatureBytes = 64;

const std::string kSparklePrefix = std::string(kSparkleNamespace) + kNamespaceSeparator;

// The local name of `name` when it lies in the update namespace, else "".
std::string_view sparkleName(std::string_view name) {
  if (name.substr(0, kSparklePrefix.size()) != kSparklePrefix) return {};
  return name.substr(kSparklePrefix.size());
}

bool hasControlCharacters(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

bool isHttpURL(std::string_view url) {
  auto startsWithNoCase = [&](std::string_view prefix) {
    if (url.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
    return true;
  };
  if (!startsWithNoCase("http://") && !startsWithNoCase("https://")) return false;
  return url.find(' ') == std::string_view::npos && !hasControlCharacters(url);
}

std::string_view trimmed(std::string_view s) {
  const char* space = " \t\r\n";
  size_t first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

struct ItemDraft {
  int enclosures = 0;
  AppcastItem item;
  std::string attributeVersion;
  std::string elementVersion;
  std::string attributeShortVersion;
  std::string elementShortVersion;
  std::string lengthText;
};

class AppcastParser {
 public:
  AppcastParser() : parser_(XML_ParserCreateNS(nullptr, kNamespaceSeparator), &XML_ParserFree) {}

  std::optional<std::vector<AppcastItem>> parse(std::string_view xml, std::string* err) {
    if (!parser_) return fail(err, "out of memory");
    if (xml.size() > kMaxAppcastBytes) return fail(err, "feed larger than 1 MiB");
    XML_Parser p = parser_.get();
    XML_SetUserData(p, this);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetStartDoctypeDeclHandler(p, [](void* self, const XML_Char*, const XML_Char*,
                                         const XML_Char*, int) {
      static_cast<AppcastParser*>(self)->refuse("DOCTYPE not allowed");
    });
    XML_SetEntityDeclHandler(p, [](void* self, const XML_Char*, int, const XML_Char*, int,
                                   const XML_Char*, const XML_Char*, const XML_Char*,
                                   const XML_Char*) {
      static_cast<AppcastParser*>(self)->refuse("entity declarations not allowed");
    });
    XML_SetElementHandler(
        p,
        [](void* self, const XML_Char* name, const XML_Char** attributes) {
          static_cast<AppcastParser*>(self)->startElement(name, attributes);
        },
        [](void* self, const XML_Char* name) {
          static_cast<AppcastParser*>(self)->endElement(name);
        });
    XML_SetCharacterDataHandler(p, [](void* self, const XML_Char* s, int len) {
      static_cast<AppcastParser*>(self)->characters(std::string_view(s, static_cast<size_t>(len)));
    });

    if (XML_Parse(p, xml.data(), static_cast<int>(xml.size()), XML_TRUE) != XML_STATUS_OK) {
      if (!error_.empty()) return fail(err, error_);
      return fail(err, std::string("not well-formed XML: ") + XML_ErrorString(XML_GetErrorCode(p)) +
                           " at line " + std::to_string(XML_GetCurrentLineNumber(p)));
    }
    if (!error_.empty()) return fail(err, error_);
    if (!sawChannel_) return fail(err, "not an RSS feed: no rss > channel");
    return std::move(items_);
  }

 private:
  std::nullopt_t fail(std::string* err, const std::string& why) {
    if (err) *err = why;
    return std::nullopt;
  }

  void refuse(const std::string& why) {
    if (error_.empty()) error_ = why;
    XML_StopParser(parser_.get(), XML_FALSE);
  }

  void startElement(std::string_view name, const XML_Char** attributes) {
    if (!error_.empty()) return;
    if (path_.size() >= kMaxDepth) return refuse("feed nested too deeply");
    path_.emplace_back(name);
    text_.clear();
    size_t depth = path_.size();
    if (depth == 1 && name != "rss") return refuse("not an RSS feed: root element is not rss");
    if (depth == 2 && name == "channel") sawChannel_ = true;
    if (depth == 3 && name == "item" && path_[1] == "channel") {
      if (items_.size() >= kMaxItems) return refuse("feed has too many items");
      draft_.emplace();
      return;
    }
    if (depth == 4 && draft_ && name == "enclosure") enclosure(attributes);
  }

  void enclosure(const XML_Char** attributes) {
    if (++draft_->enclosures > 1) return refuse("item with more than one enclosure");
    for (size_t i = 0; attributes[i] && attributes[i + 1]; i += 2) {
      std::string_view key = attributes[i];
      std::string value = attributes[i + 1];
      if (value.size() > kMaxFieldBytes) return refuse("enclosure attribute too long");
      std::string_view local = sparkleName(key);
      if (key == "url") draft_->item.url = value;
      else if (key == "length") draft_->lengthText = value;
      else if (local == "version") draft_->attributeVersion = value;
      else if (local == "shortVersionString") draft_->attributeShortVersion = value;
      else if (local == "edSignature") draft_->item.edSignature = value;
      else if (local == "os") draft_->item.os = value;
    }
  }

  void characters(std::string_view s) {
    if (!draft_ || path_.size() != 4) return;
    if (text_.size() + s.size() > kMaxFieldBytes) return refuse("item element too long");
    text_.append(s);
  }

  void endElement(std::string_view name) {
    if (!error_.empty() || path_.empty()) return;
    size_t depth = path_.size();
    path_.pop_back();
    if (!draft_) return;
    if (depth == 4) {
      std::string value(trimmed(text_));
      std::string_view local = sparkleName(name);
      if (local == "version") draft_->elementVersion = value;
      else if (local == "shortVersionString") draft_->elementShortVersion = value;
      else if (local == "minimumSystemVersion") draft_->item.minimumSystemVersion = value;
    } else if (depth == 3) {
      finishItem();
    }
  }

  // Sets `out` from an attribute and an element that may both give it; they
  // must agree when both do.
  bool pick(const std::string& attribute, const std::string& element, std::string* out) {
    if (!attribute.empty() && !element.empty() && attribute != element) return false;
    *out = attribute.empty() ? element : attribute;
    return true;
  }

  void finishItem() {
    ItemDraft draft = std::move(*draft_);
    draft_.reset();
    if (draft.enclosures == 0) return;  // release notes only
    AppcastItem& item = draft.item;
    if (!isHttpURL(item.url)) return refuse("item with a missing or non-http(s) enclosure url");
    uint64_t length = 0;
    const char* end = draft.lengthText.data() + draft.lengthText.size();
    auto [ptr, ec] = std::from_chars(draft.lengthText.data(), end, length);
    if (draft.lengthText.empty() || draft.lengthText[0] == '-' || draft.lengthText[0] == '+' ||
        ec != std::errc() || ptr != end || length == 0)
      return refuse("item with a missing or invalid enclosure length");
    item.length = length;
    if (!pick(draft.attributeVersion, draft.elementVersion, &item.version))
      return refuse("item with two different versions");
    if (item.version.empty() || hasControlCharacters(item.version))
      return refuse("item without a version");
    if (!pick(draft.attributeShortVersion, draft.elementShortVersion, &item.shortVersion))
      return refuse("item with two different short versions");
    if (!item.edSignature.empty()) {
      unsigned char signature[kEdSignatureBytes];
      size_t decoded = 0;
      const char* sigEnd = nullptr;
      if (sodium_base642bin(signature, sizeof signature, item.edSignature.data(),
                            item.edSignature.size(), nullptr, &decoded, &sigEnd,
                            sodium_base64_VARIANT_ORIGINAL) != 0 ||
          decoded != kEdSignatureBytes || sigEnd != item.edSignature.data() + item.edSignature.size())
        return refuse("item with a malformed edSignature");
    }
    items_.push_back(std::move(item));
  }

  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser_;
  std::vector<std::string> path_;
  std::string text_;
  std::optional<ItemDraft> draft_;
  std::vector<AppcastItem> items_;
  bool sawChannel_ = false;
  std::string error_;
};

// "6.1.0-18-amd64" -> "6.1.0": distribution suffixes would read as
// pre-release tags.
std::string_view numericRelease(std::string_view release) {
  size_t end = release.find_first_not_of("0123456789.");
  return release.substr(0, end);
}

}  // namespace

std::optional<std::vector<AppcastItem>> parseAppcast(std::string_view xml, std::string* err) {
  return AppcastParser().parse(xml, err);
}

std::optional<AppcastItem> bestAppcastItem(const std::vector<AppcastItem>& items,
                                           std::string_view currentVersion,
                                           std::string_view kernelRelease) {
  const AppcastItem* best = nullptr;
  for (const AppcastItem& item : items) {
    if (!item.os.empty() && item.os != "linux") continue;
    if (!item.minimumSystemVersion.empty() &&
        compareVersions(numericRelease(kernelRelease), item.minimumSystemVersion) < 0)
      continue;
    if (compareVersions(item.version, currentVersion) <= 0) continue;
    if (!best || compareVersions(item.version, best->version) > 0) best = &item;
  }
  if (!best) return std::nullopt;
  return *best;
}

}  // namespace kavri
