#pragma once
// The sub-commands of quorvel-cli; each takes the arguments after its name and returns
// the process exit code.

// Exit code for a command line that cannot be used (sysexits' EX_USAGE), apart from the
// update run's results 1..4.
constexpr int EXIT_USAGE = 64;

int RunDiscoverCommand(int argc, char** argv);
int RunUpdateCommand(int argc, char** argv);
