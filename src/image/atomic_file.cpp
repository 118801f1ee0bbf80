#include "image/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* kTemporaryTag = ".tmp";
constexpr mode_t kFileMode = 0666;  // narrowed by the process's umask, as for any new file

bool AllDigits(const std::string& text, size_t begin, size_t end) {
  if (begin >= end) return false;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

}  // namespace

std::string TemporaryNameFor(const std::string& finalName) {
  const std::filesystem::path path(finalName);
  std::filesystem::path temp = path;
  // Process and thread in the name: two writers of one file never share a temporary, and the last
  // rename wins with a complete file.
  const size_t thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  temp.replace_filename("." + path.stem().string() + kTemporaryTag + std::to_string(::getpid()) + "-" +
                        std::to_string(thread) + path.extension().string());
  return temp.string();
}

bool IsTemporaryNameOf(const std::string& entryName, const std::string& finalStem, const std::string& extension) {
  const std::string prefix = "." + finalStem + kTemporaryTag;
  if (entryName.size() <= prefix.size() + extension.size() || entryName.compare(0, prefix.size(), prefix) != 0 ||
      entryName.compare(entryName.size() - extension.size(), extension.size(), extension) != 0) {
    return false;
  }
  // What lies between is "<pid>-<thread>".
  const size_t end = entryName.size() - extension.size();
  const size_t dash = entryName.find('-', prefix.size());
  return dash != std::string::npos && dash < end && AllDigits(entryName, prefix.size(), dash) &&
         AllDigits(entryName, dash + 1, end);
}

AtomicFile::AtomicFile(std::string finalName) : finalName_(std::move(finalName)) {
  if (finalName_.empty()) {
    error_ = "could not write a file with an empty name";
    return;
  }
  temporaryName_ = TemporaryNameFor(finalName_);
  descriptor_ = ::open(temporaryName_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
  if (descriptor_ < 0) {
    const int cause = errno;
    temporaryName_.clear();  // nothing was created
    Fail(std::strerror(cause));
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_) Discard();
}

void AtomicFile::Fail(const std::string& cause) {
  if (error_.empty()) error_ = "could not write " + finalName_ + ": " + cause;
  Discard();
}

void AtomicFile::Discard() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
    descriptor_ = -1;
  }
  if (!temporaryName_.empty()) {
    ::unlink(temporaryName_.c_str());
    temporaryName_.clear();
  }
}

bool AtomicFile::Write(const void* data, size_t size) {
  if (!Ok()) return false;
  const char* bytes = static_cast<const char*>(data);
  // write() may take fewer bytes than offered (a signal, a pipe); a full disk or a size limit
  // shows as -1 with the cause in errno.
  while (size > 0) {
    const ssize_t written = ::write(descriptor_, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      Fail(std::strerror(errno));
      return false;
    }
    if (written == 0) {
      Fail("the write made no progress");
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool AtomicFile::Commit() {
  if (!Ok()) return false;
  // The data reaches the disk before the name does: after a crash the final name holds either the
  // old file or the complete new one. Some file systems report a full disk only here.
  if (::fsync(descriptor_) != 0) {
    Fail(std::strerror(errno));
    return false;
  }
  const int closed = ::close(descriptor_);
  descriptor_ = -1;
  if (closed != 0) {
    Fail(std::strerror(errno));
    return false;
  }
  if (std::rename(temporaryName_.c_str(), finalName_.c_str()) != 0) {
    Fail(std::strerror(errno));
    return false;
  }
  temporaryName_.clear();
  committed_ = true;
  return true;
}

bool WriteFileAtomically(const std::string& finalName, const void* data, size_t size, std::string& error) {
  AtomicFile file(finalName);
  if (file.Write(data, size) && file.Commit()) return true;
  error = file.Error();
  return false;
}
