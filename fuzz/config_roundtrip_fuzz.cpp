// The configuration reader, with the property that what it read survives a write and
// a second read unchanged, and that writing again gives the same file.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kitbase/core/config_options.h"
#include "kitbase/core/option_table.h"
#include "kitbase/core/strings.h"

namespace {

std::string readAll(const std::string& path) {
    std::string out;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            out.append(buffer, n);
        fclose(f);
    }
    return out;
}

bool sameValues(const std::vector<Option>& a, const std::vector<Option>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        // A number option's value is its number (its text is only what was last given).
        if (a[i].id != b[i].id || a[i].isSet != b[i].isSet ||
            (a[i].isNumeric ? a[i].number != b[i].number : a[i].text != b[i].text))
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring input = S2WS(fuzzsupport::writeScratch("in.conf", data, size));
    const std::wstring first = S2WS(fuzzsupport::scratchFolder() + "/first.conf");
    const std::wstring second = S2WS(fuzzsupport::scratchFolder() + "/second.conf");

    std::vector<Option> read1 = defaultOptionTable();
    if (ConfigurationOptions::_readCfg(input, read1) != 0)
        return 0;
    if (ConfigurationOptions::_writeCfg(first, read1) != 0)
        fuzzsupport::fail("cannot write what was read");
    std::vector<Option> read2 = defaultOptionTable();
    if (ConfigurationOptions::_readCfg(first, read2) != 0)
        fuzzsupport::fail("cannot read what was written");
    if (!sameValues(read1, read2))
        fuzzsupport::fail("an option changed through a write and a read");
    if (ConfigurationOptions::_writeCfg(second, read2) != 0)
        fuzzsupport::fail("cannot write the second time");
    if (readAll(WS2S(first)) != readAll(WS2S(second)))
        fuzzsupport::fail("writing the same options gave another file");
    return 0;
}
