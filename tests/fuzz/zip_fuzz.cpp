// Takes each input as an archive and unpacks it, once without a password and
// once with the package password, into a fresh directory under a sandbox
// root mounted as the framework's file system. Whatever the archive holds:
//   - nothing outside the target directory is created, changed or removed;
//   - no file written is larger than the largest size an entry declares for
//     that name (extraction never writes past the declared size);
//   - a failed unpacking says why in one line, a successful one says nothing;
//   - every file written is named as some entry's local header names it (a
//     name damaged in the central directory alone is never installed);
//   - no crash, leak or undefined behaviour.
// The target directory is removed after each input so a long run does not
// fill the disk.

#include <ftw.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/utils/zip.h"

namespace {

const char kPassword[] = "kth507316";

std::string g_root;

struct Node {
    mode_t mode;
    off_t size;
    time_t mtime;
    bool operator!=(const Node& o) const { return mode != o.mode || size != o.size || mtime != o.mtime; }
};

std::map<std::string, Node>* g_walk = nullptr;

int Collect(const char* path, const struct stat* st, int, struct FTW*)
{
    Node n = {st->st_mode, S_ISDIR(st->st_mode) ? 0 : st->st_size, S_ISDIR(st->st_mode) ? 0 : st->st_mtime};
    (*g_walk)[std::string(path).substr(g_root.size())] = n;
    return 0;
}

std::map<std::string, Node> Walk(const std::string& top)
{
    std::map<std::string, Node> out;
    g_walk = &out;
    nftw(top.c_str(), Collect, 16, FTW_PHYS);
    g_walk = nullptr;
    return out;
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

void RemoveTree(const std::string& dir)
{
    nftw(dir.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteAll(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    if (size)
        if (fwrite(data, 1, size, f) != size)
            abort();
    fclose(f);
}

// The largest declared size per entry name, read through the same reader.
std::map<std::string, int64_t> DeclaredSizes(const std::string& zipPath)
{
    std::map<std::string, int64_t> sizes;
    kivo::zip::ZipReader reader;
    if (!reader.Open(zipPath))
        return sizes;
    int32_t count = reader.GetEntryCount();
    for (int32_t i = 0; i < count; ++i) {
        kivo::zip::ZipReader::EntryInfo info;
        if (reader.GetCurrentEntryInfo(info)) {
            int64_t& s = sizes[info.name];
            if (info.size > s)
                s = info.size;
        }
        if (i + 1 < count && !reader.GoToNextEntry())
            break;
    }
    return sizes;
}

// A name as the walk of the tree spells its path: empty and "." parts
// between '/' dropped.
std::string Normal(const std::string& name)
{
    std::string out;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        const std::string part = name.substr(start, end - start);
        if (!part.empty() && part != ".")
            out += (out.empty() ? "" : "/") + part;
        start = end + 1;
    }
    return out;
}

// Every name a local header of the input gives, found by its signature
// alone (a superset: bytes inside an entry may look like a header too).
std::set<std::string> LocalNames(const uint8_t* data, size_t size)
{
    std::set<std::string> names;
    for (size_t at = 0; at + 30 <= size; ++at) {
        if (data[at] != 'P' || data[at + 1] != 'K' || data[at + 2] != 3 || data[at + 3] != 4)
            continue;
        const size_t len = data[at + 26] | (size_t)data[at + 27] << 8;
        if (at + 30 + len <= size)
            names.insert(Normal(std::string(reinterpret_cast<const char*>(data + at + 30), len)));
    }
    return names;
}

void CheckNamedLocally(const std::map<std::string, Node>& after, const std::set<std::string>& local)
{
    const std::string prefix = "/tmp/update/";
    for (const auto& kv : after) {
        if (kv.first.compare(0, prefix.size(), prefix) != 0 || !S_ISREG(kv.second.mode))
            continue;
        if (!local.count(kv.first.substr(prefix.size()))) {
            fprintf(stderr, "%s: installed under a name no local header gives\n", kv.first.c_str());
            abort();
        }
    }
}

void Setup()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zip-fuzz-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        abort();
    g_root = buf.data();
    // Bystanders the archive must not reach, beside the target and above it.
    mkdir((g_root + "/keep").c_str(), 0755);
    mkdir((g_root + "/keep/sub").c_str(), 0755);
    WriteAll(g_root + "/keep/sub/file.txt", reinterpret_cast<const uint8_t*>("canary"), 6);
    mkdir((g_root + "/tmp").c_str(), 0755);
    mkdir((g_root + "/opt").c_str(), 0755);
    if (kivo_mount("/system", &platform_file_ops, (void*)g_root.c_str(), nullptr) != 0)
        abort();
    atexit([] { kivo_umount("/system"); RemoveTree(g_root); });
}

void CheckWritten(const std::map<std::string, Node>& after, const std::map<std::string, int64_t>& declared)
{
    const std::string prefix = "/tmp/update/";
    for (const auto& kv : after) {
        if (kv.first.compare(0, prefix.size(), prefix) != 0 || !S_ISREG(kv.second.mode))
            continue;
        std::string name = kv.first.substr(prefix.size());
        auto it = declared.find(name);
        // Names are stored as read; one written under another spelling is
        // bounded by the largest size any entry declares.
        int64_t limit = 0;
        if (it != declared.end()) {
            limit = it->second;
        } else {
            for (const auto& d : declared)
                if (d.second > limit)
                    limit = d.second;
        }
        if (kv.second.size > limit) {
            fprintf(stderr, "%s: %lld bytes, declared %lld\n", kv.first.c_str(), (long long)kv.second.size,
                    (long long)limit);
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_root.empty())
        Setup();
    WriteAll(g_root + "/keep/in.zip", data, size);
    const std::map<std::string, int64_t> declared = DeclaredSizes("/keep/in.zip");
    const std::set<std::string> local = LocalNames(data, size);

    for (const char* password : {"", kPassword}) {
        const std::map<std::string, Node> before = Walk(g_root);
        mkdir((g_root + "/tmp/update").c_str(), 0755);
        std::string cause = "not cleared";
        if (kivo::zip::UnzipToDir("/keep/in.zip", "/tmp/update", password, &cause)) {
            if (!cause.empty()) {
                fprintf(stderr, "an unpacking that succeeded has a cause: %s\n", cause.c_str());
                abort();
            }
        } else if (cause.empty() || cause.find_first_of("\r\n") != std::string::npos) {
            // The cause is printed as one line after "unzip fail: ".
            fprintf(stderr, "a failed unpacking without a cause of one line: '%s'\n", cause.c_str());
            abort();
        }
        std::map<std::string, Node> after = Walk(g_root);
        CheckWritten(after, declared);
        CheckNamedLocally(after, local);

        // Outside the target: the same paths, the same kinds, sizes, dates.
        for (auto it = after.begin(); it != after.end();) {
            if (it->first == "/tmp/update" || it->first.compare(0, 12, "/tmp/update/") == 0)
                it = after.erase(it);
            else
                ++it;
        }
        for (const auto& kv : before)
            if (!after.count(kv.first) || after.at(kv.first) != kv.second) {
                fprintf(stderr, "changed or removed outside the target: %s\n", kv.first.c_str());
                abort();
            }
        for (const auto& kv : after)
            if (!before.count(kv.first)) {
                fprintf(stderr, "made outside the target: %s\n", kv.first.c_str());
                abort();
            }
        RemoveTree(g_root + "/tmp/update");
    }
    return 0;
}
