#pragma once
// The sub-commands of quorvel-cli; each takes the arguments after its name and returns
// the process exit code.

int RunDiscoverCommand(int argc, char** argv);
int RunUpdateCommand(int argc, char** argv);
