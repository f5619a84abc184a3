#include <cstdio>

#include "cli/commands.h"

int RunUpdateCommand(int, char**) {
    std::fputs("quorvel-cli: update is not built yet\n", stderr);
    return 1;
}
