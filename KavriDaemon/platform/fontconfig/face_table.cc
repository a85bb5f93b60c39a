#include "platform/fontconfig/face_table.h"

#include <algorithm>

namespace kavri {

FontDescription FaceTable::description(size_t i) const {
  const Face& face = faces_[i];
  return describeFace(text(face.file, face.fileLength), names(i), face.traits);
}

bool FaceTable::same(size_t i, std::string_view name, int index, const FaceNames& names,
                     const FaceTraits& traits) const {
  const Face& face = faces_[i];
  return face.index == index && text(face.name, face.nameLength) == name &&
         this->names(i) == names && face.traits.sameDescription(traits) &&
         face.traits.opened() == traits.opened();
}

bool FaceTable::same(size_t i, const FaceTable& other, size_t j) const {
  const Face& a = faces_[i];
  const Face& b = other.faces_[j];
  return a.index == b.index && text(a.name, a.nameLength) == other.text(b.name, b.nameLength) &&
         text(a.names, a.namesLength) == other.text(b.names, b.namesLength) &&
         a.traits.sameDescription(b.traits) && a.traits.opened() == b.traits.opened();
}

std::pair<size_t, size_t> FaceTable::facesOf(std::string_view file) const {
  auto from =
      std::lower_bound(listed_.begin(), listed_.end(), file,
                       [](const ListedFont& f, std::string_view key) { return f.file < key; });
  auto to = from;
  while (to != listed_.end() && to->file == file) ++to;
  return {static_cast<size_t>(from - listed_.begin()), static_cast<size_t>(to - listed_.begin())};
}

void FaceTable::Builder::reserve(size_t faces, size_t textBytes) {
  faces_.reserve(faces);
  text_.reserve(textBytes);
}

size_t FaceTable::Builder::append(std::string_view text) {
  size_t at = text_.size();
  text_.append(text);
  return at;
}

void FaceTable::Builder::add(std::string_view file, std::string_view name, int index,
                             uint64_t revision, const FaceNames& names, const FaceTraits& traits) {
  Face added;
  // Faces of one file share its path.
  if (!faces_.empty() && text(faces_.back().file, faces_.back().fileLength) == file) {
    added.file = faces_.back().file;
  } else {
    added.file = append(file);
  }
  added.fileLength = file.size();
  added.name = append(name);
  added.nameLength = name.size();
  added.names = text_.size();
  names.packInto(&text_);
  added.namesLength = text_.size() - added.names;
  added.index = index;
  added.revision = revision;
  added.traits = traits;
  faces_.push_back(added);
}

void FaceTable::Builder::copy(const FaceTable& from, size_t i, uint64_t revision) {
  const Face& face = from.faces_[i];
  add(from.text(face.file, face.fileLength), from.text(face.name, face.nameLength), face.index,
      revision ? revision : face.revision, from.names(i), face.traits);
}

void FaceTable::Builder::setName(std::string_view name) {
  Face& face = faces_.back();
  face.name = append(name);
  face.nameLength = name.size();
}

FaceTable FaceTable::Builder::finish() {
  FaceTable table;
  table.text_ = std::move(text_);
  table.faces_ = std::move(faces_);
  table.text_.shrink_to_fit();
  table.faces_.shrink_to_fit();
  table.listed_.reserve(table.faces_.size());
  for (size_t i = 0; i < table.faces_.size(); ++i) {
    const Face& face = table.faces_[i];
    table.listed_.push_back({table.text(face.name, face.nameLength),
                             table.text(face.file, face.fileLength), face.index, i, face.revision});
  }
  return table;
}

}  // namespace kavri
