#include "resource_fork_extraction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/resource_fork.h"

namespace kavri {
namespace {

TEST(ModeSelectionTest, ExactlyTheOptionAndOnePathExtract) {
  const char* args[] = {"KavriDaemon", "--extract-resource-fork", "/some/file", nullptr};
  EXPECT_TRUE(selectsResourceForkExtraction(3, args));
  const char* emptyPath[] = {"KavriDaemon", "--extract-resource-fork", "", nullptr};
  EXPECT_TRUE(selectsResourceForkExtraction(3, emptyPath));
}

TEST(ModeSelectionTest, EveryOtherCommandLineStartsTheAgent) {
  const std::vector<std::vector<const char*>> commandLines = {
      {"KavriDaemon"},
      {"KavriDaemon", "--extract-resource-fork"},
      {"KavriDaemon", "--extract-resource-fork", "a", "b"},
      {"KavriDaemon", "--Extract-Resource-Fork", "a"},
      {"KavriDaemon", "--EXTRACT-RESOURCE-FORK", "a"},
      {"KavriDaemon", "--extract-resource-fork=a", "b"},
      {"KavriDaemon", "--extract-resource-fork=a"},
      {"KavriDaemon", "--extract-resource-for", "a"},
      {"KavriDaemon", "--extract-resource-forks", "a"},
      {"KavriDaemon", "-extract-resource-fork", "a"},
      {"KavriDaemon", "a", "--extract-resource-fork"},
      {"KavriDaemon", "--extract-resource-fork ", "a"},
  };
  for (auto args : commandLines) {
    int argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    EXPECT_FALSE(selectsResourceForkExtraction(argc, args.data())) << argc << " " << (argc > 1 ? args[1] : "");
  }
}

// A platform whose every step can be made to fail, recording what was done.
class FakeForks : public ResourceForks {
 public:
  bool nameWorks = true;
  bool resolveWorks = true;
  bool openWorks = true;
  bool lengthWorks = true;
  int64_t length = 5;
  bool readWorks = true;
  int64_t shortBy = 0;
  std::string content = std::string("\x00\x01rs\n", 5);
  std::vector<std::string> events;

  bool resourceForkName(std::string* name) override {
    events.push_back("name");
    *name = "RESOURCE_FORK";
    return nameWorks;
  }
  std::optional<FileReference> resolvePath(const char* path) override {
    events.push_back(std::string("resolve ") + path);
    if (!resolveWorks) return std::nullopt;
    return FileReference{path};
  }
  std::unique_ptr<OpenFork> openFork(const FileReference& file, const std::string& forkName) override {
    events.push_back("open " + file.path + " " + forkName);
    if (!openWorks) return nullptr;
    return std::make_unique<Fork>(*this);
  }

 private:
  class Fork : public OpenFork {
   public:
    explicit Fork(FakeForks& owner) : owner_(owner) {}
    ~Fork() override { owner_.events.push_back("close"); }
    bool length(int64_t* bytes) override {
      owner_.events.push_back("length");
      *bytes = owner_.length;
      return owner_.lengthWorks;
    }
    bool readFromStart(void* buffer, int64_t count, int64_t* bytesRead) override {
      owner_.events.push_back("read " + std::to_string(count));
      int64_t n = std::min<int64_t>(count, static_cast<int64_t>(owner_.content.size())) - owner_.shortBy;
      std::copy_n(owner_.content.data(), n, static_cast<char*>(buffer));
      *bytesRead = n;
      return owner_.readWorks;
    }

   private:
    FakeForks& owner_;
  };
};

class ExtractionTest : public ::testing::Test {
 protected:
  FakeForks forks_;
  std::string written_;
  bool writeWorks_ = true;

  int extract() {
    return extractResourceFork("/f", forks_, [this](const void* bytes, size_t size) {
      forks_.events.push_back("write");
      written_.assign(static_cast<const char*>(bytes), size);
      return writeWorks_;
    });
  }
  std::vector<std::string> upTo(std::initializer_list<std::string> events) { return events; }
};

TEST_F(ExtractionTest, ReadsWholeClosesThenWrites) {
  EXPECT_EQ(extract(), 0);
  EXPECT_EQ(written_, std::string("\x00\x01rs\n", 5));
  EXPECT_EQ(forks_.events, upTo({"name", "resolve /f", "open /f RESOURCE_FORK", "length", "read 5", "close", "write"}));
}

TEST_F(ExtractionTest, EachFailingStepEndsWithStatusOneAndNoOutput) {
  forks_.nameWorks = false;
  EXPECT_EQ(extract(), 1);
  EXPECT_EQ(forks_.events, upTo({"name"}));

  forks_ = FakeForks();
  forks_.resolveWorks = false;
  EXPECT_EQ(extract(), 1);
  EXPECT_EQ(forks_.events, upTo({"name", "resolve /f"}));

  forks_ = FakeForks();
  forks_.openWorks = false;
  EXPECT_EQ(extract(), 1);
  EXPECT_EQ(forks_.events, upTo({"name", "resolve /f", "open /f RESOURCE_FORK"}));

  forks_ = FakeForks();
  forks_.lengthWorks = false;
  EXPECT_EQ(extract(), 1);
  EXPECT_EQ(forks_.events, upTo({"name", "resolve /f", "open /f RESOURCE_FORK", "length", "close"}));

  forks_ = FakeForks();
  forks_.readWorks = false;
  EXPECT_EQ(extract(), 1);
  EXPECT_EQ(forks_.events, upTo({"name", "resolve /f", "open /f RESOURCE_FORK", "length", "read 5", "close"}));
  EXPECT_TRUE(written_.empty());
}

TEST_F(ExtractionTest, EmptyOrNegativeLengthIsAFailure) {
  for (int64_t length : {int64_t{0}, int64_t{-1}, INT64_MIN}) {
    forks_ = FakeForks();
    forks_.length = length;
    EXPECT_EQ(extract(), 1);
    EXPECT_EQ(forks_.events, upTo({"name", "resolve /f", "open /f RESOURCE_FORK", "length", "close"}));
  }
  EXPECT_TRUE(written_.empty());
}

TEST_F(ExtractionTest, ShortReadIsAFailure) {
  forks_.shortBy = 1;
  EXPECT_EQ(extract(), 1);
  EXPECT_TRUE(written_.empty());
  EXPECT_EQ(forks_.events.back(), "close");
}

TEST_F(ExtractionTest, RefusedOutputIsAFailure) {
  writeWorks_ = false;
  EXPECT_EQ(extract(), 1);
}

}  // namespace
}  // namespace kavri
