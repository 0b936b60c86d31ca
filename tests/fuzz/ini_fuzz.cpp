// Loads arbitrary bytes as an INI file (the dictionary, the parser and the
// file object behind the info.ini files and the version records), stores
// what was loaded and loads that again. Besides crashes, leaks and undefined
// behaviour, a finding is any entry under a section that does not read back
// equal, a store that fails on what was just loaded, or a second store whose
// bytes differ from the first (both for files whose entries all belong to a
// section or come before the first one).
//
// The same bytes also build a dictionary as the file object's setters do
// (any bytes in names and values, long runs, blanks, quotes, ';', '#', NUL
// cutting a text short), which is stored over an existing file: it must load
// back as the same dictionary, or the store must fail and leave the old file
// as it was. A dictionary of plain names and printable values that fit a
// line must always be stored.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/utils/ini_file.h"
#include "kivo/utils/iniparser.h"

namespace {

// The framework's files live in a scratch directory of their own.
const std::string& Root()
{
    static const std::string root = [] {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivo-ini-fuzz-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        static char* dir = mkdtemp(buf.data()) ? strdup(buf.data()) : nullptr;
        if (!dir || kivo_mount("/system", &platform_file_ops, dir, nullptr) != 0)
            abort();
        atexit([] {
            for (const char* f : {"/in.ini", "/out1.ini", "/out2.ini", "/out3.ini", "/built.ini", "/built2.ini"})
                remove((std::string(dir) + f).c_str());
            remove(dir);
        });
        return std::string(buf.data());
    }();
    return root;
}

void Put(const std::string& rel, const uint8_t* data, size_t size)
{
    std::ofstream f(Root() + rel, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!f.good())
        abort();
}

std::string Get(const std::string& rel)
{
    std::ifstream f(Root() + rel, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void Check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "ini round trip: %s\n", what);
        abort();
    }
}

const char* Text(const char* v)
{
    return v ? v : "";
}

// Every entry under a section of a reads back equal from b (with all unset,
// only those that key lines made), and the sections (and with all their key
// counts) agree.
void SameUnderSections(const dictionary* a, const dictionary* b, bool all)
{
    const int nsec = iniparser_getnsec(a);
    Check(nsec == iniparser_getnsec(b), "number of sections");
    for (int i = 0; i < nsec; ++i) {
        const char* sec = iniparser_getsecname(a, i);
        Check(sec != nullptr && iniparser_find_entry(b, sec) == 1, "section lost");
        const int nkeys = iniparser_getsecnkeys(a, sec);
        Check(!all || nkeys == iniparser_getsecnkeys(b, sec), "number of keys");
        const char** keys = iniparser_getseckeys(a, sec);
        Check(keys != nullptr, "keys of a section");
        for (int k = 0; k < nkeys; ++k) {
            if (!all && !iniparser_getstring(a, keys[k], nullptr))
                continue;  // a section "[x:y]" under "[x]"
            Check(iniparser_find_entry(b, keys[k]) == 1, "key lost");
            Check(strcmp(Text(iniparser_getstring(a, keys[k], nullptr)), Text(iniparser_getstring(b, keys[k], nullptr))) == 0,
                  "value changed");
        }
        iniparser_freeseckeys(keys);
    }
}

// Every key before the first section line of a reads back equal from b.
void SameTopKeys(const dictionary* a, const dictionary* b)
{
    for (int32_t i = 0; i < a->size; ++i) {
        if (a->key[i] && a->key[i][0] == ':' && a->val[i])
            Check(strcmp(Text(a->val[i]), Text(iniparser_getstring(b, a->key[i], nullptr))) == 0, "top key changed");
    }
}

// An entry the loader cut at its line limit may need quotes that no longer
// fit a line: its store is refused, with nothing written.
bool NearTheLineLimit(const dictionary* d)
{
    for (int32_t i = 0; i < d->size; ++i) {
        const size_t len = (d->key[i] ? strlen(d->key[i]) : 0) + (d->val[i] ? strlen(d->val[i]) : 0);
        if (len + 8 >= 1024)
            return true;
    }
    return false;
}

bool IsSection(const dictionary* d, int32_t i)
{
    return d->key[i] && (!d->val[i] || !strchr(d->key[i], ':'));
}

// Whether every entry of d is a section (a null value: "[x:y]" too), lies
// under one, or is a key before the first section line. Only such a
// dictionary is sure to be stored ("[#x:y]" makes one that no key line can
// hold, but the store refuses it whole).
bool AllPlaced(const dictionary* d)
{
    for (int32_t i = 0; i < d->size; ++i) {
        if (!d->key[i] || IsSection(d, i) || d->key[i][0] == ':')
            continue;
        bool under = false;
        for (int32_t s = 0; s < d->size && !under; ++s) {
            const size_t len = IsSection(d, s) ? strlen(d->key[s]) : 0;
            under = s != i && len > 0 && strncasecmp(d->key[i], d->key[s], len) == 0 && d->key[i][len] == ':';
        }
        if (!under)
            return false;
    }
    return true;
}

// Names the reader keeps as they are, values without control bytes or
// blanks at their ends, all on lines of at most 1000 characters, sections
// without values: nothing a store may refuse.
bool Plain(const dictionary* d)
{
    for (int32_t i = 0; i < d->size; ++i) {
        const char* k = d->key[i];
        if (!k)
            continue;
        if (strlen(k) > 400 || !*k || strspn(k, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-:") != strlen(k))
            return false;
        const char* c = strchr(k, ':');
        if (c && (c == k || !c[1]))
            return false;
        const char* v = d->val[i];
        if (!c && v)
            return false;  // a section holding a value: a NUL cut "section:key" short
        if (v && k[strlen(k) - 1] == ':')
            return false;  // an empty key ("x::" under "x:"): no line holds it
        if (v && strlen(v) > 500)
            return false;
        // Blanks at the ends of a value do not read back: the store refuses it.
        if (v && *v && (v[0] == ' ' || v[strlen(v) - 1] == ' '))
            return false;
        for (const char* p = v; p && *p; ++p) {
            if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F)
                return false;
        }
    }
    return true;
}

// A dictionary made as kivo::IniFile::SetString makes it: the section
// entry, then "section:key". A section name with ':' that is already a key
// with a value is refused there.
dictionary* Build(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    dictionary* d = dictionary_new(0);
    std::vector<std::string> sections;
    for (int n = 0; n < 64 && in.remaining_bytes() > 0; ++n) {
        const uint8_t op = in.ConsumeIntegral<uint8_t>();
        std::string section = (op & 1) && !sections.empty()
                                  ? sections[(op >> 4) % sections.size()]
                                  : in.ConsumeRandomLengthString(64);
        const std::string key = in.ConsumeRandomLengthString(64);
        std::string value = in.ConsumeRandomLengthString(4096);
        if (op & 2) {
            // A long run around the longest line the reader keeps.
            const size_t run = in.ConsumeIntegralInRange<size_t>(1000, 1030);
            value += std::string(run, in.ConsumeIntegral<char>());
            value += in.ConsumeRandomLengthString(8);
        }
        if (op & 4)
            value = " " + value + "\t";
        if (section.find(':') != std::string::npos && iniparser_getstring(d, section.c_str(), nullptr))
            continue;
        sections.push_back(section);
        if (iniparser_set(d, section.c_str(), nullptr) != 0 ||
            iniparser_set(d, (section + ":" + key).c_str(), value.c_str()) != 0)
            abort();
    }
    return d;
}

// b holds exactly the entries of a: the same names (ignoring case), sections
// without values, the same value for every key.
void SameDictionary(const dictionary* a, const dictionary* b)
{
    Check(a->n == b->n, "number of entries");
    for (int32_t i = 0; i < a->size; ++i) {
        if (!a->key[i])
            continue;
        Check(iniparser_find_entry(b, a->key[i]) == 1, "entry lost");
        const char* v = iniparser_getstring(b, a->key[i], nullptr);
        if (IsSection(a, i))
            Check(v == nullptr, "section with a value");
        else
            Check(strcmp(Text(a->val[i]), Text(v)) == 0, "value changed");
    }
}

void BuiltRoundTrip(const uint8_t* data, size_t size)
{
    dictionary* d = Build(data, size);
    Check(d != nullptr, "dictionary");
    static const std::string old = "[keep]\r\nv=1\r\n";
    Put("/built.ini", reinterpret_cast<const uint8_t*>(old.data()), old.size());
    if (iniparser_store(d, "/built.ini") != 0) {
        Check(Get("/built.ini") == old, "refused store touched the old file");
        // A NUL that cuts "x:y" + ":" + key short at the same byte as the
        // section turns the section into a key no section holds.
        if (Plain(d) && AllPlaced(d)) {
            for (int32_t i = 0; i < d->size; ++i) {
                if (d->key[i])
                    fprintf(stderr, "[%s] = [%s]\n", d->key[i], d->val[i] ? d->val[i] : "(null)");
            }
            Check(false, "store of a plain dictionary failed");
        }
        iniparser_freedict(d);
        return;
    }
    dictionary* back = iniparser_load("/built.ini");
    Check(back != nullptr, "stored dictionary does not load");
    SameDictionary(d, back);
    Check(iniparser_store(back, "/built2.ini") == 0, "second store of a built dictionary failed");
    Check(Get("/built.ini") == Get("/built2.ini"), "second store of a built dictionary wrote other bytes");
    iniparser_freedict(back);
    iniparser_freedict(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The loader prints its syntax errors; keep the fuzzer's output readable.
    static FILE* quiet = freopen("/dev/null", "w", stdout);
    (void)quiet;

    BuiltRoundTrip(data, size);

    Put("/in.ini", data, size);
    dictionary* first = iniparser_load("/in.ini");
    if (!first)
        return 0;
    remove((Root() + "/out1.ini").c_str());
    if (iniparser_store(first, "/out1.ini") != 0) {
        Check(!AllPlaced(first) || NearTheLineLimit(first), "store of a loaded file failed");
        Check(Get("/out1.ini").empty(), "a refused store wrote its file");
        iniparser_freedict(first);
        return 0;
    }
    dictionary* second = iniparser_load("/out1.ini");
    Check(second != nullptr, "stored file does not load");
    const bool placed = AllPlaced(first);
    SameUnderSections(first, second, placed);
    if (placed) {
        SameUnderSections(second, first, true);
        SameTopKeys(first, second);
    }
    Check(iniparser_store(second, "/out2.ini") == 0, "second store failed");
    const std::string out1 = Get("/out1.ini");
    Check(!AllPlaced(first) || out1 == Get("/out2.ini"), "second store wrote other bytes");
    iniparser_freedict(second);
    iniparser_freedict(first);

    // The file object over the same file: what it lists and saves agrees.
    kivo::IniFile ini("/in.ini");
    std::vector<std::string> sections;
    Check(ini.GetSections(sections), "sections of the file object");
    for (const std::string& sec : sections) {
        std::vector<std::string> keys;
        Check(ini.GetKeys(sec, keys), "keys of the file object");
        for (const std::string& key : keys) {
            ini.GetString(sec, key, "");
            ini.GetInt(sec, key, 0);
        }
    }
    Check(ini.Save("/out3.ini"), "file object save failed");
    Check(out1 == Get("/out3.ini"), "file object wrote other bytes");
    return 0;
}
