// Output files are written under a temporary name in the target directory and renamed into place
// once complete, so that an interrupted or failed write never leaves a truncated file under the
// final name, and never touches a file already there.
#pragma once

#include <cstddef>
#include <string>

// A temporary name in the same directory as `finalName` (same file system, so rename is atomic),
// of its own for every process and thread: "." + stem + ".tmp<pid>-<thread>" + extension.
// The extension is kept, so that writers choosing a format by extension still see it.
std::string TemporaryNameFor(const std::string& finalName);

// True when `entryName` (a name without directory) is a temporary that TemporaryNameFor gives for
// a file named `finalStem` + `extension` in the same directory, by any process or thread.
bool IsTemporaryNameOf(const std::string& entryName, const std::string& finalStem, const std::string& extension);

// One output file being written. Every write, the flush to the disk and the close are checked;
// Commit renames the complete temporary into place. A file that is not committed (a failed write,
// or destruction before Commit) has its temporary removed and leaves the final name as it was.
// Errors read "could not write <final name>: <cause>".
class AtomicFile {
 public:
  // Opens the temporary; a failure shows in Ok() and Error().
  explicit AtomicFile(std::string finalName);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends `size` bytes; false (and the error set) once anything has failed.
  bool Write(const void* data, size_t size);
  // Flushes the temporary to the disk, closes it and renames it to the final name; false with the
  // error set (and the temporary removed) when any step fails or an earlier one did.
  bool Commit();

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

 private:
  void Fail(const std::string& cause);
  void Discard();

  std::string finalName_;
  std::string temporaryName_;
  int descriptor_ = -1;
  bool committed_ = false;
  std::string error_;
};

// Writes `size` bytes as the file `finalName` through an AtomicFile; false with `error` set when
// the file could not be written completely.
bool WriteFileAtomically(const std::string& finalName, const void* data, size_t size, std::string& error);
