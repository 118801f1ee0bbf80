#include "image/atomic_file.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include <unistd.h>

std::string TemporaryNameFor(const std::string& finalName) {
  const std::filesystem::path path(finalName);
  std::filesystem::path temp = path;
  temp.replace_filename("." + path.stem().string() + ".tmp" + std::to_string(::getpid()) +
                        path.extension().string());
  return temp.string();
}

bool CommitTemporaryFile(const std::string& temporaryName, const std::string& finalName) {
  std::error_code error;
  std::filesystem::rename(temporaryName, finalName, error);
  if (error) {
    DiscardTemporaryFile(temporaryName);
    return false;
  }
  return true;
}

void DiscardTemporaryFile(const std::string& temporaryName) {
  std::error_code ignored;
  std::filesystem::remove(temporaryName, ignored);
}
