#include "driver/directory_scan.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

std::unique_ptr<DirectoryReader> DirectoryReader::Open(const std::string& path) {
  if (path.empty()) {
    errno = ENOTDIR;
    return nullptr;
  }
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status)) {
    errno = ENOENT;
    return nullptr;
  }
  if (!std::filesystem::is_directory(status)) {
    errno = ENOTDIR;
    return nullptr;
  }
  return std::unique_ptr<DirectoryReader>(new DirectoryReader(std::filesystem::absolute(path, error)));
}

std::optional<std::string> DirectoryReader::Next() {
  if (returned_ < 0) return std::nullopt;
  if (returned_ == 0) {
    std::error_code error;
    std::filesystem::directory_iterator it(path_, error);
    if (error) {
      returned_ = -1;
      return std::nullopt;
    }
    names_ = {".", ".."};
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
      if (error) break;
      names_.push_back(it->path().filename().string());
    }
  }
  if (static_cast<size_t>(returned_) >= names_.size()) {
    returned_ = -1;
    names_.clear();
    return std::nullopt;
  }
  return names_[static_cast<size_t>(returned_++)];
}

std::optional<std::vector<std::string>> TryListImageFiles(const std::string& directory,
                                                          const std::string& extension) {
  std::unique_ptr<DirectoryReader> reader = DirectoryReader::Open(directory);
  if (!reader) return std::nullopt;
  // A directory that exists but cannot be read (no permission) is unopenable too, not empty.
  std::error_code unreadable;
  std::filesystem::directory_iterator probe(directory, unreadable);
  if (unreadable) {
    errno = unreadable.value();
    return std::nullopt;
  }

  std::vector<std::string> names;
  while (std::optional<std::string> name = reader->Next()) {
    if (name->empty() || (*name)[0] == '.') continue;  // ".", ".." and hidden names
    const size_t dot = name->rfind('.');
    if (dot == std::string::npos) continue;
    if (name->compare(dot, std::string::npos, extension) == 0) names.push_back(*name);
  }
  // std::string compares through char_traits<char>, which orders by unsigned byte value.
  std::sort(names.begin(), names.end());
  return names;
}
