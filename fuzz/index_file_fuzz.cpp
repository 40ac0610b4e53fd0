// Update index files: the first byte chooses how many content lines are asked for.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kitbase/core/index_file.h"
#include "kitbase/core/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    unsigned int n = data[0] % 6;
    std::string path = fuzzsupport::writeScratch("in.idx", data + 1, size - 1);
    std::vector<std::wstring> lines;
    unsigned int result = readIDXFile(S2WS(path), lines, n);
    if (result != static_cast<unsigned int>(-1) && result != n + 1)
        fuzzsupport::fail("an accepted index file has other than its content lines and the digest");
    return 0;
}
