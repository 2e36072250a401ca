// The veldmap command line: parses arguments and runs one command. Exit codes: 0 done, 1 bad
// input (a file that is missing, unreadable, damaged or of no use), 2 a usage error.
#pragma once

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitUsage = 2;

int RunVeldmap(int argc, char** argv);
