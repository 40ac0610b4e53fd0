#pragma once
// Small helpers shared by the fuzz targets.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// A private folder for this process's scratch files (made once).
const std::string& scratchFolder();

// Writes the bytes to `name` in the scratch folder and returns its path.
std::string writeScratch(const std::string& name, const uint8_t* data, size_t size);

// Stops the process with a message: a broken property is a finding like a crash.
[[noreturn]] void fail(const char* what);

}  // namespace fuzzsupport
