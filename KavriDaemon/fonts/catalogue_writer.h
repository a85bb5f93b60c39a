#ifndef KAVRI_FONTS_CATALOGUE_WRITER_H_
#define KAVRI_FONTS_CATALOGUE_WRITER_H_

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kavri {

// One face record of the catalogue, its values as the server gets them.
// All text must be valid UTF-8 (the scanner checks before it writes).
struct FaceRecord {
  std::string_view family;
  std::string_view style;
  std::string_view postscript;
  int weight = 400;
  int stretch = 5;
  bool italic = false;
  // Both or neither: present when either differs from its default name.
  std::string_view localizedFamily;
  std::string_view localizedStyle;
  bool localized = false;
};

// Appends `record` as compact JSON: its members in the order above.
void appendRecord(std::string* out, const FaceRecord& record);

// Appends `text` as a JSON string. Escapes the quote, the backslash and the
// control characters (\b \t \n \f \r by name, the others as \u00xx); every
// other byte, UTF-8 beyond ASCII included, goes as it is.
void appendJsonString(std::string* out, std::string_view text);

// The catalogue as compact JSON text: an object whose members are font file
// paths, each with the array of its face records. Records are added as text
// under their path, paths in the order their first record came; a scan of
// thousands of faces then never holds, or frees, one large tree of values.
class CatalogueWriter {
 public:
  // Adds one or more records (comma-joined JSON text) to `path`'s array.
  void add(const std::string& path, std::string_view records);

  // The whole catalogue on one line, without its line feed.
  std::string finish() const;

 private:
  std::vector<std::pair<std::string, std::string>> files_;  // path, its records
  std::unordered_map<std::string, size_t> positions_;       // path -> index in files_
};

}  // namespace kavri

#endif  // KAVRI_FONTS_CATALOGUE_WRITER_H_
