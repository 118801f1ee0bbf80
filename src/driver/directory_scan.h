// Listing the frames of a sequence: the entries of one directory whose extension equals the image
// type, in byte-wise name order.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Open / next interface over a directory's entries. Entries come in the host's order and include
// ".", ".." and sub-directories.
class DirectoryReader {
 public:
  // Null (with errno set) when the path is empty (ENOTDIR), missing (ENOENT) or not a directory
  // (ENOTDIR). Opening does not start the listing.
  static std::unique_ptr<DirectoryReader> Open(const std::string& path);

  // The next entry name, or nothing once the listing is over (and forever after).
  std::optional<std::string> Next();

 private:
  explicit DirectoryReader(std::filesystem::path path) : path_(std::move(path)) {}

  std::filesystem::path path_;
  std::vector<std::string> names_;  // filled by the first Next()
  long returned_ = 0;               // entries returned so far; -1 once the listing is over
};

// Names (without directory) of the entries of `directory` not starting with '.', whose text from
// the last '.' equals `extension` exactly, sorted by unsigned byte comparison. Nothing, with errno
// saying why, when the directory cannot be opened.
std::optional<std::vector<std::string>> TryListImageFiles(const std::string& directory,
                                                          const std::string& extension);
