#pragma once
// What the smoke program does when a process case starts it as `child MODE ARGS...`.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace smoke::child {

// args[0] is the mode:
//   echo OUT ERR CODE   OUT to standard output, ERR to standard error, exit status CODE
//   args A...           every argument as received, each followed by a NUL byte, on standard output
//   streams KIB         KIB KiB of 'o' on standard output and of 'e' on standard error, interleaved
//   sleep MS            sleeps, then exits 0
//   tree MS             runs `child sleep MS` through run_inherited and waits for it
//   orphan MS           starts `child sleep MS` sharing its standard streams, prints its pid, exits 0
//   report FILE MS      writes what it sees of itself to FILE (see child.cpp), then sleeps MS
//   family FILE MS      starts `child sleep MS` and, through an `orphan` that exits, an orphaned
//                       grandchild; writes "child=PID\ngrandchild=PID\n" to FILE, then sleeps MS
int run(const std::vector<std::string>& args);

// Starts `child ARGS...` with `out` (inherited) as its standard output, or no streams at all;
// not waited for. The caller closes both handles of the result.
PROCESS_INFORMATION start(const std::vector<std::string>& args, HANDLE out = nullptr);

// args: NAME=VALUE PROGRAM ARGS...; runs PROGRAM with our streams and that variable set, and
// returns its exit status.
int run_with_env(const std::vector<std::string>& args);

}  // namespace smoke::child
