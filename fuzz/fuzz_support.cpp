#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

const std::string& scratchFolder() {
    static const std::string folder = [] {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kitbase-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data()))
            fail("cannot make a scratch folder");
        return pattern;
    }();
    return folder;
}

std::string writeScratch(const std::string& name, const uint8_t* data, size_t size) {
    std::string path = scratchFolder() + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot write a scratch file");
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            fail("cannot write a scratch file");
        done += static_cast<size_t>(n);
    }
    close(fd);
    return path;
}

void fail(const char* what) {
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

}  // namespace fuzzsupport
