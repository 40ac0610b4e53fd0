// The engine's signature files: the input is one ".vdf" file beside a valid engine
// file; when it loads, the input is also matched against its own patterns.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "signature_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        std::string core = "QVENGINE 1\nversion 1.0.4.2\n";
        fuzzsupport::writeScratch("qvcore.dat", reinterpret_cast<const uint8_t*>(core.data()), core.size());
        return fuzzsupport::scratchFolder();
    }();
    fuzzsupport::writeScratch("main.vdf", data, size);
    std::shared_ptr<const qv::SignatureDb> db;
    std::string error;
    if (qv::SignatureDb::load(folder, folder, db, error) == 0 && db)
        (void)db->matcher().find(data, size, size);
    return 0;
}
