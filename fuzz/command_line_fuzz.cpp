// Command lines: arguments (separated by NUL in the input) quoted and joined split back
// to themselves, and a split line quoted again splits to the same arguments.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kitbase/platform/spawner.h"

namespace {

std::string join(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args)
        line += (line.empty() ? "" : " ") + kitbase::quoteCommandLineArgumentIfNeeded(a);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args;
    size_t start = 0;
    while (args.size() < 32) {
        size_t end = input.find('\0', start);
        args.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (kitbase::splitCommandLine(join(args)) != args)
        fuzzsupport::fail("quoted arguments did not split back to themselves");

    std::vector<std::string> split = kitbase::splitCommandLine(input);
    if (kitbase::splitCommandLine(join(split)) != split)
        fuzzsupport::fail("a split line did not survive quoting");
    return 0;
}
