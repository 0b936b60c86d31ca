#pragma once

// Runs the built updater in a fresh sandbox directory that stands in for the
// device, with packages made by the independent packer (update_pack.py), and
// reads back what it left: standard output, the status mailbox, GPIO files,
// commands.log, board files and version records.
//
// The program, the packer and the emulator that runs ARM binaries (empty
// natively) come with Tools(); the file helpers serve every test of the
// application.

#include <gtest/gtest.h>

#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/crc_reference.h"
#include "tests/app/update_test_env.h"

namespace e2e {

const uint64_t kMailboxOffset = 0xFFFF0000ull;

using update_test::MakeDirs;
using update_test::Pattern;
using update_test::TempDir;

inline std::string ReadFile(const std::string& path)
{
    return update_test::ReadReal(path);
}

inline void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

using update_test::RemoveTree;

// The names in a directory, without "." and ".." (the 64-bit calls: the
// 32-bit build under qemu misreads large directory offsets otherwise).
inline std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent64* e = readdir64(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

inline bool FileExists(const std::string& path)
{
    return update_test::RealExists(path);
}

struct ToolPaths {
    std::string updater;
    std::string packer;
    std::string emulator;
};

// The suites that run the program are compiled with the paths of the
// build (main_test.cmake); the others get empty ones.
inline ToolPaths& Tools()
{
#if defined(QLX_UPDATER) && defined(QLX_PACKER) && defined(QLX_EMULATOR)
    static ToolPaths paths{QLX_UPDATER, QLX_PACKER, QLX_EMULATOR};
#else
    static ToolPaths paths;
#endif
    return paths;
}

inline std::string Le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// For the installed side's records that a test writes.
using crc_reference::Crc16Modbus;

// The keys of one section of an INI text ("key=value" lines, blanks
// trimmed).
inline std::map<std::string, std::string> IniSection(const std::string& text, const std::string& section)
{
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    auto trim = [](std::string s) {
        size_t b = s.find_first_not_of(" \t\r\n");
        size_t e = s.find_last_not_of(" \t\r\n");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty() && line[0] == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        size_t eq = line.find('=');
        if (inside && eq != std::string::npos)
            keys[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return keys;
}

inline std::string JsonText(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// What one run of the updater gave.
struct Outcome {
    int exit_status = -1;  // exit code, or -signal
    bool killed = false;   // stopped by the test's kill plan
    bool timed_out = false;
    std::vector<std::string> lines;  // standard output
    std::string err;                 // standard error

    // The report lines of the update (framework and module lines left out;
    // the module start-up's "module: Gui Init " prefix taken off).
    std::vector<std::string> Reports() const
    {
        static const char* const kHeads[] = {"[Init]", "[info]",  "[warn]", "[error]", "[start_end]", "[update]",
                                             "[progress]", ">> ", "*** ", "[/update/", "[sandbox]"};
        const std::string prefix = "module: Gui Init ";
        std::vector<std::string> out;
        for (std::string line : lines) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                line.erase(0, prefix.size());
            for (const char* head : kHeads) {
                if (line.compare(0, strlen(head), head) == 0) {
                    out.push_back(line);
                    break;
                }
            }
        }
        return out;
    }

    bool Printed(const std::string& line) const
    {
        for (const std::string& l : lines) {
            if (l == line)
                return true;
        }
        return false;
    }

    std::string All() const
    {
        std::string s;
        for (const std::string& l : lines)
            s += l + "\n";
        return s + "--- stderr ---\n" + err;
    }
};

// Stops the run (SIGKILL) `delay_ms` after the `count`-th line holding
// `text`, counting only from the first line holding `from` (when given).
// With delay 0 the kill follows the line at once: the program is then still
// waiting in the report that printed it, so the point is exact.
// With `exists` (a device path) the run is killed instead as soon as that
// path exists (looked at every millisecond): a point inside a step that
// prints nothing, such as the copy to a temporary.
// With `file_size_limit` (bytes) the kernel ends the run (SIGXFSZ) at its
// first write of a file past that size: a point inside a step that no
// timing can miss, such as the unpacking of one large entry.
struct KillPlan {
    std::string text;
    int count = 1;
    int delay_ms = 0;
    std::string from;
    std::string exists;
    uint64_t file_size_limit = 0;
};

class Sandbox {
public:
    Sandbox()
    {
        _top = TempDir("updater-e2e");
        if (_top.empty())
            return;
        root = _top + "/root";
        work = _top + "/work";
        MakeDirs(work);
        for (const char* d : {"/dev", "/tmp", "/opt/sys_disk", "/opt/app_disk/app", "/opt/update_disk", "/media/usb",
                              "/sys/class/gpio/gpio913"})
            MakeDirs(root + d);
        for (const char* f : {"/sys/class/gpio/export", "/sys/class/gpio/gpio913/direction",
                              "/sys/class/gpio/gpio913/value"})
            WriteFile(root + f, "");
        WriteFile(root + "/dev/hwversion.bin", std::string("HW-A9-3\0\0\0", 10));
        WriteFile(root + "/dev/serial.bin", "SN-0001");
        // The mailbox page is the bytes of "/dev/mem" at its physical address.
        int fd = open((root + "/dev/mem").c_str(), O_RDWR | O_CREAT, 0644);
        if (fd >= 0) {
            if (ftruncate64(fd, static_cast<off64_t>(kMailboxOffset + 4096)) != 0)
                root.clear();
            close(fd);
        }
    }

    ~Sandbox()
    {
        if (!_top.empty() && !getenv("E2E_KEEP"))
            RemoveTree(_top);
    }

    bool Ok() const { return !root.empty(); }

    std::string Path(const std::string& device_path) const { return root + device_path; }
    std::string Read(const std::string& device_path) const { return ReadFile(Path(device_path)); }
    bool Has(const std::string& device_path) const { return FileExists(Path(device_path)); }
    void Put(const std::string& device_path, const std::string& data) const
    {
        std::string p = Path(device_path);
        MakeDirs(p.substr(0, p.rfind('/')));
        WriteFile(p, data);
    }

    // An installed file with its version record beside it.
    void Install(const std::string& dir, const std::string& name, const std::string& data,
                 const std::string& version) const
    {
        Put(dir + "/" + name, data);
        std::string stem = name.substr(0, name.rfind('.') == std::string::npos || name.rfind('.') == 0
                                              ? name.size()
                                              : name.rfind('.'));
        Put(dir + "/" + stem + "-info.ini", "[" + name + "]\r\nversion=" + version + "\r\ncheck_crc=" +
                                                std::to_string(Crc16Modbus(data)) + "\r\n");
    }

    uint32_t MailboxWord() const
    {
        std::string page = MailboxPage();
        uint32_t w = 0;
        memcpy(&w, page.data(), 4);
        return w;
    }

    std::string MailboxText() const
    {
        std::string page = MailboxPage();
        return std::string(page.c_str() + 4);
    }

    std::string MailboxPage() const
    {
        std::string page(4096, '\0');
        int fd = open(Path("/dev/mem").c_str(), O_RDONLY);
        if (fd >= 0) {
            ssize_t n = pread64(fd, &page[0], page.size(), static_cast<off64_t>(kMailboxOffset));
            (void)n;
            close(fd);
        }
        return page;
    }

    // Files (relative names) below a device directory, recursively, with
    // their contents; directories as name + "/".
    std::map<std::string, std::string> Tree(const std::string& device_dir) const
    {
        std::map<std::string, std::string> out;
        Walk(Path(device_dir), "", out);
        return out;
    }

    // Runs the packer on a spec (JSON text, see update_pack.py).
    bool Pack(const std::string& spec) const
    {
        std::string spec_path = work + "/spec.json";
        WriteFile(spec_path, spec);
        pid_t pid = fork();
        if (pid == 0) {
            int null_fd = open("/dev/null", O_WRONLY);
            if (null_fd >= 0)
                dup2(null_fd, 1);
            execlp("python3", "python3", Tools().packer.c_str(), spec_path.c_str(), (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    Outcome Start(const std::vector<std::string>& args, const KillPlan* plan = nullptr, bool with_root = true,
              int timeout_s = 100) const;

    std::string root;
    std::string work;

private:
    static void Walk(const std::string& dir, const std::string& rel, std::map<std::string, std::string>& out);

    std::string _top;
};

inline void Sandbox::Walk(const std::string& dir, const std::string& rel, std::map<std::string, std::string>& out)
{
    for (const std::string& n : e2e::ListDir(dir)) {
        std::string full = dir + "/" + n;
        struct stat64 st;
        if (lstat64(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            out[rel + n + "/"] = "";
            Walk(full, rel + n + "/", out);
        } else {
            out[rel + n] = ReadFile(full);
        }
    }
}

inline Outcome Sandbox::Start(const std::vector<std::string>& args, const KillPlan* plan, bool with_root,
                          int timeout_s) const
{
    Outcome run;
    int out_pipe[2];
    if (pipe(out_pipe) != 0)
        return run;
    std::string err_path = work + "/stderr.txt";

    std::vector<std::string> argv;
    if (!Tools().emulator.empty())
        argv.push_back(Tools().emulator);
    argv.push_back(Tools().updater);
    argv.insert(argv.end(), args.begin(), args.end());

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        close(out_pipe[0]);
        close(out_pipe[1]);
        int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err_fd >= 0)
            dup2(err_fd, 2);
        if (with_root)
            setenv("UPDATER_ROOT", root.c_str(), 1);
        else
            unsetenv("UPDATER_ROOT");
        // A sanitizer finding must not pass for the program's own status 1.
        setenv("ASAN_OPTIONS", "exitcode=86", 1);
        setenv("UBSAN_OPTIONS", "exitcode=87:print_stacktrace=1", 1);
        if (plan && plan->file_size_limit != 0) {
            // No core file either: the signal's default action would dump
            // one (qemu too, for the emulated program).
            struct rlimit fsize = {plan->file_size_limit, plan->file_size_limit};
            struct rlimit core = {0, 0};
            if (setrlimit(RLIMIT_FSIZE, &fsize) != 0 || setrlimit(RLIMIT_CORE, &core) != 0)
                _exit(126);
        }
        std::vector<char*> cargv;
        for (std::string& a : argv)
            cargv.push_back(&a[0]);
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(out_pipe[1]);

    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    auto elapsed_ms = [&t0]() {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return (t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000;
    };
    std::string pending;
    int matched = 0;
    bool counting = plan && plan->from.empty();
    long kill_at = -1;  // elapsed ms at which to kill
    for (;;) {
        long now = elapsed_ms();
        if (kill_at >= 0 && now >= kill_at && !run.killed) {
            kill(pid, SIGKILL);
            run.killed = true;
        }
        if (now > timeout_s * 1000L && !run.timed_out) {
            kill(pid, SIGKILL);
            run.timed_out = true;
        }
        if (plan && !plan->exists.empty() && !run.killed && FileExists(root + plan->exists)) {
            kill(pid, SIGKILL);
            run.killed = true;
        }
        struct pollfd pfd = {out_pipe[0], POLLIN, 0};
        int wait_ms = plan && !plan->exists.empty() && !run.killed ? 1 : 200;
        if (kill_at >= 0 && !run.killed)
            wait_ms = static_cast<int>(kill_at - now > 0 ? (kill_at - now < 200 ? kill_at - now : 200) : 0);
        int r = poll(&pfd, 1, wait_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(out_pipe[0], buf, sizeof buf);
        if (n <= 0)
            break;
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            if (!line.empty() && line[line.size() - 1] == '\r')
                line.erase(line.size() - 1);
            run.lines.push_back(line);
            pending.erase(0, nl + 1);
            if (plan && !counting && line.find(plan->from) != std::string::npos)
                counting = true;
            if (plan && !plan->text.empty() && counting && kill_at < 0 && line.find(plan->text) != std::string::npos &&
                ++matched >= plan->count) {
                kill_at = elapsed_ms() + plan->delay_ms;
                if (plan->delay_ms == 0) {
                    kill(pid, SIGKILL);
                    run.killed = true;
                }
            }
        }
    }
    if (!pending.empty())
        run.lines.push_back(pending);
    close(out_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    if (plan && plan->file_size_limit != 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
        run.killed = true;
    run.err = ReadFile(err_path);
    return run;
}

}  // namespace e2e
