// The staged program run as the administration tool, as an administrator would.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "kitbase/platform/roots.h"
#include "support/test_root.h"

namespace {

struct ProgramRun {
    int code = -1;
    std::string output;
};

// Runs the program with the arguments (a shell word list), output and errors together.
ProgramRun run(const std::string& arguments, const std::string& input = "") {
    std::string command = "'" + kitbase::executableFolder() + "/scanwarden.exe' " + arguments + " 2>&1";
    if (!input.empty())
        command = "printf '" + input + "' | " + command;
    ProgramRun r;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        r.output.append(buffer, n);
    int status = pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace

TEST(EntryPoint, OptionsAnswerWithTheirTextsAndExitCodes) {
    struct Case {
        const char* arguments;
        int code;
        const char* text;  // expected in the output; empty: none checked
    } cases[] = {
        {"-VERSION", 0, "\nVersion:"},
        {"/version", 0, "\nVersion:"},
        {"-v", 0, "\n1."},
        {"-help", 0,
         "\nSyntax: version|help|install|remove/delete/uninstall|config|console|start|stop|reload|loglevel "
         "<1-5>|version"},
        {"-configtest", 1, "No conf file specified"},
        {"-loglevel", 1, "No loglevel specified"},
        {"-loglevel abc", 1, "Invalid loglevel specified"},
        {"-loglevel 0", 1, "Invalid loglevel specified"},
        {"-loglevel 99", 0, "\nSetting loglevel to 99"},
        {"-nosuchoption", 0, ""},
        {"version", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        ProgramRun r = run(c.arguments);
        EXPECT_EQ(r.code, c.code) << r.output;
        EXPECT_NE(r.output.find(c.text), std::string::npos) << r.output;
    }
    // A word without "-" or "/" does nothing.
    EXPECT_EQ(run("version").output.find("Version:"), std::string::npos);
    // The start ends the program: what follows is not looked at.
    EXPECT_EQ(run("-help -loglevel").code, 0);
}

TEST(EntryPoint, StartedOutsideTheServiceManagerItSaysSoAndEndsWithZero) {
    ProgramRun r = run("");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.output.find("Service failed to run w/err 0x00000427"), std::string::npos) << r.output;
}

TEST(EntryPoint, NoheartbeatThenConfigWritesTheValueCommented) {
    ProgramRun r = run("-noheartbeat -config");
    EXPECT_EQ(r.code, 0) << r.output;
    // The configuration file lies in the program folder, named after the product.
    bool found = false;
    for (const char* name : {"/Scanwarden.conf", "/.conf"}) {
        std::string text = testsupport::readFile(kitbase::executableFolder() + name);
        if (text.find("\n# heartbeat=0") != std::string::npos ||
            text.find("\nheartbeat=0") != std::string::npos)
            found = true;
    }
    EXPECT_TRUE(found);
    for (const char* name : {"/Scanwarden.conf", "/.conf"})
        std::remove((kitbase::executableFolder() + name).c_str());
}

TEST(EntryPoint, ASecondConsoleInstanceIsRefused) {
    // The first instance waits for its key; the second finds the single-instance lock.
    std::string first = "'" + kitbase::executableFolder() + "/scanwarden.exe' -console > /dev/null 2>&1";
    FILE* holder = popen(("sleep 3 | " + first).c_str(), "r");
    ASSERT_NE(holder, nullptr);
    ProgramRun second;
    for (int attempt = 0; attempt < 20; ++attempt) {
        usleep(200 * 1000);
        second = run("-console", "x");
        if (second.code == 1)
            break;
    }
    EXPECT_EQ(second.code, 1) << second.output;
    EXPECT_NE(second.output.find("Another instance is running. Exiting"), std::string::npos);
    pclose(holder);
}
