// Installation benchmark of the Update module: a package with one 64 MiB
// file and 200 small files, installed through "update.run" with a receiver
// that answers every report at once. Prints, all measured in this run:
//   - install time and MB/s, and its ratio to `unzip -o` + `cp` of the same
//     archive and files, and to `unzip -o` + `cp` + `sync`;
//   - the same install with the flush of every copied block left out (the
//     framework's fsync made a no-op), and the time that deleting and
//     rewriting the 201 version records takes on its own;
//   - MB/s of Crc16ModbusUpdate and of kivo::zip::UnzipToDir, the latter
//     split into the survey of the archive (until the first entry is
//     written) and the unpacking;
//   - an archive of 10,000 small entries in 50 directories (made by Python's
//     zipfile; UPDATE_BENCH_ENTRIES sets another count): UnzipToDir, its
//     survey and unpacking, against `unzip -qo` of the same archive, and the
//     unpacking process's peak resident memory;
//   - peak resident memory of a process that only runs the install.
// With the path of a built `updater` it also runs the whole program, with
// its designed pauses (status mailbox, reboot signal), in a sandbox on the
// same package, and counts the pauses from the lines it printed.
// A plain program, not a test: run it from a release build,
//   update_bench [rounds [updater]]
//   update_bench --unzip ARCHIVE DIR   (one UnzipToDir, system paths)
// The package is made by tests/app/update_pack.py (Python zipfile).

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "app/crc16_modbus.h"
#include "app/update.h"
#include "app/update_info.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/service/service.h"
#include "kivo/filesystem/fs_utils.h"
#include "kivo/utils/ini_file.h"
#include "kivo/utils/zip.h"

namespace {

const size_t kBigSize = 64u << 20;
const int kSmallCount = 200;

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Sh(const std::string& cmd)
{
    int rc = system(cmd.c_str());
    if (rc != 0)
        fprintf(stderr, "failed (%d): %s\n", rc, cmd.c_str());
    return rc == 0;
}

// Half noise, half text: firmware-like compressibility.
void FillBlock(std::vector<uint8_t>& b, uint32_t seed)
{
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < b.size(); ++i) {
        if ((i / 4096) % 2 == 0) {
            x = x * 1103515245u + 12345u;
            b[i] = static_cast<uint8_t>(x >> 16);
        } else {
            b[i] = static_cast<uint8_t>("firmware image text block "[i % 26]);
        }
    }
}

// Writes the file in 1 MiB pieces; returns its CRC-16.
int WriteFile(const std::string& path, size_t size, uint32_t seed, uint64_t* total)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return -1;
    std::vector<uint8_t> block(std::min<size_t>(size, 1u << 20));
    uint16_t crc = 0xFFFF;
    size_t done = 0;
    while (done < size) {
        FillBlock(block, seed + static_cast<uint32_t>(done >> 20));
        size_t n = std::min(block.size(), size - done);
        fwrite(block.data(), 1, n, f);
        crc = Crc16ModbusUpdate(crc, block.data(), n);
        done += n;
    }
    fclose(f);
    *total += size;
    return crc;
}

// ---------------------------------------------------------------- unzip child

// The survey ends where the first entry is written: the first directory
// made or file created under the target marks it.
double g_first_write = 0;
kivo_fs_ops_t g_mark_ops;

kivo_err_t MarkMkdir(void* ctx, const char* path)
{
    if (g_first_write == 0)
        g_first_write = Now();
    return platform_file_ops.mkdir(ctx, path);
}

kivo_err_t MarkOpen(void* ctx, intptr_t* out, const char* path, int flags)
{
    if (g_first_write == 0 && (flags & O_CREAT) != 0)
        g_first_write = Now();
    return platform_file_ops.open(ctx, out, path, flags);
}

// Unpacks zip under dir (both the system's own paths) with UnzipToDir and
// prints "<ok> <seconds> <survey seconds>".
int UnzipChild(const std::string& zip, const std::string& dir)
{
    g_mark_ops = platform_file_ops;
    g_mark_ops.mkdir = MarkMkdir;
    g_mark_ops.open = MarkOpen;
    if (kivo_mount("/system", &g_mark_ops, nullptr, nullptr) != 0)
        return 2;
    std::string cause;
    double t0 = Now();
    bool ok = kivo::zip::UnzipToDir(zip, dir, "", &cause);
    double t = Now() - t0;
    kivo_umount("/system");
    if (!ok)
        fprintf(stderr, "UnzipToDir failed: %s\n", cause.c_str());
    printf("%d %.6f %.6f\n", ok ? 1 : 0, t, g_first_write > 0 ? g_first_write - t0 : t);
    return ok ? 0 : 3;
}

// The many-entries archive, made by Python's zipfile: entry i is a short
// deflated text in directory i % 50.
const char kManyEntriesScript[] =
    "import sys, zipfile\n"
    "n, out = int(sys.argv[1]), sys.argv[2]\n"
    "with zipfile.ZipFile(out, \"w\", zipfile.ZIP_DEFLATED) as z:\n"
    "    for i in range(n):\n"
    "        z.writestr(\"d%02d/f%06d.txt\" % (i % 50, i), ((\"entry %d of dir %d \" % (i, i % 50)) * (4 + i % 20)).encode())\n";

// 10,000 entries; UPDATE_BENCH_ENTRIES sets another count.
int ManyEntries()
{
    const char* e = getenv("UPDATE_BENCH_ENTRIES");
    const int n = e != nullptr ? atoi(e) : 0;
    return n > 0 ? n : 10000;
}

// ---------------------------------------------------------------- install child

// Runs one "update.run" over root and prints its seconds; the parent reads
// this process's peak resident memory. Without flush, the file layer's
// fsync does nothing.
int InstallChild(const std::string& root, bool flush)
{
    static kivo_fs_ops_t ops = platform_file_ops;
    if (!flush)
        ops.fsync = [](void*, intptr_t) -> kivo_err_t { return 0; };
    if (kivo_mount("/system", &ops, (void*)root.c_str(), nullptr) != 0)
        return 2;
    kivo::Service gui("bench_gui", 1000);
    const kivo::Service::ThreadParam worker_param = {0, 0, "update", 1};
    kivo::Service worker("SVC_UPDATE", 1000, worker_param);
    gui.Start();
    kivo::MsgRouter receiver;
    receiver.Connect("update_info", [](kivo::Message& m) { m.Back(); });
    double unpacked_at = 0;
    receiver.Connect("update_start", [&unpacked_at](kivo::Message& m) {
        unpacked_at = Now();
        m.Back(kivo::Var(1));
    });
    receiver.Connect("normal_update_start", [](kivo::Message& m) { m.Back(); });
    receiver.Connect("update_end", [](kivo::Message& m) { m.Back(); });
    Update* module = nullptr;
    kivo::Service::SendFunction(&worker, [&module](kivo::Message&) {
        module = new Update;
        module->Init();
    }, kivo::Message::Value());

    _update_info_st info;
    info.zip_file = "/pkg/code.bin";
    info.unzip_dir = "/tmp/update";
    info.dir_map = {{"sys", "/opt/sys_disk"}, {"qspi", "/dev"}};
    info.pre_update_files = {"sys/update.elf"};
    bool done = false;
    int32_t status = -1;
    double t0 = Now();
    receiver.PostPath("update.run", kivo::Message::Value(kivo::Var(kivo::MakeHeapValue(info))),
                      [&](kivo::Message& m) {
                          status = m.value.ToInt32();
                          done = true;
                      });
    while (!done)
        gui.RunFor(5);
    double t = Now() - t0;
    kivo::Service::SendFunction(&worker, [module](kivo::Message&) { delete module; }, kivo::Message::Value());
    worker.Stop();
    gui.Stop();
    kivo_umount("/system");
    printf("%d %.6f %.6f\n", status, t, unpacked_at - t0);
    return status == 5 ? 0 : 3;
}

struct ChildResult {
    bool ok = false;
    double seconds = 0;
    double part_seconds = 0;  // install: until unpacked; unzip: the survey
    long maxrss_kb = 0;
};

// Runs this program again with `args`; its last line is "<status> <seconds>
// <seconds>", and the status it must give is `want`.
ChildResult RunChild(const std::vector<std::string>& args, int want)
{
    ChildResult r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("update_bench"));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(fds[1]);
    // The framework's own lines come first; the result is the last line.
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    size_t last = out.find_last_of('\n', out.size() >= 2 ? out.size() - 2 : 0);
    std::string tail = last == std::string::npos ? out : out.substr(last + 1);
    int wstatus = 0;
    struct rusage ru;
    memset(&ru, 0, sizeof ru);
    wait4(pid, &wstatus, 0, &ru);
    int status = -1;
    if (sscanf(tail.c_str(), "%d %lf %lf", &status, &r.seconds, &r.part_seconds) == 3 && status == want &&
        WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0)
        r.ok = true;
    r.maxrss_kb = ru.ru_maxrss;
    return r;
}

ChildResult RunInstallChild(const std::string& root, bool flush)
{
    return RunChild({flush ? "--install" : "--install-noflush", root}, 5);
}

ChildResult RunUnzipChild(const std::string& zip, const std::string& dir)
{
    return RunChild({"--unzip", zip, dir}, 1);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Loads, deletes and rewrites `count` installed version records as the
// install does around each copy; seconds for all of them.
double RecordRewrites(const std::string& root, int count)
{
    if (kivo_mount("/system", &platform_file_ops, (void*)root.c_str(), nullptr) != 0)
        return -1;
    Sh("mkdir -p '" + root + "/records'");
    auto name = [](int i) { return "file" + std::to_string(i) + ".dat"; };
    auto path = [](int i) { return "/records/file" + std::to_string(i) + "-info.ini"; };
    for (int i = 0; i < count; ++i) {
        FILE* f = fopen((root + path(i)).c_str(), "w");
        if (f == nullptr)
            return -1;
        fprintf(f, "[%s]\r\nversion=V1.0\r\ncheck_crc=1\r\n", name(i).c_str());
        fclose(f);
    }
    double t0 = Now();
    for (int i = 0; i < count; ++i) {
        kivo::IniFile ini(path(i).c_str());
        kivo::filesystem::RemoveFile(path(i));
        ini.SetString(name(i), "version", "V2.0");
        ini.SetInt(name(i), "check_crc", 0x1234 + i);
        ini.Save(path(i).c_str());
    }
    double t = Now() - t0;
    kivo_umount("/system");
    return t;
}

// The whole program in a sandbox on the package. Its pauses are counted
// from its lines: 100 ms per file start and per shown progress step, 2.1 s
// per error, 0.5 s and 1 s at the start and end of rewriting, and after a
// run that rewrote files 2 s, three 1 s blinks and 1 s before it stops
// (1 s alone otherwise).
void RunProgram(const std::string& updater, const std::string& base, const std::string& pkg, double mb,
                double plain_seconds)
{
    const std::string root = base + "/program";
    if (!Sh("mkdir -p '" + root + "/tmp' '" + root + "/dev' '" + root + "/opt/sys_disk' '" + root +
            "/opt/app_disk' '" + root + "/opt/update_disk' && ln '" + pkg + "' '" + root +
            "/opt/update_disk/code.bin'"))
        return;
    const std::string cmd = "UPDATER_ROOT='" + root + "' '" + updater + "' /opt/update_disk/code.bin";
    double t0 = Now();
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return;
    char line[4096];
    int starts = 0, steps = 0, errors = 0;
    bool rewrite_start = false, rewrite_end = false, reboot = false;
    while (fgets(line, sizeof line, p)) {
        std::string l(line);
        starts += l.find("[update]\t\tstart update ") != std::string::npos;
        steps += l.find("[progress]\t\t") != std::string::npos;
        errors += l.find("[error]") != std::string::npos;
        rewrite_start = rewrite_start || l.find("****** start ******") != std::string::npos;
        rewrite_end = rewrite_end || l.find("****** end ******") != std::string::npos;
        reboot = reboot || l.find("need to reboot") != std::string::npos;
    }
    pclose(p);  // the program's status is always 1
    const double t = Now() - t0;
    const double pauses = 0.1 * (starts + steps) + 2.1 * errors + (rewrite_start ? 0.5 : 0) +
                          (rewrite_end ? 1.0 : 0) + (reboot ? 2.0 + 3.0 : 0) + 1.0;
    printf("whole program (%s):\n", reboot ? "files rewritten, reboot asked for" : "FAILED: no reboot asked for");
    printf("  run:                       %.3f s  %.2f MB/s, %.0fx unzip -o + cp\n", t, mb / t, t / plain_seconds);
    printf("  designed pauses:           %.3f s (%d file starts, %d progress steps, %d errors), %.1f%% of the run\n",
           pauses, starts, steps, errors, 100.0 * pauses / t);
    printf("  the rest:                  %.3f s\n", t - pauses);
}

int Bench(const std::string& base, int rounds, const std::string& updater)
{
    const std::string root = base + "/root";
    const std::string stage = base + "/stage";
    const std::string pkg = root + "/pkg/code.bin";
    if (!Sh("mkdir -p '" + root + "/pkg' '" + root + "/tmp' '" + stage + "/sys'"))
        return 1;

    // The package: files, then info.ini and the archive through the packer.
    uint64_t total = 0;
    std::string infos = "{\"sys\": {\"sections\": {";
    int crc = WriteFile(stage + "/sys/rootfs.img", kBigSize, 1, &total);
    infos += "\"rootfs.img\": {\"version\": \"V2.0\", \"check_crc\": " + std::to_string(crc) + "}";
    for (int i = 0; i < kSmallCount; ++i) {
        std::string name = "file" + std::to_string(i) + ".dat";
        crc = WriteFile(stage + "/sys/" + name, 1024 + static_cast<size_t>(i) * 317, 100 + i, &total);
        infos += ", \"" + name + "\": {\"version\": \"V2.0\", \"check_crc\": " + std::to_string(crc) + "}";
    }
    infos += "}}}";
    std::string recipe = "{\"stage\": \"" + stage + "\", \"out\": \"" + pkg + "\", \"infos\": " + infos + "}";
    FILE* sf = fopen((base + "/recipe.json").c_str(), "w");
    if (sf == nullptr)
        return 1;
    fputs(recipe.c_str(), sf);
    fclose(sf);
    std::string here(__FILE__);
    here = here.substr(0, here.rfind('/'));
    if (!Sh("python3 '" + here + "/../app/update_pack.py' '" + base + "/recipe.json' > /dev/null"))
        return 1;
    const double mb = static_cast<double>(total) / (1 << 20);

    // Install and the plain tools, alternately, so both see the same caches.
    // Every round works in new directories: removing trees between rounds
    // would make the next rounds' file creations pay for it (ext4 skips
    // recently deleted inodes), which is not what a device sees.
    std::vector<double> install, unpack, plain, plain_sync, noflush;
    long maxrss = 0;
    for (int r = 0; r < rounds; ++r) {
        const std::string rroot = base + "/round" + std::to_string(r);
        const std::string rplain = base + "/plain" + std::to_string(r);
        const std::string rfast = base + "/noflush" + std::to_string(r);
        const std::string rsync = base + "/plainsync" + std::to_string(r);
        if (!Sh("mkdir -p '" + rroot + "/pkg' '" + rroot + "/tmp' '" + rroot + "/opt/sys_disk' '" + rplain +
                "/board' '" + rsync + "/board' '" + rfast + "/pkg' '" + rfast + "/tmp' '" + rfast +
                "/opt/sys_disk' && ln '" + pkg + "' '" + rroot + "/pkg/code.bin' && ln '" + pkg + "' '" + rfast +
                "/pkg/code.bin'"))
            return 1;
        // The four runs take turns at going first: a run after an install
        // creates its files among the inodes that install just freed, which
        // ext4 may skip over one by one.
        for (int k = 0; k < 4; ++k) {
            // Nothing left dirty by the run before is flushed on this one.
            Sh("sync");
            const int which = (k + r) % 4;
            if (which == 0) {
                ChildResult c = RunInstallChild(rroot, true);
                if (!c.ok) {
                    fprintf(stderr, "install failed\n");
                    return 1;
                }
                install.push_back(c.seconds);
                unpack.push_back(c.part_seconds);
                maxrss = std::max(maxrss, c.maxrss_kb);
            } else if (which == 1 || which == 2) {
                const std::string dir = which == 1 ? rplain : rsync;
                double t0 = Now();
                Sh("unzip -o -q '" + pkg + "' -d '" + dir + "/work' && cp '" + dir + "/work/sys/'* '" + dir +
                   "/board/'" + (which == 2 ? " && sync" : ""));
                (which == 1 ? plain : plain_sync).push_back(Now() - t0);
            } else {
                ChildResult f = RunInstallChild(rfast, false);
                if (!f.ok) {
                    fprintf(stderr, "install without flush failed\n");
                    return 1;
                }
                noflush.push_back(f.seconds);
            }
        }
    }

    // UnzipToDir alone, and its survey before the first entry is written.
    std::vector<double> unzip_t, survey_t;
    for (int r = 0; r < rounds; ++r) {
        Sh("sync");
        ChildResult u = RunUnzipChild(pkg, base + "/unz" + std::to_string(r));
        if (!u.ok) {
            fprintf(stderr, "UnzipToDir failed\n");
            return 1;
        }
        unzip_t.push_back(u.seconds);
        survey_t.push_back(u.part_seconds);
    }

    // Many small entries: UnzipToDir against `unzip -qo`, alternately.
    const int entries = ManyEntries();
    const std::string many = base + "/many.zip";
    if (!Sh("python3 -c '" + std::string(kManyEntriesScript) + "' " + std::to_string(entries) + " '" + many + "'"))
        return 1;
    std::vector<double> many_t, many_survey, many_plain;
    long many_rss = 0;
    for (int r = 0; r < rounds; ++r) {
        Sh("sync");
        ChildResult u = RunUnzipChild(many, base + "/many" + std::to_string(r));
        if (!u.ok) {
            fprintf(stderr, "UnzipToDir of the many entries failed\n");
            return 1;
        }
        many_t.push_back(u.seconds);
        many_survey.push_back(u.part_seconds);
        many_rss = std::max(many_rss, u.maxrss_kb);
        Sh("sync");
        double t0 = Now();
        if (!Sh("unzip -qo '" + many + "' -d '" + base + "/manyplain" + std::to_string(r) + "'"))
            return 1;
        many_plain.push_back(Now() - t0);
    }

    // CRC-16 over 64 MiB in memory, against one table step per byte (after
    // the children ran: a child's peak memory counts what it was forked with).
    std::vector<uint8_t> data(kBigSize);
    FillBlock(data, 7);
    volatile uint16_t sink = 0;
    std::vector<double> crc_t, crc1_t;
    for (int r = 0; r < 5; ++r) {
        double t0 = Now();
        sink = sink ^ Crc16ModbusUpdate(0xFFFF, data.data(), data.size());
        crc_t.push_back(Now() - t0);
        t0 = Now();
        uint32_t reg = 0xFFFF;
        for (uint8_t b : data)
            reg = Crc16ModbusTable(static_cast<uint8_t>(reg ^ b)) ^ (reg >> 8);
        sink = sink ^ static_cast<uint16_t>(reg);
        crc1_t.push_back(Now() - t0);
    }

    const double ti = Median(install), tp = Median(plain);
    printf("package: 1 file of 64 MiB + %d small files, %.1f MiB in all\n", kSmallCount, mb);
    printf("install through Update:      %.3f s  %.1f MB/s (median of %d)\n", ti, mb / ti, rounds);
    printf("  of which unpacking:        %.3f s\n", Median(unpack));
    printf("unzip -o + cp:               %.3f s  %.1f MB/s\n", tp, mb / tp);
    printf("ratio install / (unzip+cp):  %.2f\n", ti / tp);
    const double ts = Median(plain_sync), tf = Median(noflush);
    printf("unzip -o + cp + sync:        %.3f s  %.1f MB/s\n", ts, mb / ts);
    printf("ratio install / (unzip+cp+sync): %.2f (per round:", ti / ts);
    std::vector<double> paired;
    for (size_t i = 0; i < install.size(); ++i) {
        paired.push_back(install[i] / plain_sync[i]);
        printf(" %.2f", paired.back());
    }
    printf("; median %.2f)\n", Median(paired));
    printf("install without block flush: %.3f s  (the flushes: %.3f s, %.0f%% of the install)\n", tf, ti - tf,
           100.0 * (ti - tf) / ti);
    const double tr = RecordRewrites(base + "/round0", kSmallCount + 1);
    printf("version records rewritten:   %.4f s for %d (%.2f%% of the install)\n", tr, kSmallCount + 1,
           100.0 * tr / ti);
    // CPU-bound figures: the best of five, the least disturbed by other load.
    const double crc_best = *std::min_element(crc_t.begin(), crc_t.end());
    const double crc1_best = *std::min_element(crc1_t.begin(), crc1_t.end());
    printf("Crc16ModbusUpdate:           %.0f MB/s (one byte a step: %.0f MB/s, %.1fx)\n", 64.0 / crc_best,
           64.0 / crc1_best, crc1_best / crc_best);
    printf("kivo::zip::UnzipToDir:       %.3f s  %.1f MB/s (survey %.4f s, unpacking %.3f s)\n",
           Median(unzip_t), mb / Median(unzip_t), Median(survey_t), Median(unzip_t) - Median(survey_t));
    const double tm = Median(many_t), tms = Median(many_survey), tmp = Median(many_plain);
    printf("%d small entries in 50 directories:\n", entries);
    printf("  kivo::zip::UnzipToDir:     %.3f s (survey %.3f s, unpacking %.3f s)\n", tm, tms, tm - tms);
    printf("  unzip -qo:                 %.3f s\n", tmp);
    printf("  ratio UnzipToDir / unzip -qo: %.2f (per round:", tm / tmp);
    for (size_t i = 0; i < many_t.size(); ++i)
        printf(" %.2f", many_t[i] / many_plain[i]);
    printf(")\n");
    printf("  peak resident memory of the unpacking process: %.1f MiB\n", many_rss / 1024.0);
    printf("peak resident memory of the install process: %.1f MiB\n", maxrss / 1024.0);
    if (!updater.empty())
        RunProgram(updater, base, pkg, mb, tp);

    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--install") == 0)
        return InstallChild(argv[2], true);
    if (argc == 3 && strcmp(argv[1], "--install-noflush") == 0)
        return InstallChild(argv[2], false);
    if (argc == 4 && strcmp(argv[1], "--unzip") == 0)
        return UnzipChild(argv[2], argv[3]);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;

    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qlx-update-bench-XXXXXX";
    std::vector<char> tb(tmpl.begin(), tmpl.end());
    tb.push_back('\0');
    if (mkdtemp(tb.data()) == nullptr)
        return 1;
    const std::string base = tb.data();
    int rc = Bench(base, rounds, argc > 2 ? argv[2] : "");
    // UPDATE_BENCH_KEEP keeps the tree, for profiling one install by hand.
    if (getenv("UPDATE_BENCH_KEEP") == nullptr)
        Sh("rm -rf '" + base + "'");
    else
        printf("kept %s\n", base.c_str());
    return rc;
}
