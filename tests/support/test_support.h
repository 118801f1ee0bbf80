// Helpers shared by the tests: temporary directories, running the built programs, file bytes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A fresh directory under the system's temporary folder, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a command line through the shell with standard input closed and captures both streams.
CommandResult RunCommand(const std::string& commandLine);

// Quotes a string for the shell.
std::string ShellQuote(const std::string& text);

std::vector<unsigned char> ReadBytes(const std::string& fileName);

// Names of the regular files in a directory, sorted.
std::vector<std::string> ListFiles(const std::filesystem::path& directory);

// Path of a file of the ground-truth data set, or "" when the data set is not available.
std::string DataPath(const std::string& relative);
