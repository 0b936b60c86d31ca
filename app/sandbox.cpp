#include "app/sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/hardware_port/linux_a9/io.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

namespace {

// Set up from a static initialiser of the program, so kept in a function-
// local object that exists before its first use whatever the order of the
// units' initialisers.
struct _Sandbox {
    SandboxState state = kSandboxRefused;
    std::string root;
    std::string refusal;
    // What ran commands before the sandbox took the seam: system(3).
    platform_system_fn real_system = nullptr;
};

_Sandbox& Get()
{
    static _Sandbox sandbox;
    return sandbox;
}

// What is wrong with a sandbox directory; "" when it is usable.
std::string RootProblem(const std::string& root)
{
    // stat64: the 32-bit device build's plain stat fails on a host file
    // system's large inode numbers.
    struct stat64 st;
    if (stat64(root.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return "does not exist";
        return std::string("cannot be read (") + strerror(errno) + ")";
    }
    if (!S_ISDIR(st.st_mode))
        return "is not a directory";
    // "/", "//", "/.", "/tmp/.." or a link to "/": the machine itself.
    char* real = realpath(root.c_str(), nullptr);
    const bool machine = real != nullptr && strcmp(real, "/") == 0;
    free(real);
    // A bind mount of "/" has a path of its own but is the same directory.
    struct stat64 top;
    if (machine || (stat64("/", &top) == 0 && top.st_dev == st.st_dev && top.st_ino == st.st_ino))
        return "is the machine's own root";
    return std::string();
}

// The end of a refusal line. The device build also updates without a
// sandbox (on its own paths), so it does not claim to need one.
#if defined(__arm__)
const char* const kOnlyInSandbox = ", exit update";
#else
const char* const kOnlyInSandbox = ": this build updates only inside a sandbox directory, exit update";
#endif

void AppendLog(const std::string& command)
{
    std::string line = command;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    line += '\n';
    int fd = open((Get().root + "/commands.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return;
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    close(fd);
}

int RealSystem(const char* command)
{
    return Get().real_system ? Get().real_system(command) : system(command);
}

}  // namespace

std::string ShellQuote(const std::string& word)
{
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
}

std::string SandboxHookCommand(const std::string& root, const std::string& command)
{
    // "sh <script> <work directory>[ <rest>]": the two paths are device
    // paths, which live under the root here.
    const std::string head = "sh ";
    if (command.compare(0, head.size(), head) != 0)
        return std::string();
    size_t script_end = command.find(' ', head.size());
    if (script_end == std::string::npos || script_end == head.size())
        return std::string();
    size_t dir_begin = script_end + 1;
    size_t dir_end = command.find(' ', dir_begin);
    std::string script = command.substr(head.size(), script_end - head.size());
    std::string dir = command.substr(dir_begin, dir_end == std::string::npos ? std::string::npos : dir_end - dir_begin);
    if (script[0] != '/' || dir.empty() || dir[0] != '/')
        return std::string();
    // Quoted, so that a sandbox path with blanks stays one argument.
    std::string out = head + ShellQuote(root + script) + " " + ShellQuote(root + dir);
    if (dir_end != std::string::npos)
        out += command.substr(dir_end);
    return out;
}

int SandboxShell(const char* command)
{
    if (!command)
        return -1;
    std::string cmd = command;
    AppendLog(cmd);
    if (cmd == "sync")
        return RealSystem(command);
    std::string hook = SandboxHookCommand(Get().root, cmd);
    if (!hook.empty())
        return RealSystem(hook.c_str());
    // Recorded only: reboot, mkfs, mount, umount and anything else would act
    // on the machine itself. A zero wait status: "done".
    return 0;
}

SandboxState SandboxInit(const char* root)
{
    _Sandbox& sb = Get();
    if (!root)
        root = getenv("UPDATER_ROOT");
    if (sb.state == kSandboxActive) {
        // Set up again (tests): leave the previous sandbox first.
        kivo_umount("/system");
        hw_port_set_root(nullptr);
        platform_set_system_fn(sb.real_system);
    }
    sb.root.clear();
    sb.refusal.clear();
    if (root && *root) {
        const std::string problem = RootProblem(root);
        if (!problem.empty()) {
            sb.refusal = std::string("[sandbox] UPDATER_ROOT=") + root + " " + problem + kOnlyInSandbox;
            sb.state = kSandboxRefused;
            return sb.state;
        }
        sb.root = root;
        // Trailing separators would double up in the joined paths.
        while (sb.root.size() > 1 && sb.root[sb.root.size() - 1] == '/')
            sb.root.erase(sb.root.size() - 1);
        // The mount keeps the pointer: sb.root lives as long as the process.
        kivo_mount("/system", &platform_file_ops, (void*)sb.root.c_str(), nullptr);
        hw_port_set_root(sb.root.c_str());
        sb.real_system = platform_set_system_fn(&SandboxShell);
        sb.state = kSandboxActive;
        return sb.state;
    }
#if defined(__arm__)
    // An empty value is what a start script gives for an unset one.
    sb.state = kSandboxDevice;
#else
    sb.refusal = std::string("[sandbox] UPDATER_ROOT ") + (root ? "is empty" : "is not set") + kOnlyInSandbox;
    sb.state = kSandboxRefused;
#endif
    return sb.state;
}

SandboxState SandboxGetState()
{
    return Get().state;
}

const std::string& SandboxRefusal()
{
    return Get().refusal;
}

const std::string& SandboxRoot()
{
    return Get().root;
}

int SandboxSystem(const char* command)
{
    if (Get().state == kSandboxActive)
        return SandboxShell(command);
    if (Get().state == kSandboxDevice)
        return system(command);
    return -1;
}
