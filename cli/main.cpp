// quorvel-cli: the headless front end.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fputs(
        "usage: quorvel-cli discover [--json]\n"
        "       quorvel-cli update [--mac MAC --interface ADDR] --device ADDR [--quiet] FILE\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return EXIT_USAGE;
    }
    if (std::strcmp(argv[1], "discover") == 0) return RunDiscoverCommand(argc - 2, argv + 2);
    if (std::strcmp(argv[1], "update") == 0) return RunUpdateCommand(argc - 2, argv + 2);
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    std::fprintf(stderr, "quorvel-cli: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return EXIT_USAGE;
}
