#include "driver/directory_scan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <set>

#include "support/test_support.h"

namespace {

void Touch(const std::string& name) { std::ofstream(name) << "x"; }

}  // namespace

TEST(DirectoryReader, ListsEveryEntryOnceThenOnlyNothing) {
  TempDir dir;
  Touch(dir / "a.png");
  std::filesystem::create_directory(dir.path() / "sub");
  auto reader = DirectoryReader::Open(dir.path().string());
  ASSERT_NE(reader, nullptr);
  std::multiset<std::string> names;
  while (auto name = reader->Next()) names.insert(*name);
  EXPECT_EQ(names, (std::multiset<std::string>{".", "..", "a.png", "sub"}));
  EXPECT_FALSE(reader->Next().has_value());
  EXPECT_FALSE(reader->Next().has_value());
}

TEST(DirectoryReader, OpenFailsForMissingEmptyAndNonDirectoryPaths) {
  TempDir dir;
  Touch(dir / "file.png");
  errno = 0;
  EXPECT_EQ(DirectoryReader::Open(dir / "missing"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(DirectoryReader::Open(dir / "file.png"), nullptr);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(DirectoryReader::Open(""), nullptr);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(ListImageFiles, FiltersByLastExtensionAndSortsByBytes) {
  TempDir dir;
  for (const char* name : {"frame2.png", "frame10.png", "a.b.png", "B.png", "b.png", "a.PNG", ".hidden.png",
                           "noext", "x.jpg", "png"}) {
    Touch(dir / name);
  }
  std::filesystem::create_directory(dir.path() / "folder.png");  // directories are not filtered out
  const auto names = TryListImageFiles(dir.path().string(), ".png");
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, (std::vector<std::string>{"B.png", "a.b.png", "b.png", "folder.png", "frame10.png",
                                              "frame2.png"}));
}

TEST(ListImageFiles, ExtensionWithoutDotMatchesNothingAndTrailingSlashIsTheSame) {
  TempDir dir;
  Touch(dir / "a.png");
  EXPECT_TRUE(TryListImageFiles(dir.path().string(), "png")->empty());
  EXPECT_EQ(*TryListImageFiles(dir.path().string() + "/", ".png"), (std::vector<std::string>{"a.png"}));
  EXPECT_FALSE(TryListImageFiles(dir / "missing", ".png").has_value());
}
