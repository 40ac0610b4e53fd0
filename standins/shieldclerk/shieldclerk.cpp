// shieldclerk.exe register|unregister: the Security Center administration tool.
// Records the command and the number of runs in the "[shieldclerk]" section of the
// Security Center state file. Exit codes: 0 done, 87 unknown command, 1 the state
// could not be written.
#include <cstdio>
#include <string>

#include "kitbase/platform/security_center.h"

int main(int argc, char** argv) {
    const std::string command = argc == 2 ? argv[1] : "";
    if (command != "register" && command != "unregister") {
        std::fprintf(stderr, "usage: shieldclerk.exe register|unregister\n");
        return 87;
    }
    if (!kitbase::setSecurityCenterValues("shieldclerk", {{"command", command}}))
        return 1;
    return kitbase::countSecurityCenterValue("shieldclerk", "runs") > 0 ? 0 : 1;
}
