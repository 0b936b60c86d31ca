#include "app/gui.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/sandbox.h"
#include "app/update_info.h"
#include "common/script/lua_cpp/lua_cpp.h"
#include "common/script/lua_cpp/lua_lib.h"
#include "kivo/base/kivo_pthread.h"
#include "kivo/common/str_utils.h"
#include "kivo/filesystem/file.h"
#include "kivo/filesystem/fs_utils.h"
#include "kivo/service/elem.h"
#include "kivo/utils/ini_file.h"
#include "kivo/utils/zip.h"

int32_t g_app_argc = 0;
char** g_app_argv = nullptr;
hw_vaddr_t g_mailbox_vaddr = 0;

using kivo::filesystem::File;

namespace {

const char* const kWorkDir = "/tmp/update";
const char* const kAppDisk = "/opt/app_disk/";
const char* const kUpdateDisk = "/opt/update_disk";
const char* const kForceFile = "/opt/update_disk/ForceUpdate.bin";
const char* const kOnceFile = "/opt/update_disk/OnceUpdate.bin";
const char* const kBootImage = "/dev/boot.bin";
// Present from the start of rewriting until every top-level file of that
// install is in "/opt/app_disk/": a run that finds nothing to rewrite copies
// only while it is there (the copy of an install cut short is finished, a
// file edited on the device since is left alone). Beside the version
// records; empty, so it takes no room on a full disk, and hidden, so that
// it is not taken for an installed image or a record.
const char* const kCopyMark = "/opt/sys_disk/.app_disk_copy.";

// Text area of the mailbox: behind the 32-bit status word, at most 256
// bytes with the zero.
constexpr size_t kMailboxTextOffset = 4;
constexpr size_t kMailboxTextMax = 256;

bool IsExistingFile(const std::string& path)
{
    return kivo::filesystem::IsFile(path);
}

// The text first, the status word last: the reader on the other processor
// takes the word as the sign that the text is complete. Stores are volatile
// so none is dropped or merged; the full barriers (the other processor reads
// the page) keep the word behind the text.
// Without a mapped mailbox nothing is written.
void MailboxWrite(uint32_t word, const char* text, size_t block)
{
    if (g_mailbox_vaddr == 0)
        return;
    volatile uint8_t* page = reinterpret_cast<volatile uint8_t*>(g_mailbox_vaddr);
    if (text) {
        if (block > kMailboxTextMax)
            block = kMailboxTextMax;
        size_t len = strnlen(text, block - 1);
        for (size_t i = 0; i < block; ++i)
            page[kMailboxTextOffset + i] = i < len ? static_cast<uint8_t>(text[i]) : 0;
    }
    __sync_synchronize();
    *reinterpret_cast<volatile uint32_t*>(page) = word;
    __sync_synchronize();
}

void Pause(uint32_t ms)
{
    kivo_thread_msleep(ms);
}

bool ElemIsOne(const char* path)
{
    kivo::Var v;
    if (!kivo::ElemRead(path, v))
        return false;
    int32_t err = 0;
    int32_t n = v.ToInt32(&err);
    return err == 0 && n == 1;
}

// The value as a signed 32-bit integer, as the conversion gives it: out of
// range it is clamped, so a huge progress is dropped and a huge start/end
// value means "end" (not 0, "start").
int32_t ValueInt(const kivo::Var& v)
{
    return v.ToInt32();
}

void WriteTextElem(const char* path, const std::string& text)
{
    kivo::ElemWrite(path, kivo::Var(text), 0, false);
}

// The header words of the boot image are shown signed ("%d"), the boot
// version in hexadecimal ("%x").
std::string Decimal(uint32_t word)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%d", static_cast<int32_t>(word));
    return buf;
}

std::string Hex(uint32_t word)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%x", word);
    return buf;
}

// The code file named on the command line: the first of one or two paths
// that is an existing file. "" when there is none; refusal is then the
// line that says so.
std::string CodeFileFromCommandLine(std::string& refusal)
{
    if (g_app_argc == 3) {
        std::string first = g_app_argv[1];
        std::string second = g_app_argv[2];
        if (IsExistingFile(first))
            return first;
        if (IsExistingFile(second))
            return second;
        refusal = "[Init]input path " + first + " and " + second + " all not exist, exit update";
    } else if (g_app_argc == 2) {
        std::string only = g_app_argv[1];
        if (IsExistingFile(only))
            return only;
        refusal = "[Init]input path " + only + " not exist, exit update";
    } else {
        refusal = "[Init] no input code.bin file, exit update";
    }
    return std::string();
}

// The request of "update.run" for the code file.
_update_info_st UpdateRequest(const std::string& code_file)
{
    _update_info_st info;
    info.zip_file = code_file;
    info.unzip_dir = kWorkDir;
    info.hw_version = Gui::ReadSmallFile("/dev/hwversion.bin");
    info.serial = Gui::ReadSmallFile("/dev/serial.bin");
    info.dir_map.push_back(_update_dir_entry{"sys", "/opt/sys_disk"});
    info.dir_map.push_back(_update_dir_entry{"qspi", "/dev"});
    info.pre_update_files.push_back("sys/update.elf");
    return info;
}

}  // namespace

Gui::Gui() : _timer_cnt(0), _result(0), _last_progress(0), _checking(false), _copy_failed(false), _copy_unread(false) {}

Gui::~Gui() {}

bool Gui::Init()
{
    _last_progress = 0;

    std::string refusal;
    _code_file = CodeFileFromCommandLine(refusal);
    if (_code_file.empty()) {
        printf("%s\n", refusal.c_str());
        fflush(stdout);
        GetService()->Stop();
        return false;
    }

    printf("[Init]code.bin path: %s\n", _code_file.c_str());
    _timer_cnt = 0;

    Connect("set.timer.cnt", Handler(&Gui::OnSetTimerCnt, this), 0);
    Connect("update_info", Handler(&Gui::OnUpdateInfo, this));
    Connect("update_start", Handler(&Gui::OnUpdateStart, this));
    Connect("normal_update_start", Handler(&Gui::OnNormalUpdateStart, this));
    Connect("update_end", Handler(&Gui::OnUpdateEnd, this));

    const _update_info_st info = UpdateRequest(_code_file);
    PostPath("update.run", kivo::Message::Value(kivo::Var(kivo::MakeHeapValue(info))),
             Handler(&Gui::OnUpdateRun, this));

    GetService()->Run();
    return true;
}

void Gui::OnSetTimerCnt(kivo::Message& msg)
{
    _timer_cnt = ValueInt(msg.value);
    msg.Back();
}

void Gui::OnNormalUpdateStart(kivo::Message& msg)
{
    (void)msg;
}

std::string Gui::ReadSmallFile(const std::string& path)
{
    char buf[64];
    memset(buf, 0, sizeof buf);
    File file;
    if (!file.Open(path.c_str(), File::OpenRead))
        return std::string();
    ssize_t n = file.Read(buf, sizeof buf, nullptr);
    if (n <= 0)
        return std::string();
    return std::string(buf, strnlen(buf, static_cast<size_t>(n)));
}

uint32_t Gui::ReadWord(const std::string& path, uint32_t offset)
{
    File file;
    if (!file.Open(path.c_str(), File::OpenRead))
        return 0;
    if (file.Seek(offset, File::SeekBegin) != static_cast<int64_t>(offset))
        return 0;
    uint8_t b[4];
    if (file.Read(b, sizeof b, nullptr) != 4)
        return 0;
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

namespace {

// Words of the boot image's header.
constexpr uint32_t kBootVersionWord = 84;
constexpr uint32_t kBootFsblWord = 92;
constexpr uint32_t kBootFpgaWord = 100;
constexpr uint32_t kBootUbootWord = 108;

}  // namespace

bool Gui::ReadFileVersion(const std::string& path, std::string& out)
{
    kivo::PathParts parts(path);
    std::string file_name = parts.GetFileName();
    if (file_name == "boot.bin") {
        out = Hex(ReadWord(path, kBootVersionWord));
        return true;
    }
    std::string info = parts.DirPath() + "/" + parts.GetName() + "-info.ini";
    if (!IsExistingFile(info))
        return false;
    kivo::IniFile ini(info.c_str());
    std::string version = ini.GetString(file_name, "version", "");
    if (version.empty())
        return false;
    kivo::StrTrim(version);
    if (version.find('V') != std::string::npos)
        version.erase(0, 1);
    out = version;
    return true;
}

void Gui::SetVersions()
{
    struct FileVersion {
        const char* elem;
        const char* file;
    };
    const bool boot = IsExistingFile(kBootImage);
    std::string text;

    WriteTextElem("@/system/version/hw", ReadSmallFile("/dev/hwversion.bin"));
    WriteTextElem("@/system/device/id", ReadSmallFile("/dev/serial.bin"));
    if (boot)
        WriteTextElem("@/system/version/fpga", Decimal(ReadWord(kBootImage, kBootFpgaWord)));
    if (ReadFileVersion(kBootImage, text))
        WriteTextElem("@/system/version/boot", text);
    if (ReadFileVersion("/opt/sys_disk/uImage", text))
        WriteTextElem("@/system/version/linux", text);
    if (boot) {
        WriteTextElem("@/system/version/uboot", Decimal(ReadWord(kBootImage, kBootUbootWord)));
        WriteTextElem("@/system/version/fsbl", Decimal(ReadWord(kBootImage, kBootFsblWord)));
    }
    static const FileVersion kRest[] = {
        {"@/system/version/rootfs", "/opt/sys_disk/initrd.img"},
        {"@/system/version/devtree", "/opt/sys_disk/devicetree.dtb"},
        {"@/system/version/update", "/opt/sys_disk/update.elf"},
        {"@/system/version/r50", "/opt/app_disk/app/mb_r5_freertos_app_core0.elf"},
        {"@/system/version/r51", "/opt/app_disk/app/mb_r5_freertos_app_core1.elf"},
        {"@/system/version/app", "/opt/app_disk/app/app.elf"},
    };
    for (const FileVersion& fv : kRest) {
        if (ReadFileVersion(fv.file, text))
            WriteTextElem(fv.elem, text);
    }
}

void Gui::RefuseDuringCheck(const char* route, kivo::Message& msg)
{
    printf("[warn]%s refused: the check stage is running\n", route);
    msg.Back(kivo::Var(0));
}

namespace {

// The power board's version text as one word of the hook's command line.
// The text comes from outside the program: a character the shell acts on
// (blank, ';', '$', '`', quote, wildcard, line break) must not reach it
// bare, so such a text is quoted. Empty, it stays empty (the hook gets the
// work directory alone); of plain characters only, it stands as it reads.
std::string HookWord(const std::string& text)
{
    static const char kPlain[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._,:+=@%/-";
    return text.find_first_not_of(kPlain) == std::string::npos ? text : ShellQuote(text);
}

// The package's shell hook, when it has one, with the work directory and
// the power board's version; its exit status is not looked at.
void RunHook(const std::string& work_dir)
{
    const std::string hook = work_dir + "/sys_cmd.sh";
    if (!IsExistingFile(hook))
        return;
    kivo::Var hw;
    std::string hw_text;
    if (kivo::ElemRead("@/system/version/powerboard/hw", hw))
        hw_text = hw.ToString();
    std::string command = "sh " + hook + " " + work_dir + " " + HookWord(hw_text);
    fflush(stdout);
    SandboxSystem(command.c_str());
}

}  // namespace

void Gui::OnUpdateStart(kivo::Message& msg)
{
    // A check script that sends here would run the stage inside itself.
    if (_checking) {
        RefuseDuringCheck("update_start", msg);
        return;
    }
    struct Checking {
        explicit Checking(bool& f) : flag(f) { flag = true; }
        ~Checking() { flag = false; }
        bool& flag;
    } checking(_checking);
    const std::string work_dir = msg.value.ToString();
    SetVersions();

    RunHook(work_dir);
    if (IsExistingFile(work_dir + "/update_force.txt"))
        kivo::ElemWrite("/update/force", kivo::Var(1), 0, false);
    if (IsExistingFile(work_dir + "/update_once.txt"))
        kivo::ElemWrite("/update/once", kivo::Var(1), 0, false);

    int32_t verdict = LuaCheck(work_dir + "/check.lua");
    printf(">> lua_check : %d\n", verdict);
    msg.Back(kivo::Var(verdict));
}

namespace {

// An error as one log line, "what" naming the step that failed. Control
// characters become blanks: the text comes from the package and must
// neither split the line nor forge another.
void PrintLuaError(const char* what, std::string msg)
{
    for (char& c : msg) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    printf(">> Lua %s error: %s\n", what, msg.c_str());
}

// A key or value of a table as the table print shows it: numbers, texts
// and booleans (1 or 0) with their text, anything else as "other type".
std::string TableItem(lua_State* L, int index, const char* head)
{
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN:
        return std::string(head) + ":" + (lua_toboolean(L, index) ? "1" : "0") + "\t";
    case LUA_TNUMBER:
    case LUA_TSTRING: {
        // On a copy: converting the key itself in place would upset lua_next.
        lua_pushvalue(L, index);
        size_t n = 0;
        const char* text = lua_tolstring(L, -1, &n);
        std::string out = std::string(head) + ":" + std::string(text, n) + "\t";
        lua_pop(L, 1);
        return out;
    }
    default:
        return std::string(head) + " type:other type\t";
    }
}

// Prints the table at the top of the stack pair by pair, then collects its
// text values in traversal order.
std::vector<std::string> PreUpdateList(lua_State* L)
{
    const int table = lua_gettop(L);
    lua_pushnil(L);
    while (lua_next(L, table) != 0) {
        std::string line = TableItem(L, -2, "key") + "," + TableItem(L, -1, "value");
        printf("%s\n", line.c_str());
        lua_pop(L, 1);
    }
    std::vector<std::string> list;
    int index = 0;
    lua_pushnil(L);
    while (lua_next(L, table) != 0) {
        if (lua_type(L, -1) == LUA_TSTRING) {
            size_t n = 0;
            const char* text = lua_tolstring(L, -1, &n);
            list.push_back(std::string(text, n));
            printf("[get_table_string] %d : %s\n", index, list.back().c_str());
        } else {
            printf("[get_table_string] %d : other type\n", index);
        }
        ++index;
        lua_pop(L, 1);
    }
    return list;
}

// What the script's globals say, read after its chunk ran.
struct CheckAnswer {
    int32_t verdict = 1;
    bool reboot = false;
    bool has_list = false;
    std::vector<std::string> list;
};

// Reads and prints the globals. Runs inside a protected call: an error
// raised by the script's functions, or by anything the interpreter does on
// the way (a collection step running a failing finalizer, memory running
// out), unwinds from here. `step` names what was being done then.
void ReadCheckAnswer(LuaState& state, CheckAnswer& answer, const char*& step)
{
    lua_State* L = state.GetState();
    // Each global is looked up once and that very value is called: a second
    // look-up could find something else.
    step = "PrintRoute";
    {
        LuaRef route = state.GetGlobal("PrintRoute");
        if (route.Type() == LUA_TFUNCTION) {
            lua_pushvalue(L, -1);
            lua_call(L, 0, 0);
        }
    }
    step = "Check";
    {
        LuaRef check = state.GetGlobal("Check");
        if (check.Type() == LUA_TFUNCTION) {
            const int base = lua_gettop(L);
            lua_pushvalue(L, -1);
            lua_call(L, 0, LUA_MULTRET);
            if (lua_gettop(L) == base)
                lua_pushnil(L);
            LuaRef last(L, -1, base);
            answer.verdict = last.To<int32_t>();
            printf(answer.verdict != 0 ? ">> Lua check need update\n" : ">> Lua check no update\n");
        }
    }
    step = "PreUpdateNeedReboot";
    {
        LuaRef reboot = state.GetGlobal("PreUpdateNeedReboot");
        if (reboot.Type() == LUA_TBOOLEAN) {
            reboot.Get(&answer.reboot);
            printf(">> Lua prefile check reboot update: %d\n", answer.reboot ? 1 : 0);
        }
    }
    step = "PreUpdateList";
    {
        LuaRef pre = state.GetGlobal("PreUpdateList");
        if (pre.Type() == LUA_TTABLE) {
            answer.list = PreUpdateList(L);
            answer.has_list = true;
        }
    }
}

// Reads `length` bytes of the open file into text; false when a read fails
// (err says why) or the file ends early (err stays 0).
bool ReadWhole(File& file, size_t length, std::string& text, kivo_err_t& err)
{
    text.resize(length);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = file.Read(&text[done], text.size() - done, &err);
        if (n <= 0 || err != 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The whole text of the check script; empty when there is none or it is
// empty. False, said, when it is there but cannot be read: read in part it
// could say anything, so it has not said "go on".
bool ReadCheckScript(const std::string& script, std::string& text)
{
    if (!IsExistingFile(script))
        return true;
    File file;
    kivo_err_t err = 0;
    const int64_t length = file.Open(script.c_str(), File::OpenRead, &err) ? file.GetLength(&err) : -1;
    if (length == 0)
        return true;
    if (length < 0 || static_cast<uint64_t>(length) >= static_cast<uint64_t>(SIZE_MAX) ||
        !ReadWhole(file, static_cast<size_t>(length), text, err)) {
        PrintLuaError("script", "cannot read " + script + ": " + (err != 0 ? strerror(err) : "the file ends early"));
        return false;
    }
    return true;
}

// Runs the script's text. The whole file is one text chunk, as it stands: a
// byte-order mark, a "#!" line or a zero byte is a load error, and a
// precompiled chunk is refused (the interpreter does not verify bytecode).
// A script that does not load or does not run to its end has not said "go
// on": whatever it defined before the failure, nothing is installed.
bool RunCheckChunk(lua_State* L, const std::string& text)
{
    int status = luaL_loadbufferx(L, text.data(), text.size(), "=check.lua", "t");
    if (status == LUA_OK)
        status = lua_pcall(L, 0, 0, 0);
    if (status != LUA_OK) {
        PrintLuaError("script", LuaErrorText(L, -1, status));
        return false;
    }
    lua_settop(L, 0);
    return true;
}

// Hands what the script asked for on to Update: the reboot after the files
// to install first, and their list.
void PublishCheckAnswer(const CheckAnswer& answer)
{
    if (answer.reboot)
        kivo::ElemWrite("/update/PreNeedReboot", kivo::Var(1), 0, false);
    if (answer.has_list) {
        std::vector<std::string>* shared = kivo::GetShared<std::vector<std::string>>(
            "/update/PreUpdateList", new std::vector<std::string>(answer.list));
        if (shared)
            *shared = answer.list;
    }
}

}  // namespace

int32_t Gui::LuaCheck(const std::string& script)
{
    std::string text;
    if (!ReadCheckScript(script, text))
        return 0;
    if (text.empty())
        return 1;

    // Released in reverse: the library (its timers, the files the script
    // left open) before the state.
    kivo::Mutex lock;
    LuaState state;
    LuaLibCommon lib;
    lib.Init(state, lock);
    if (!RunCheckChunk(state.GetState(), text))
        return 0;

    // Any error from here on stops the update: verdict 0.
    CheckAnswer answer;
    const char* step = "script";
    std::string error;
    if (!state.Protect([&](lua_State*) { ReadCheckAnswer(state, answer, step); }, &error)) {
        PrintLuaError(step, error);
        return 0;
    }
    PublishCheckAnswer(answer);
    return answer.verdict;
}

namespace {

// The blocks written whole with a file's start and with a progress.
constexpr size_t kFileTextBlock = 256;
constexpr size_t kProgressTextBlock = 128;
static_assert(kFileTextBlock <= kMailboxTextMax && kProgressTextBlock <= kMailboxTextMax,
              "a text block fits the text area");

// Every state stays in the mailbox at least this long, so that the other
// processor sees it; Update waits for each answer, so this also paces it.
constexpr uint32_t kMailboxHoldMs = 100;
// An error, the start and the end of rewriting are held longer.
constexpr uint32_t kErrorHoldMs = 2000;
constexpr uint32_t kStartHoldMs = 500;
constexpr uint32_t kEndHoldMs = 1000;

// Removes the old folder of a finished archive, whole: a file of it left
// beside the new ones would be taken for part of the archive. False, said,
// when it is there and cannot be removed.
bool EmptyOldFolder(const std::string& dir)
{
    kivo_stat64_t st;
    const kivo_err_t there = kivo_file_lstat64(dir.c_str(), &st);
    if (there == ENOENT || (there == 0 && kivo::filesystem::RemoveDirUnder(dir, dir)))
        return true;
    printf("[error]\t\tcannot empty %s%s%s\n", dir.c_str(), there != 0 ? ": " : "", there != 0 ? strerror(there) : "");
    return false;
}

}  // namespace

void Gui::OnUpdateInfo(kivo::Message& msg)
{
    const _update_output_info* info = nullptr;
    if (msg.value.TypeId() == typeid(_update_output_info))
        info = static_cast<const _update_output_info*>(msg.value._Payload());
    if (!info) {
        msg.Back();
        return;
    }

    bool whole = true;
    switch (info->kind) {
    case kInfoText:
        OnInfoText(info->value);
        break;
    case kInfoWarning:
        OnInfoWarning(info->value);
        break;
    case kInfoError:
        OnInfoError(info->value);
        break;
    case kInfoRewriting:
        OnInfoRewriting(info->value);
        break;
    case kInfoFileStart:
        OnInfoFileStart(info->value);
        break;
    case kInfoFileDone:
        whole = OnInfoFileDone(info->value);
        break;
    case kInfoProgress:
        OnInfoProgress(info->value);
        break;
    default:
        break;
    }
    // The sender records a finished archive as installed only when its
    // folder is whole: the answer says when it is not.
    if (whole)
        msg.Back();
    else
        msg.Back(kivo::Var(0), false);
}

void Gui::OnInfoText(const kivo::Var& value)
{
    printf("[info]%s\n", value.ToString().c_str());
}

void Gui::OnInfoWarning(const kivo::Var& value)
{
    printf("[warn]%s\n", value.ToString().c_str());
}

void Gui::OnInfoError(const kivo::Var& value)
{
    std::string text = value.ToString();
    printf("[error]%s\n", text.c_str());
    MailboxWrite(kMailboxError, text.c_str(), kMailboxTextMax);
    Pause(kMailboxHoldMs);
    Pause(kErrorHoldMs);
}

void Gui::OnInfoRewriting(const kivo::Var& value)
{
    bool start = ValueInt(value) == kRewritingStarts;
    kivo::ElemWrite(start ? "/led/sys/on" : "/led/sys/off", kivo::Var(0), 0, false);
    printf("[start_end]%s\n", start ? "****** start ******" : "****** end ******");
    // Before the first record is touched: a cut after the last one
    // still leaves the mark for the rerun.
    if (start)
        MarkCopy();
    MailboxWrite(start ? kMailboxStart : kMailboxEnd, nullptr, 0);
    Pause(start ? kStartHoldMs : kEndHoldMs);
}

void Gui::OnInfoFileStart(const kivo::Var& value)
{
    std::string name = value.ToString();
    printf("[update]\t\tstart update %s\n", name.c_str());
    _last_progress = 0;
    char block[kFileTextBlock];
    snprintf(block, sizeof block, "[update]\t%s", name.c_str());
    MailboxWrite(kMailboxFile, block, sizeof block);
    Pause(kMailboxHoldMs);
}

bool Gui::OnInfoFileDone(const kivo::Var& value)
{
    std::string path = value.ToString();
    kivo::PathParts parts(path);
    // A stem of "", "." or ".." would name the board directory itself or
    // its parent, which the unpacking would wipe or spill into: not
    // unpacked.
    const std::string& stem = parts.GetName();
    if (parts.GetExt() != ".zip" || stem.empty() || stem == "." || stem == "..")
        return true;
    std::string dir = parts.GetDrive() + parts.GetDir() + stem;
    printf("[info]\t\tdirname: %s\n", dir.c_str());
    if (!EmptyOldFolder(dir))
        return false;
    std::string cause;
    // Durable: the sender's record after this answer vouches for the
    // folder, and a power cut must not leave it behind.
    if (!kivo::zip::UnzipToDir(path, dir, "", &cause, kivo::zip::kUnzipDurable)) {
        printf("[error]\t\tunzip fail: %s\n", cause.c_str());
        return false;
    }
    printf("[info]\t\tfinish unzip %s\n", path.c_str());
    return true;
}

void Gui::OnInfoProgress(const kivo::Var& value)
{
    int32_t p = ValueInt(value);
    bool shown = p == 0 || p == 100 || (p <= 100 && p > _last_progress + 9);
    if (!shown)
        return;
    printf("[progress]\t\t%d%%\n", p);
    _last_progress = p;
    char block[kProgressTextBlock];
    snprintf(block, sizeof block, "     [progress]\t%d%%", p);
    MailboxWrite(kMailboxProgress, block, sizeof block);
    Pause(kMailboxHoldMs);
}

void Gui::MarkCopy()
{
    if (kivo::filesystem::IsFile(kCopyMark))
        return;
    File mark;
    kivo_err_t err = 0;
    // Its directory entry too: a mark lost in a power cut would leave a
    // copy cut short unfinished by the rerun.
    if (!mark.Open(kCopyMark, File::OpenTruncate, &err) || !mark.Flush(&err) ||
        !kivo::filesystem::FlushDir(kivo::filesystem::DeviceDirOfPath(kCopyMark), &err))
        printf("[error]write file fail %s: %s\n", kCopyMark, strerror(err != 0 ? err : EIO));
}

void Gui::OnUpdateEnd(kivo::Message& msg)
{
    if (_checking) {
        RefuseDuringCheck("update_end", msg);
        return;
    }
    _result = ValueInt(msg.value);
    // With nothing rewritten only an install whose copy had not ended
    // (the mark is there: a run cut short after its last record, or during
    // this copy) is copied, and only the files that differ.
    const bool marked = kivo::filesystem::IsFile(kCopyMark);
    if (_result == kStatusDone || _result == kStatusRewritten || (_result == kStatusNothingDone && marked)) {
        _copy_failed = false;
        std::string failure;
        if (!kivo::filesystem::ForEachFile(kWorkDir, false,
                                           kivo::Function2<void, const char*, bool>(&Gui::CopyToAppDisk, this),
                                           &failure)) {
            printf("[error]copy to %s: %s\n", kAppDisk, failure.c_str());
            _copy_unread = true;
        }
        // A file that did not land, or a work directory that could not be
        // read whole, keeps the mark: a rerun finishes the copy. Otherwise
        // it goes, also when looking for it failed; one left behind would
        // make a later run with nothing to rewrite copy over edited files.
        const kivo_err_t gone = _copy_failed || _copy_unread ? 0 : kivo_file_unlink(kCopyMark);
        if (gone != 0 && gone != ENOENT)
            printf("[error]remove file fail %s: %s\n", kCopyMark, strerror(gone));
    }
}

namespace {

// Bytes of each file compared at a time.
constexpr size_t kCompareBlock = 0x10000;

// Both are files with the same bytes.
bool SameBytes(const std::string& a, const std::string& b)
{
    File fa;
    File fb;
    if (!fa.Open(a.c_str(), File::OpenRead) || !fb.Open(b.c_str(), File::OpenRead))
        return false;
    // A size that cannot be read proves nothing: the file counts as changed.
    kivo_err_t err = 0;
    const int64_t size = fa.GetLength(&err);
    if (size < 0 || size != fb.GetLength(&err))
        return false;
    std::vector<uint8_t> ba(kCompareBlock);
    std::vector<uint8_t> bb(kCompareBlock);
    for (int64_t left = size; left > 0;) {
        const size_t want = left < static_cast<int64_t>(ba.size()) ? static_cast<size_t>(left) : ba.size();
        ssize_t na = fa.Read(ba.data(), want, nullptr);
        ssize_t nb = fb.Read(bb.data(), want, nullptr);
        if (na <= 0 || na != nb || memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0)
            return false;
        left -= na;
    }
    return true;
}

}  // namespace

void Gui::CopyToAppDisk(const char* path, bool is_dir)
{
    if (is_dir)
        return;
    // Its own name: on the device neither ':' nor '\' divides a name.
    const std::string target = kAppDisk + kivo::filesystem::DeviceFileName(path);
    if (_result == kStatusNothingDone && SameBytes(path, target))
        return;
    // Through a temporary and a rename: a file there is always whole, old
    // or new, whenever the copy is cut short.
    kivo_err_t err = 0;
    if (!kivo::filesystem::CopyFileReplace(path, target, &err)) {
        printf("[error]copy file fail %s: %s\n", target.c_str(), strerror(err));
        _copy_failed = true;
    }
}

namespace {

// The pin that signals a pending reboot, and its mode: output, starts high.
constexpr int kRebootPin = 7;
constexpr int kRebootPinMode = 34;
// Before the reboot the pin blinks three times, once a second: briefly
// high, then low.
constexpr int kRebootBlinks = 3;
constexpr uint32_t kBlinkHighMs = 95;
constexpr uint32_t kBlinkLowMs = 905;
// Between the "sync" and the blinking.
constexpr uint32_t kSyncSettleMs = 2000;
// Between the end of the update and the stop of "SVC_GUI".
constexpr uint32_t kStopDelayMs = 1000;

// Files were rewritten: written out, the pending reboot signalled on the
// pin, then the device reboots.
void SignalAndReboot()
{
    SandboxSystem("sync");
    Pause(kSyncSettleMs);
    hw_gpio_config(kRebootPin, kRebootPinMode);
    for (int i = 0; i < kRebootBlinks; ++i) {
        hw_gpio_set(kRebootPin, 1);
        Pause(kBlinkHighMs);
        hw_gpio_set(kRebootPin, 0);
        Pause(kBlinkLowMs);
    }
    printf("*** Update file finish, need to reboot ***\n");
    fflush(stdout);
    SandboxSystem("reboot -f");
}

}  // namespace

void Gui::OnUpdateRun(kivo::Message& msg)
{
    _result = ValueInt(msg.value);
    // Files of the package that never reached the application disk: the
    // update is not finished, and a reboot would start a half-copied set.
    if (_copy_unread && (_result == kStatusRewritten || _result == kStatusDone)) {
        printf("[error]update incomplete, no reboot: %s not read whole\n", kWorkDir);
        _result = kStatusNothingDone;
    }

    KeepCodeFile();
    if (_result == kStatusRewritten)
        SignalAndReboot();
    else if (_result == kStatusDone)
        printf("*** Update file finish ***\n");

    fflush(stdout);
    Pause(kStopDelayMs);
    GetService()->Stop();
    msg.Back();
}

void Gui::KeepCodeFile()
{
    const char* keep_flag = nullptr;
    const char* keep_as = nullptr;
    if (ElemIsOne("/update/force") && _code_file.compare(0, strlen(kUpdateDisk), kUpdateDisk) == 0) {
        keep_flag = "/update/force";
        keep_as = kForceFile;
    } else if (ElemIsOne("/update/once")) {
        keep_flag = "/update/once";
        keep_as = kOnceFile;
    }
    if (!keep_flag)
        return;
    // A move that did not happen is said so: the package is not kept (for
    // example a kept package from an earlier run is in the way).
    kivo_err_t err = 0;
    const bool moved = kivo::filesystem::MoveFile(_code_file, keep_as, &err);
    SandboxSystem("sync");
    if (moved)
        printf("[%s] move %s to %s\n", keep_flag, _code_file.c_str(), keep_as);
    else
        printf("[error][%s] move %s to %s fail: %s\n", keep_flag, _code_file.c_str(), keep_as, strerror(err));
}
