#pragma once

// A temporary directory that is the root of the default mount for one test
// case, with raw helpers to put files there and read them back byte for
// byte (bypassing the code under test).

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kivo/base/kivo_handle.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

class IniSandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        _handles_before = kivo_handle_free_count();
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivo-ini-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        _root = buf.data();
        ASSERT_EQ(kivo_mount("/system", &platform_file_ops, (void*)_root.c_str(), nullptr), 0);
    }

    void TearDown() override
    {
        kivo_umount("/system");
        EXPECT_EQ(kivo_handle_free_count(), _handles_before) << "file handles left open";
        if (!_root.empty())
            nftw(_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // `rel` is a framework path such as "/a.ini".
    void Put(const std::string& rel, const std::string& bytes)
    {
        std::ofstream f(_root + rel, std::ios::binary | std::ios::trunc);
        f << bytes;
        ASSERT_TRUE(f.good());
    }

    std::string Get(const std::string& rel)
    {
        std::ifstream f(_root + rel, std::ios::binary);
        std::ostringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    bool Exists(const std::string& rel)
    {
        struct stat st;
        return stat((_root + rel).c_str(), &st) == 0;
    }

    static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

    std::string _root;
    int32_t _handles_before = 0;
};
