// Runs arbitrary text as the package's check script through the check stage
// (Gui::LuaCheck), in a small generated package directory under a sandbox
// root. Besides crashes, aborts, leaks and sanitizer findings, each of these
// is a finding:
// - a verdict other than 0 for a script that does not load, or after an
//   error line (">> Lua ... error: ...");
// - more than one error line;
// - a kept list ("/update/PreUpdateList") that is not the script's text
//   entries as the stage printed them, or one kept after an error;
// - a file descriptor or framework handle the stage did not give back.
//
// Only this target bounds the script: every interpreter state made here
// gets an instruction-count hook and an allocator with a budget (the
// program itself has neither), and loses the functions that reach outside
// the sandbox (os.execute, io.open, debug.sethook ...). The library's
// "open" works below the sandbox root, ".." refused.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/gui.h"
#include "kivo/base/kivo_handle.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/service/elem.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "fuzz_sandbox.h"
#include "tests/common/script/lua_cpp/open_descriptors.h"

// The link wraps these two (see CMakeLists.txt).
extern "C" void __real_luaL_openlibs(lua_State* L);
extern "C" lua_State* __wrap_luaL_newstate();
extern "C" void __wrap_luaL_openlibs(lua_State* L);

namespace {

const int kHookEvery = 1000;
const int kHookTicks = 3000;  // 3 million instructions
const size_t kMemoryBudget = 48u << 20;

size_t s_used = 0;
int s_ticks = 0;

void* BudgetAlloc(void*, void* ptr, size_t osize, size_t nsize)
{
    const size_t old = ptr != nullptr ? osize : 0;
    if (nsize == 0) {
        free(ptr);
        s_used -= old;
        return nullptr;
    }
    if (nsize > old && s_used + (nsize - old) > kMemoryBudget)
        return nullptr;
    void* p = realloc(ptr, nsize);
    if (p != nullptr)
        s_used = s_used - old + nsize;
    return p;
}

// Past the limit every instruction fails, so that no pcall loop outlives it.
void CountHook(lua_State* L, lua_Debug*)
{
    if (++s_ticks < kHookTicks)
        return;
    lua_sethook(L, &CountHook, LUA_MASKCOUNT, 1);
    luaL_error(L, "instruction limit");
}

int Panic(lua_State* L)
{
    fprintf(stderr, "invariant broken: panic: %s\n", lua_tostring(L, -1));
    abort();
}

}  // namespace

lua_State* __wrap_luaL_newstate()
{
    s_ticks = 0;
    lua_State* L = lua_newstate(&BudgetAlloc, nullptr);
    if (L != nullptr) {
        lua_atpanic(L, &Panic);
        lua_sethook(L, &CountHook, LUA_MASKCOUNT, kHookEvery);
    }
    return L;
}

void __wrap_luaL_openlibs(lua_State* L)
{
    __real_luaL_openlibs(L);
    static const char* const kOut[][2] = {
        {"os", "execute"}, {"os", "remove"}, {"os", "rename"}, {"os", "exit"},    {"os", "tmpname"},
        {"os", "getenv"},  {"io", "open"},   {"io", "popen"},  {"io", "lines"},   {"io", "input"},
        {"io", "output"},  {"io", "read"},   {"io", "close"},  {"debug", "sethook"}, {"debug", "debug"},
        {"package", "loadlib"},
    };
    for (const auto& f : kOut) {
        if (lua_getglobal(L, f[0]) == LUA_TTABLE) {
            lua_pushnil(L);
            lua_setfield(L, -2, f[1]);
        }
        lua_pop(L, 1);
    }
    for (const char* g : {"dofile", "loadfile", "require"}) {
        lua_pushnil(L);
        lua_setglobal(L, g);
    }
}

namespace {

kivo_err_t SandboxOpen(void* ctx, intptr_t* out, const char* path, int flags)
{
    const std::string p = std::string("/") + path + "/";
    if (p.find("/../") != std::string::npos)
        return EACCES;
    return platform_file_ops.open(ctx, out, path, flags);
}

bool SetUpRoot()
{
    if (!MakeRoot("check_fuzz."))
        return false;
    for (const char* d : {"/tmp", "/tmp/update", "/tmp/update/sys", "/opt", "/opt/sys_disk", "/dev"})
        mkdir((Root() + d).c_str(), 0755);
    static kivo_fs_ops_t ops = platform_file_ops;
    ops.open = &SandboxOpen;
    return kivo_mount("/system", &ops, (void*)Root().c_str(), nullptr) == 0;
}

void PutReal(const std::string& path, const std::string& bytes)
{
    std::ofstream f(Root() + path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadReal(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Loads(const std::string& text)
{
    lua_State* L = luaL_newstate();
    if (L == nullptr)
        return false;
    const bool ok = luaL_loadbufferx(L, text.data(), text.size(), "=check.lua", "t") == LUA_OK;
    lua_close(L);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = SetUpRoot();
    if (!ready)
        return 0;
    const std::string script(reinterpret_cast<const char*>(data), size);
    // The package directory: the script and a file it may read.
    PutReal("/tmp/update/check.lua", script);
    PutReal("/tmp/update/sys/uImage", "kernel image");
    std::vector<std::string>* kept =
        kivo::GetShared<std::vector<std::string>>("/update/PreUpdateList", new std::vector<std::string>());
    if (kept != nullptr)
        kept->clear();

    const int fds = OpenDescriptors();
    const int32_t handles = kivo_handle_free_count();
    const std::string out_path = Root() + "/stdout.txt";
    fflush(stdout);
    const int saved = dup(1);
    FILE* out = fopen(out_path.c_str(), "w");
    Check(saved >= 0 && out != nullptr, "stdout redirected");
    dup2(fileno(out), 1);
    const int32_t verdict = Gui::LuaCheck("/tmp/update/check.lua");
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    fclose(out);
    Check(OpenDescriptors() == fds, "every file descriptor given back");
    Check(kivo_handle_free_count() == handles, "every framework handle given back");

    const std::string printed = ReadReal(out_path);
    std::vector<std::string> lines;
    std::istringstream in(printed);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    int errors = 0;
    std::vector<std::string> listed;
    // An entry with a line end or a zero byte cannot be matched with the
    // printed lines.
    bool forged = false;
    for (const std::string& line : lines) {
        if (line.compare(0, 7, ">> Lua ") == 0 && line.find(" error: ") != std::string::npos)
            ++errors;
        const std::string head = "[get_table_string] ";
        if (line.compare(0, head.size(), head) == 0) {
            const size_t colon = line.find(" : ");
            const std::string what = colon == std::string::npos ? "" : line.substr(colon + 3);
            if (what != "other type")
                listed.push_back(what);
        }
    }
    if (kept != nullptr) {
        for (const std::string& s : *kept)
            forged = forged || s.find('\n') != std::string::npos || s.find('\0') != std::string::npos ||
                     s == "other type";
    }
    Check(errors <= 1, "at most one error line");
    if (errors != 0)
        Check(verdict == 0, "verdict 0 after an error");
    if (!Loads(script))
        Check(verdict == 0 && errors == 1, "verdict 0 and one error line for a script that does not load");
    if (kept != nullptr) {
        if (errors != 0)
            Check(kept->empty(), "no list kept after an error");
        else if (!forged)
            // The stage prints its list last; the script may have printed
            // such lines before.
            Check(listed.size() >= kept->size() &&
                      std::equal(kept->begin(), kept->end(), listed.end() - static_cast<long>(kept->size())),
                  "the kept list is the script's text entries");
    }
    return 0;
}
