// statusmith.exe [arguments]: the remediation program. Records its arguments and the
// number of runs in the "[statusmith]" section of the Security Center state file.
// Exit codes: 0 done, 1 the state could not be written.
#include <string>

#include "kitbase/platform/security_center.h"

int main(int argc, char** argv) {
    std::string arguments;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            arguments += ' ';
        arguments += argv[i];
    }
    if (!kitbase::setSecurityCenterValues("statusmith", {{"arguments", arguments}}))
        return 1;
    return kitbase::countSecurityCenterValue("statusmith", "runs") > 0 ? 0 : 1;
}
