// Process control as the monitor uses it: starting a program by name,
// finding where the running program lives, and telling whether a process
// still runs. No process handle is kept by the caller: every child started
// here is reaped by this layer when it ends, so none is left as a zombie.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tov {

// This process's id.
int32_t CurrentProcessId();

// True while a process with this id runs: a process that has ended, also one
// that is still waiting to be reaped by its parent, does not count.
bool ProcessExists(int32_t pid);

// True while any thread of the process is left. A killed process's first
// thread may be a zombie while others still end, and they still hold the
// process's open files and locks: a process is gone only without them.
bool ProcessThreadsLeft(int32_t pid);

// The directory that holds the running program's file.
std::string ProgramDir();

// dir/name whenever anything stands under that name there, also a file that
// cannot be run; name alone, which SpawnProgram then looks up on PATH, only
// when nothing does.
std::string LocateProgram(const std::string& name, const std::string& dir);

// Told once that a child started by SpawnProgram has ended: its id and its
// wait status. It runs on the thread that reaped the child, maybe while this
// process ends, so it may touch only what lives as long as the process.
using TChildEnded = std::function<void(int32_t pid, int wait_status)>;

// Starts a program with no arguments, in this process's current directory and
// with its environment. A path with a "/" is taken as it is, a bare name is
// looked up on PATH. Returns the child's id, or -1 with errno set when the
// program cannot be started. The child is reaped when it ends, and on_end,
// when given, is told then.
int32_t SpawnProgram(const std::string& path, TChildEnded on_end = nullptr);

// How a child ended, from its wait status: "ended with exit code 3" or "was
// ended by signal 9 (Killed)".
std::string WaitStatusText(int wait_status);

// Whether a process entry's executable name stands for name: the upper-case
// form of its file-name part (after the last "/") or, failing that, of the
// whole entry name equals the upper-case form of name.
bool ProcessNameMatches(const std::string& entry_name, const std::string& name);

// Ends at once (SIGKILL, which also ends a stopped process) every process of
// this user (same real user id) whose executable name matches name, this
// process aside. A process's executable name is the path of its program file,
// or its command name when that path cannot be read. Returns how many were
// signalled, and their ids in *killed_ids when given; it does not wait for
// them to end.
int KillProcessByName(const std::string& name, std::vector<int32_t>* killed_ids = nullptr);

}  // namespace tov
