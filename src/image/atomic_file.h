// Output files are written under a temporary name in the target directory and renamed into place
// once complete, so that an interrupted or failed write never leaves a truncated file under the
// final name.
#pragma once

#include <string>

// A temporary name in the same directory as `finalName` (same file system, so rename is atomic),
// of its own for every process and thread.
// The extension is kept, so that writers choosing a format by extension still see it.
std::string TemporaryNameFor(const std::string& finalName);

// Renames `temporaryName` to `finalName`; on failure removes the temporary file and returns false.
bool CommitTemporaryFile(const std::string& temporaryName, const std::string& finalName);

// Removes the temporary file (ignoring errors).
void DiscardTemporaryFile(const std::string& temporaryName);
