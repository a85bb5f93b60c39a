#include "platform/elf_build_id.h"

#include <elf.h>

#include <cstring>
#include <vector>

namespace kavri {
namespace {

// Beyond these the file is not a module of ours: a linker writes a handful
// of program headers and notes of a few dozen bytes.
constexpr uint16_t kMaxProgramHeaders = 256;
constexpr uint64_t kMaxNoteSegmentBytes = 64 * 1024;
constexpr uint32_t kMaxBuildIdBytes = 64;

std::nullopt_t fail(std::string* err, const char* why) {
  *err = why;
  return std::nullopt;
}

// Whether [offset, offset + length) lies within a file of `fileSize` bytes.
bool within(uint64_t fileSize, uint64_t offset, uint64_t length) {
  return offset <= fileSize && length <= fileSize - offset;
}

template <typename T>
bool readStruct(const ElfReader& read, uint64_t offset, T* into) {
  return read(offset, std::span<uint8_t>(reinterpret_cast<uint8_t*>(into), sizeof(T)));
}

uint32_t word(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

uint64_t alignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// The build-id among the notes of one PT_NOTE segment, or nullopt.
std::optional<std::string> buildIdAmong(const std::vector<uint8_t>& notes, uint64_t alignment) {
  constexpr char kOwner[] = "GNU";  // with its NUL: the note's name is 4 bytes
  uint64_t at = 0;
  while (notes.size() - at >= 12) {
    uint64_t nameSize = word(notes, at), descSize = word(notes, at + 4);
    uint32_t type = word(notes, at + 8);
    uint64_t name = at + 12;
    uint64_t desc = alignUp(name + nameSize, alignment);
    uint64_t next = alignUp(desc + descSize, alignment);
    // Sizes are 32-bit and the segment is bounded: no sum here overflows.
    if (desc > notes.size() || descSize > notes.size() - desc) return std::nullopt;
    if (type == NT_GNU_BUILD_ID && nameSize == sizeof kOwner &&
        std::memcmp(notes.data() + name, kOwner, sizeof kOwner) == 0) {
      if (descSize == 0 || descSize > kMaxBuildIdBytes) return std::nullopt;
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex;
      for (uint64_t i = desc; i < desc + descSize; ++i) {
        hex += kHex[notes[i] >> 4];
        hex += kHex[notes[i] & 0xf];
      }
      return hex;
    }
    if (next >= notes.size()) break;
    at = next;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> elfBuildId(uint64_t fileSize, const ElfReader& read, std::string* err) {
  Elf64_Ehdr header;
  if (!within(fileSize, 0, sizeof header)) return fail(err, "not an ELF file: too short");
  if (!readStruct(read, 0, &header)) return fail(err, "cannot read the ELF header");
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB)
    return fail(err, "not a 64-bit little-endian ELF file");
  if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > kMaxProgramHeaders ||
      !within(fileSize, header.e_phoff, uint64_t{header.e_phnum} * sizeof(Elf64_Phdr)))
    return fail(err, "malformed ELF program headers");
  for (uint16_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    if (!readStruct(read, header.e_phoff + uint64_t{i} * sizeof segment, &segment))
      return fail(err, "cannot read the ELF program headers");
    if (segment.p_type != PT_NOTE || segment.p_filesz == 0) continue;
    if (segment.p_filesz > kMaxNoteSegmentBytes ||
        !within(fileSize, segment.p_offset, segment.p_filesz))
      return fail(err, "malformed ELF note segment");
    std::vector<uint8_t> notes(segment.p_filesz);
    if (!read(segment.p_offset, notes)) return fail(err, "cannot read an ELF note segment");
    // Notes are aligned to 4 bytes, or to 8 in a segment aligned so.
    if (auto id = buildIdAmong(notes, segment.p_align == 8 ? 8 : 4)) return id;
  }
  return fail(err, "no build id");
}

}  // namespace kavri
