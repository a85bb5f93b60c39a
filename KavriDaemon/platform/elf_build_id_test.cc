// The build-id as the linker wrote it, read from real modules, stripped or
// not, and nothing at all read from damaged ones.

#include "platform/elf_build_id.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "test_util.h"

namespace kavri {

extern const char kTestModuleBuildId[];  // generated as the test module is linked

namespace {

std::optional<std::string> buildIdOf(const std::string& file, std::string* err) {
  return elfBuildId(
      file.size(),
      [&file](uint64_t offset, std::span<uint8_t> into) {
        if (offset > file.size() || into.size() > file.size() - offset) return false;
        std::memcpy(into.data(), file.data() + offset, into.size());
        return true;
      },
      err);
}

TEST(ElfBuildIdTest, TheLinkersIdOfAModuleStrippedOrNot) {
  std::string module = testing::readFile(KAVRI_TEST_MODULE);
  std::string err;
  EXPECT_EQ(buildIdOf(module, &err), kTestModuleBuildId) << err;

  // As the package strips it.
  testing::TempDir dir;
  testing::RunResult strip =
      testing::run({"/usr/bin/strip", "-o", dir.file("stripped.so"), KAVRI_TEST_MODULE});
  ASSERT_EQ(strip.exitStatus, 0) << strip.err;
  std::string stripped = testing::readFile(dir.file("stripped.so"));
  EXPECT_LT(stripped.size(), module.size());
  EXPECT_EQ(buildIdOf(stripped, &err), kTestModuleBuildId) << err;
}

// The module with `change` made to its ELF header and program headers.
std::string damaged(const std::function<void(Elf64_Ehdr&, Elf64_Phdr* segments)>& change) {
  std::string file = testing::readFile(KAVRI_TEST_MODULE);
  Elf64_Ehdr header;
  std::memcpy(&header, file.data(), sizeof header);
  const uint64_t at = header.e_phoff;
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  std::memcpy(segments.data(), file.data() + at, segments.size() * sizeof(Elf64_Phdr));
  change(header, segments.data());
  std::memcpy(file.data() + at, segments.data(), segments.size() * sizeof(Elf64_Phdr));
  std::memcpy(file.data(), &header, sizeof header);
  return file;
}

// Every PT_NOTE segment of `segments`, changed by `change`.
std::function<void(Elf64_Ehdr&, Elf64_Phdr*)> eachNote(
    const std::function<void(Elf64_Phdr&)>& change) {
  return [change](Elf64_Ehdr& header, Elf64_Phdr* segments) {
    for (uint16_t i = 0; i < header.e_phnum; ++i)
      if (segments[i].p_type == PT_NOTE) change(segments[i]);
  };
}

// Every build-id note's header words (name size, description size, type),
// changed by `change`.
std::string withNoteWords(const std::function<void(uint32_t* words)>& change) {
  std::string file = testing::readFile(KAVRI_TEST_MODULE);
  size_t at = file.find(std::string("GNU\0", 4));
  while (at != std::string::npos) {
    uint32_t words[3];
    std::memcpy(words, file.data() + at - 12, sizeof words);
    if (words[0] == 4 && words[2] == NT_GNU_BUILD_ID) {
      change(words);
      std::memcpy(file.data() + at - 12, words, sizeof words);
    }
    at = file.find(std::string("GNU\0", 4), at + 4);
  }
  return file;
}

TEST(ElfBuildIdTest, ADamagedOrForeignFileHasNone) {
  struct Case {
    const char* what;
    std::string file;
    const char* reason;
  };
  std::string module = testing::readFile(KAVRI_TEST_MODULE);
  const Case cases[] = {
      {"empty", "", "not an ELF file: too short"},
      {"truncated header", module.substr(0, 40), "not an ELF file: too short"},
      {"a script", "#!/bin/sh\nexit 0\n" + std::string(64, '\n'),
       "not a 64-bit little-endian ELF file"},
      {"32-bit", damaged([](Elf64_Ehdr& h, Elf64_Phdr*) { h.e_ident[EI_CLASS] = ELFCLASS32; }),
       "not a 64-bit little-endian ELF file"},
      {"big-endian", damaged([](Elf64_Ehdr& h, Elf64_Phdr*) { h.e_ident[EI_DATA] = ELFDATA2MSB; }),
       "not a 64-bit little-endian ELF file"},
      {"countless segments", damaged([](Elf64_Ehdr& h, Elf64_Phdr*) { h.e_phnum = 0xffff; }),
       "malformed ELF program headers"},
      {"headers past the end", damaged([](Elf64_Ehdr& h, Elf64_Phdr*) { h.e_phoff = ~0ull - 8; }),
       "malformed ELF program headers"},
      {"odd header size", damaged([](Elf64_Ehdr& h, Elf64_Phdr*) { h.e_phentsize = 40; }),
       "malformed ELF program headers"},
      {"truncated before the headers", module.substr(0, 100), "malformed ELF program headers"},
      {"notes past the end", damaged(eachNote([](Elf64_Phdr& s) { s.p_offset = ~0ull - 4; })),
       "malformed ELF note segment"},
      {"huge notes", damaged(eachNote([](Elf64_Phdr& s) { s.p_filesz = 1ull << 40; })),
       "malformed ELF note segment"},
      {"no note segment", damaged(eachNote([](Elf64_Phdr& s) { s.p_type = PT_NULL; })),
       "no build id"},
      {"notes cut short", damaged(eachNote([](Elf64_Phdr& s) { s.p_filesz = 14; })), "no build id"},
      {"huge owner", withNoteWords([](uint32_t* w) { w[0] = 0xffffffff; }), "no build id"},
      {"huge id", withNoteWords([](uint32_t* w) { w[1] = 0xfffffffc; }), "no build id"},
      {"empty id", withNoteWords([](uint32_t* w) { w[1] = 0; }), "no build id"},
      {"another note type", withNoteWords([](uint32_t* w) { w[2] = NT_GNU_ABI_TAG; }),
       "no build id"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string err;
    EXPECT_EQ(buildIdOf(c.file, &err), std::nullopt);
    EXPECT_EQ(err, c.reason);
  }

  std::string err;
  auto failing = [](uint64_t, std::span<uint8_t>) { return false; };
  EXPECT_EQ(elfBuildId(module.size(), failing, &err), std::nullopt);
  EXPECT_EQ(err, "cannot read the ELF header");
}

}  // namespace
}  // namespace kavri
