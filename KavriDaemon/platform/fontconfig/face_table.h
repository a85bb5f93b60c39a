#ifndef KAVRI_PLATFORM_FONTCONFIG_FACE_TABLE_H_
#define KAVRI_PLATFORM_FONTCONFIG_FACE_TABLE_H_

// Linux-internal: the listed faces of the installed fonts, packed into one
// array and one block of text. A library holds tens of thousands of faces
// for as long as the agent runs; as a few large blocks they cost what they
// hold, where a few small allocations per face would stay scattered over
// the heap long after everything allocated around them was freed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/font_source.h"
#include "platform/fontconfig/installed_face.h"

namespace kavri {

class FaceTable {
 private:
  struct Face;

 public:
  FaceTable() = default;
  FaceTable(FaceTable&&) noexcept = default;
  FaceTable& operator=(FaceTable&&) noexcept = default;
  FaceTable(const FaceTable&) = delete;
  FaceTable& operator=(const FaceTable&) = delete;

  // The faces as the font source lists them, in the order they were added;
  // names and files are views into this table, valid while it lives.
  const std::vector<ListedFont>& listed() const { return listed_; }
  size_t size() const { return faces_.size(); }

  const FaceTraits& traits(size_t i) const { return faces_[i].traits; }
  FaceNames names(size_t i) const {
    return FaceNames::unpack(text(faces_[i].names, faces_[i].namesLength));
  }
  FontDescription description(size_t i) const;

  // Face `i` here and face `j` of `other` have the same name, index and
  // description, and open alike.
  bool same(size_t i, const FaceTable& other, size_t j) const;
  // Face `i` would be listed and described as `face` is (named `name`).
  bool same(size_t i, std::string_view name, int index, const FaceNames& names,
            const FaceTraits& traits) const;

  // The faces of `file` (an empty range when it has none here). The table
  // must be sorted by file.
  std::pair<size_t, size_t> facesOf(std::string_view file) const;

  // Builds a table face by face.
  class Builder {
   public:
    void reserve(size_t faces, size_t textBytes);
    void add(std::string_view file, std::string_view name, int index, uint64_t revision,
             const FaceNames& names, const FaceTraits& traits);
    // Face `i` of `from`; with its revision replaced when `revision` is not 0.
    void copy(const FaceTable& from, size_t i, uint64_t revision = 0);
    void setName(std::string_view name);  // of the face added last
    FaceTable finish();

   private:
    size_t append(std::string_view text);
    std::string_view text(size_t at, size_t length) const {
      return std::string_view(text_).substr(at, length);
    }
    std::string text_;
    std::vector<Face> faces_;
  };

 private:
  struct Face {
    size_t file = 0, fileLength = 0;  // in text_
    size_t name = 0, nameLength = 0;
    size_t names = 0, namesLength = 0;
    int index = 0;
    uint64_t revision = 0;
    FaceTraits traits;
  };

  std::string_view text(size_t at, size_t length) const {
    return std::string_view(text_).substr(at, length);
  }

  std::string text_;
  std::vector<Face> faces_;
  std::vector<ListedFont> listed_;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_FACE_TABLE_H_
