#include "support/test_root.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {
std::string g_root;
std::atomic<unsigned> g_counter{0};
}  // namespace

void setTestRoot(const std::string& root) {
    g_root = root;
}

const std::string& testRoot() {
    return g_root;
}

std::string makeTempDir(const std::string& hint) {
    std::string dir = g_root + "/" + hint + "-" + std::to_string(g_counter.fetch_add(1));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace testsupport
