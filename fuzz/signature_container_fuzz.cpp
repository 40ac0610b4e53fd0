// The signature container and its check: the whole file as given, or a fixed program
// followed by the input as the signature block and a trailer that points at it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "kitbase/platform/signature_container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool anchors = [] {
        const char* folder = getenv("FUZZ_TRUST_ANCHORS");
        kitbase::setTrustAnchorFolder(folder && *folder ? folder : fuzzsupport::scratchFolder());
        return true;
    }();
    (void)anchors;
    if (size == 0)
        return 0;
    std::string file;
    if (data[0] & 1) {
        std::string block(reinterpret_cast<const char*>(data + 1), size - 1);
        file =
            "\x7f"
            "ELF program bytes" +
            block;
        uint64_t length = block.size();
        for (int i = 0; i < 8; ++i)
            file.push_back(static_cast<char>((length >> (8 * i)) & 0xff));
        file.append(kitbase::kSignatureMagic, sizeof kitbase::kSignatureMagic);
    } else {
        file.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    }
    int fd = memfd_create("fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size())) {
        kitbase::SignatureInfo info = kitbase::verifySignatureOfDescriptor(fd);
        if (info.failure == kitbase::SignatureFailure::None && info.coveredSize > file.size())
            fuzzsupport::fail("covered size beyond the file");
    }
    close(fd);
    return 0;
}
