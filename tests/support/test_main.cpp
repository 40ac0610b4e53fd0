// Test main shared by every test program: gives the process a private, fresh
// KITBASE_ROOT before any library code runs and removes it afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "kitbase/core/network.h"
#include <string>

namespace testsupport {
void setTestRoot(const std::string& root);
}

int main(int argc, char** argv) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kitbase-test-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        perror("mkdtemp");
        return 2;
    }
    setenv("KITBASE_ROOT", pattern.c_str(), 1);
    testsupport::setTestRoot(pattern);
    // No test may reach an outside address: the public-IP lookup points at a closed
    // loopback port unless a test runs its own server.
    setPublicIPService("127.0.0.1", "9");
    ::testing::InitGoogleMock(&argc, argv);
    int rc = RUN_ALL_TESTS();
    if (!getenv("KITBASE_KEEP_TEST_ROOT")) {
        std::error_code ec;
        std::filesystem::remove_all(pattern, ec);
    }
    return rc;
}
