// servicehost NAME: supervises the installed service NAME (see service_host.h).
#include "kitbase/platform/service_host.h"
#include "kitbase/platform/utf8.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    return kitbase::runServiceHost(kitbase::utf8ToWide(argv[1]));
}
