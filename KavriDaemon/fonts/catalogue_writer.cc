#include "fonts/catalogue_writer.h"

namespace kavri {

void appendJsonString(std::string* out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  size_t plain = 0;  // start of the run of bytes that go as they are
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->append(text.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\f':
        out->append("\\f");
        break;
      case '\r':
        out->append("\\r");
        break;
      default:
        out->append("\\u00");
        out->push_back(kHex[c >> 4]);
        out->push_back(kHex[c & 0xf]);
    }
  }
  out->append(text.data() + plain, text.size() - plain);
  out->push_back('"');
}

void appendRecord(std::string* out, const FaceRecord& record) {
  out->append("{\"family\":");
  appendJsonString(out, record.family);
  out->append(",\"style\":");
  appendJsonString(out, record.style);
  out->append(",\"postscript\":");
  appendJsonString(out, record.postscript);
  out->append(",\"weight\":");
  out->append(std::to_string(record.weight));
  out->append(",\"stretch\":");
  out->append(std::to_string(record.stretch));
  out->append(record.italic ? ",\"italic\":true" : ",\"italic\":false");
  if (record.localized) {
    out->append(",\"localizedFamily\":");
    appendJsonString(out, record.localizedFamily);
    out->append(",\"localizedStyle\":");
    appendJsonString(out, record.localizedStyle);
  }
  out->push_back('}');
}

void CatalogueWriter::add(const std::string& path, std::string_view records) {
  auto [position, added] = positions_.try_emplace(path, files_.size());
  if (added) files_.push_back({path, std::string()});
  std::string& text = files_[position->second].second;
  if (!text.empty()) text += ',';
  text += records;
}

std::string CatalogueWriter::finish() const {
  size_t size = 2;
  for (const auto& [path, records] : files_) size += path.size() + records.size() + 8;
  std::string out;
  out.reserve(size + size / 16);
  out += '{';
  for (const auto& [path, records] : files_) {
    if (out.size() > 1) out += ',';
    appendJsonString(&out, path);
    out += ":[";
    out += records;
    out += ']';
  }
  out += '}';
  return out;
}

}  // namespace kavri
