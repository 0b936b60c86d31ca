// The package walk of the update module on generated packages: a sandbox
// holds a small board (board directories with files, version records and a
// boot image) and a work directory with a package tree built from the
// input: directory names with '@' (absolute board paths, names that resolve
// nowhere, a nested board directory), files, nested directories, "info.ini"
// files with right or wrong check bytes, and sections whose records call
// for an install or not. The work directory is walked as an update run
// walks it. Besides crashes and sanitizer findings, each of these is a
// finding:
// - anything outside the board and the work directory changed, or the
//   walk changed the work directory;
// - a board file changed that is not in a board directory the package
//   names, or whose records do not call for it, or that changed into
//   anything but its packaged bytes; a version record that does not read
//   back as the package's; a directory made or anything removed on the board;
// - a file whose records call for it was not installed;
// - a rerun of the same package changed anything.

#include <dirent.h>
#include <ftw.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/update.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/filesystem/fs_utils.h"
#include "kivo/utils/ini_file.h"
#include "fuzz_sandbox.h"

namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path) == 0 ? 0 : -1;
}

// Without a shell: the tree is laid anew for every input.
void RemoveTree(const std::string& real)
{
    struct stat st;
    if (lstat(real.c_str(), &st) == 0 && nftw(real.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS) != 0)
        fprintf(stderr, "could not remove %s\n", real.c_str());
}

void RemoveRootTree()
{
    if (!Root().empty())
        RemoveTree(Root());
}

bool SetUpRoot()
{
    if (!MakeRoot("qlx-walk-fuzz-", RemoveRootTree))
        return false;
    // Flushes only slow the search down (nothing is read back across a crash).
    static kivo_fs_ops_t ops = platform_file_ops;
    ops.fsync = [](void*, intptr_t) -> kivo_err_t { return 0; };
    return kivo_mount("/system", &ops, (void*)Root().c_str(), nullptr) == 0;
}

void MakeDir(const std::string& path)
{
    mkdir((Root() + path).c_str(), 0755);
}

void Put(const std::string& path, const std::string& bytes)
{
    std::ofstream f(Root() + path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

// Every path below the sandbox (directories end in '/') with its bytes.
void Snapshot(const std::string& rel, std::map<std::string, std::string>& out)
{
    DIR* d = opendir((Root() + rel).c_str());
    if (d == nullptr)
        return;
    while (struct dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        const std::string path = rel + "/" + n;
        struct stat st;
        if (lstat((Root() + path).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            out[path + "/"] = "";
            Snapshot(path, out);
        } else {
            std::ifstream f(Root() + path, std::ios::binary);
            std::ostringstream ss;
            ss << f.rdbuf();
            out[path] = ss.str();
        }
    }
    closedir(d);
}

bool Under(const std::string& path, const std::string& dir)
{
    return path.compare(0, dir.size() + 1, dir + "/") == 0;
}

void PutLe32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The input, a byte at a time; 0 once it is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : _data(data), _size(size) {}
    unsigned Take(unsigned n) { return _at < _size ? _data[_at++] % n : 0; }
    std::string Bytes(size_t most)
    {
        size_t n = Take(static_cast<unsigned>(most + 1));
        std::string s;
        while (n-- > 0 && _at < _size)
            s += static_cast<char>(_data[_at++]);
        return s;
    }

private:
    const uint8_t* _data;
    size_t _size;
    size_t _at = 0;
};

// Package directory names: what each stands for on the board ("" for
// none). Each target appears once, so no two package directories write
// the same board file.
struct DirName {
    const char* name;
    const char* board;
};
const DirName kDirs[] = {
    {"sys", "/board/sys"},            // through the map
    {"qspi", "/board/q"},             // through the map
    {"@board@abs", "/board/abs"},     // an absolute board path
    {"@board@abs@deep", "/board/abs/deep"},
    {"@board@none", ""},              // absolute, no such directory
    {"mapped_gone", ""},              // mapped to a directory that is not there
    {"other", ""},                    // not mapped
    {"s@ys", ""},                     // relative once '@' is '/'
    {"sys@", ""},
};

// Packaged file names (distinct stems: each has its own version file).
const char* const kFiles[] = {"uImage", "app.elf", "dtb.img", "a@b.bin", "boot.bin"};
const char* const kVersions[] = {"V1", "V2.0.1", "V1.2.3T", "0x10"};

// What the package says of one file, and what the board holds of it.
struct Planned {
    std::string board_file;
    std::string record;      // its version file ("" for the boot image)
    std::string name;
    std::string packaged;
    std::string expected;    // the board file after an install
    std::string version;     // the section's version text
    uint32_t crc = 0;        // the section's check_crc
    bool must = false;       // the records call for an install
    bool may = false;        // an install is allowed at all
};

std::string Stem(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// One file of a package directory that stands for `board`: its section,
// its board copy and record, and what the walk must do with it.
Planned PlanFile(Input& in, const std::string& pkg_dir, const std::string& board, const std::string& name,
                 std::string& ini, bool dir_ok)
{
    Planned p;
    p.name = name;
    p.board_file = board.empty() ? "" : board + "/" + name;
    const bool boot = name == "boot.bin";
    p.record = boot || board.empty() ? "" : board + "/" + Stem(name) + "-info.ini";
    p.packaged = name + ":" + in.Bytes(24);
    if (boot) {
        p.packaged.resize(300 + in.Take(200), '\x11');
        p.expected = p.packaged;
        if (p.expected.size() < Update::kBootFill)
            p.expected.resize(Update::kBootFill, '\xFF');
    } else {
        p.expected = p.packaged;
    }
    Put(pkg_dir + "/" + name, p.packaged);

    const std::string good_version = kVersions[in.Take(4)];
    const uint32_t actual = Crc16Modbus(p.packaged);
    // The section: 0 right, 1 none, 2 CRC 0, 3 a wrong CRC, 4 no version,
    // 5 a version that does not parse.
    const unsigned section = in.Take(6);
    p.version = section == 4 ? "" : section == 5 ? "1.2.3.4.5" : good_version;
    p.crc = section == 2 ? 0 : section == 3 ? (actual ^ 0x5A) : actual;
    if (section != 1) {
        ini += "[" + name + "]\r\n";
        if (section != 4)
            ini += "version=" + p.version + "\r\n";
        ini += "check_crc=" + std::to_string(p.crc) + "\r\n";
    }
    const bool zip_side = section == 0 || (boot && section == 3);

    // The board: 0 no file, 1 a file without record, 2 the package's own
    // record, 3 a record with CRC 0, 4 a record whose version does not
    // parse, 5 an older version, 6 another CRC. The boot image: 0 none,
    // 1 a header of the package's own words, 2 another CRC, 3 too short
    // to hold a header.
    const unsigned state = in.Take(boot ? 4 : 7);
    const std::string old_bytes = "old " + name + in.Bytes(8);
    bool wanted = false;     // the records call for it when the package's side is usable
    bool unchecked = false;  // installed without asking the records
    if (!board.empty()) {
        struct stat st;
        const bool board_exists = stat((Root() + board).c_str(), &st) == 0;
        if (boot) {
            if (board_exists && state != 0) {
                std::string image(state == 3 ? 60 : 400, '\x22');
                if (state != 3) {
                    PutLe32(image, 80, state == 1 ? p.crc : p.crc ^ 0x77);
                    uint32_t v0 = 0;
                    if (p.version == "V1" || p.version == "V1.2.3T")
                        v0 = 1;
                    else if (p.version == "0x10")
                        v0 = 16;
                    else if (p.version == "V2.0.1")
                        v0 = 2;
                    PutLe32(image, 84, v0);
                }
                Put(p.board_file, image);
                // Equal CRCs and the version word: V2.0.1 and V1.2.3T still
                // have a greater later component.
                const bool equal = state == 1 && (p.version == "V1" || p.version == "0x10");
                wanted = !equal;
            }
        } else if (board_exists) {
            if (state == 0) {
                unchecked = true;
            } else {
                Put(p.board_file, old_bytes);
                const std::string record_crc = std::to_string(state == 3 ? 0 : state == 6 ? p.crc ^ 1 : p.crc);
                const char* version = state == 4 ? "1.2.3.4.5" : state == 5 ? "V0" : nullptr;
                if (state == 1)
                    unchecked = true;
                else
                    Put(p.record, "[" + name + "]\r\nversion=" + (version ? version : p.version.c_str()) +
                                      "\r\ncheck_crc=" + record_crc + "\r\n");
                wanted = state == 3 || state == 5 || state == 6;
            }
        }
    }
    if (!dir_ok || board.empty()) {
        p.must = p.may = false;
        return p;
    }
    if (boot) {
        p.must = p.may = zip_side && wanted;
    } else {
        // Without a record the install asks nothing but the CRC-16 of the
        // packaged file; with one, the records decide first.
        const bool crc_ok = p.crc != 0 && p.crc == actual;
        const bool through = unchecked ? section != 1 && crc_ok : zip_side && wanted;
        p.must = p.may = through;
    }
    return p;
}

// The walk of an update run over the work directory.
void Walk(const _update_info_st& info)
{
    Update update;
    kivo::filesystem::ForEachFile(info.unzip_dir.c_str(), false,
                                  [&update, &info](const char* path, bool is_dir) { update.ProcessDir(path, is_dir, info, nullptr); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = SetUpRoot();
    if (!ready)
        abort();
    // A fresh device for every input.
    RemoveTree(Root() + "/board");
    RemoveTree(Root() + "/work");
    RemoveTree(Root() + "/keep");
    for (const char* d : {"/board", "/board/sys", "/board/q", "/board/abs", "/board/abs/deep", "/work", "/keep",
                          "/keep/inner"})
        MakeDir(d);
    Put("/keep/inner/data.txt", "keep me");
    Put("/board/abs/note.txt", "on the board, beside the nested directory");

    Input in(data, size);
    _update_info_st info;
    info.unzip_dir = "/work";
    info.dir_map.push_back(_update_dir_entry{"sys", "/board/sys"});
    info.dir_map.push_back(_update_dir_entry{"qspi", "/board/q"});
    info.dir_map.push_back(_update_dir_entry{"mapped_gone", "/board/gone"});

    std::vector<Planned> plan;
    // Top-level files of the package are passed over by the walk.
    if (in.Take(2))
        Put("/work/notes.txt", "top-level");
    for (const DirName& d : kDirs) {
        if (in.Take(3) == 0)
            continue;
        const std::string pkg = std::string("/work/") + d.name;
        MakeDir(pkg);
        // The directory's "info.ini": 0 right, 1 a wrong check byte, 2 none.
        const unsigned info_state = in.Take(4) == 1 ? 1 : in.Take(8) == 0 ? 2 : 0;
        std::string ini;
        const bool dir_ok = info_state == 0;
        for (const char* f : kFiles) {
            if (in.Take(2))
                plan.push_back(PlanFile(in, pkg, d.board, f, ini, dir_ok));
        }
        // A nested directory, with an "info.ini" and files of its own: the
        // walk does not go below a package directory.
        if (in.Take(3) == 0) {
            MakeDir(pkg + "/sub");
            Put(pkg + "/sub/uImage", "nested");
            Put(pkg + "/sub/info.ini", "[uImage]\r\nversion=V9\r\ncheck_crc=" + std::to_string(Crc16Modbus("nested")) +
                                           "\r\n;" + std::string(1, static_cast<char>(Crc8I432(
                                                         "[uImage]\r\nversion=V9\r\ncheck_crc=" +
                                                         std::to_string(Crc16Modbus("nested")) + "\r\n"))));
        }
        if (info_state != 2) {
            char check = static_cast<char>(Crc8I432(ini));
            if (info_state == 1)
                check = static_cast<char>(check ^ 0x01);
            Put(pkg + "/info.ini", ini + ";" + std::string(1, check));
        }
    }

    std::map<std::string, std::string> before, after, again;
    Snapshot("", before);
    Walk(info);
    Snapshot("", after);

    std::map<std::string, const Planned*> by_board;
    std::map<std::string, const Planned*> by_record;
    for (const Planned& p : plan) {
        if (p.may) {
            by_board[p.board_file] = &p;
            if (!p.record.empty())
                by_record[p.record] = &p;
        }
    }
    for (const auto& kv : before) {
        auto it = after.find(kv.first);
        Check(it != after.end(), "nothing is removed: " + kv.first);
        if (!Under(kv.first, "/board"))
            Check(it->second == kv.second, "nothing outside the board changes: " + kv.first);
    }
    for (const auto& kv : after) {
        auto was = before.find(kv.first);
        if (was != before.end() && was->second == kv.second)
            continue;
        Check(Under(kv.first, "/board"), "nothing is made outside the board: " + kv.first);
        Check(kv.first.back() != '/', "no directory is made on the board: " + kv.first);
        auto file = by_board.find(kv.first);
        if (file != by_board.end()) {
            Check(kv.second == file->second->expected, "an installed file holds its packaged bytes: " + kv.first);
            continue;
        }
        auto rec = by_record.find(kv.first);
        Check(rec != by_record.end(), "only files whose records call for it change: " + kv.first);
        kivo::IniFile ini(kv.first.c_str());
        const Planned& p = *rec->second;
        Check(ini.GetString(p.name, "version", "<none>") == p.version &&
                  static_cast<uint32_t>(ini.GetInt(p.name, "check_crc", 0)) == p.crc,
              "a version record reads back as the package's: " + kv.first);
    }
    for (const Planned& p : plan) {
        if (p.must)
            Check(after[p.board_file] == p.expected, "a file whose records call for it is installed: " + p.board_file);
    }

    Walk(info);
    Snapshot("", again);
    for (const auto& kv : after) {
        auto it = again.find(kv.first);
        Check(it != again.end() && it->second == kv.second, "a rerun changes nothing: " + kv.first);
    }
    Check(again.size() == after.size(), "a rerun makes nothing");
    return 0;
}
