// The engine's ZIP reader: directory and members of the input, with bounded output.
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "fuzz_support.h"
#include "zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("zip", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        std::vector<qv::ZipMember> members;
        bool overlapping = false;
        if (qv::readZipDirectory(fd, size, members, overlapping) && !overlapping) {
            uint64_t total = 0, limit = size * qv::kMaxUnpackRatio;
            for (size_t i = 0; i < members.size() && i < 64; ++i) {
                qv::readZipMember(fd, members[i], 1u << 20, [&](const uint8_t*, size_t n) {
                    total += n;
                    return total <= limit;
                });
                if (total > limit)
                    break;
            }
        }
    }
    close(fd);
    return 0;
}
