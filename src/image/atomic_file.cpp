#include "image/atomic_file.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>

#include <unistd.h>

std::string TemporaryNameFor(const std::string& finalName) {
  const std::filesystem::path path(finalName);
  std::filesystem::path temp = path;
  // Process and thread in the name: two writers of one file never share a temporary, and the last
  // rename wins with a complete file.
  const size_t thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  temp.replace_filename("." + path.stem().string() + ".tmp" + std::to_string(::getpid()) + "-" +
                        std::to_string(thread) + path.extension().string());
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
