#pragma once
// A private machine root for one test process: KITBASE_ROOT points at a fresh
// temporary folder for the life of the process, so tests never touch real system
// places and never see each other's state.
#include <string>

namespace testsupport {

// The folder KITBASE_ROOT points at for this process (created by the test main).
const std::string& testRoot();

// A fresh, empty folder below the test root, unique per call.
std::string makeTempDir(const std::string& hint = "tmp");

// Writes `content` to `path` (creating or truncating it); throws on failure.
void writeFile(const std::string& path, const std::string& content);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace testsupport
