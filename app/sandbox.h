#pragma once

// The sandbox: a directory that stands in for the device, named by the
// environment variable UPDATER_ROOT. It is set up once at start-up, before
// the status mailbox is mapped. With it,
// - every framework path resolves under the directory (root prefix of the
//   default mount), so "/tmp/update" is $UPDATER_ROOT/tmp/update;
// - the hardware port opens $UPDATER_ROOT/dev/mem and
//   $UPDATER_ROOT/sys/class/gpio/...;
// - every shell command is appended as one line to
//   $UPDATER_ROOT/commands.log before it would run; only "sync" and the
//   package hook ("sh <script> <work directory> ...", both paths taken under
//   the directory) are run, everything else (reboot, mkfs, mount, umount) is
//   only recorded.
// Without UPDATER_ROOT (or with an empty value) the ARM device build uses the
// device's own paths and shell; any other build refuses to update, so that a
// development machine never has its /dev/mem, GPIO or reboot touched. A value
// that does not name a usable directory, or that resolves to "/", is refused
// by every build, with a line that says what is wrong.

#include <string>

// Outcome of the start-up check.
enum SandboxState {
    kSandboxDevice = 0,   // no sandbox: the device's own paths and shell
    kSandboxActive = 1,   // UPDATER_ROOT names a directory: everything under it
    kSandboxRefused = 2,  // the program must not update; SandboxRefusal says why
};

// Reads UPDATER_ROOT (root null: from the environment) and sets up the mount
// prefix, the hardware port root and the shell seam accordingly. Called once,
// at start-up (the mount keeps a pointer to the root's text).
SandboxState SandboxInit(const char* root = nullptr);

// The outcome of SandboxInit (kSandboxRefused before it ran).
SandboxState SandboxGetState();

// The line to print when the state is kSandboxRefused.
const std::string& SandboxRefusal();

// The sandbox directory, "" without one.
const std::string& SandboxRoot();

// Runs a shell command as system(3) does (returns -1 or a wait status),
// through the shell seam the sandbox installed: every command of the
// program goes here, so that the sandbox sees it.
int SandboxSystem(const char* command);

// A word for sh between single quotes (a quote inside ends them, is
// escaped and reopens them): one argument, taken as it reads, whatever it
// holds.
std::string ShellQuote(const std::string& word);

// The parts of the seam, for tests: the recorder/runner installed in the
// sandbox, and how it maps a hook command to the sandbox's real paths
// ("" when the command is not a hook).
int SandboxShell(const char* command);
std::string SandboxHookCommand(const std::string& root, const std::string& command);
