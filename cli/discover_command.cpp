#include <cstdio>

#include "cli/commands.h"

int RunDiscoverCommand(int, char**) {
    std::fputs("quorvel-cli: discover is not built yet\n", stderr);
    return 1;
}
