// The sandbox and the reference checks the updater's fuzz targets share:
// one scratch root per process that stands for the device, and bit-by-bit
// CRCs kept apart from the table-driven ones under test.

#ifndef TESTS_FUZZ_FUZZ_SANDBOX_H
#define TESTS_FUZZ_FUZZ_SANDBOX_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/app/crc_reference.h"

// Every framework path of a target lies below this directory.
inline std::string& Root()
{
    static std::string root;
    return root;
}

inline void RemoveRoot()
{
    if (!Root().empty()) {
        std::string cmd = "rm -rf '" + Root() + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", Root().c_str());
        Root().clear();
    }
}

// What takes the root away: RemoveRoot, or the target's own (MakeRoot).
inline void (*&RootRemover())()
{
    static void (*remove)() = RemoveRoot;
    return remove;
}

// Makes the root as "$TMPDIR/<prefix>XXXXXX" and has `remove` take it away
// at the end of the process. What lies inside and how it is mounted is the
// target's own business.
inline bool MakeRoot(const char* prefix, void (*remove)() = RemoveRoot)
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        return false;
    Root() = buf.data();
    RootRemover() = remove;
    atexit(remove);
    return true;
}

// A broken invariant ends the process, which the fuzzer reports with the
// input; the root goes first, abort skips the exit handlers.
inline void Check(bool ok, const std::string& what)
{
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what.c_str());
        RootRemover()();
        abort();
    }
}

// CRC-16/MODBUS of the packaged files.
using crc_reference::Crc16Modbus;

// The check byte of "info.ini": CRC-8, polynomial 0x07, result xor 0x55.
inline uint8_t Crc8I432(const uint8_t* data, size_t n)
{
    uint8_t reg = 0;
    for (size_t i = 0; i < n; ++i) {
        reg ^= data[i];
        for (int b = 0; b < 8; ++b)
            reg = (reg & 0x80) ? static_cast<uint8_t>((reg << 1) ^ 0x07) : static_cast<uint8_t>(reg << 1);
    }
    return reg ^ 0x55;
}

inline uint8_t Crc8I432(const std::string& s)
{
    return Crc8I432(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

#endif  // TESTS_FUZZ_FUZZ_SANDBOX_H
