#pragma once

// A temporary directory that is the root of the default mount for one test
// case, with raw helpers to lay out files there and read them back without
// the code under test.

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kivo/base/kivo_handle.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

class FsSandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        _handles_before = kivo_handle_free_count();
        _root = MakeTempDir("kivo-fs");
        ASSERT_FALSE(_root.empty());
        ASSERT_EQ(kivo_mount("/system", &platform_file_ops, (void*)_root.c_str(), nullptr), 0);
    }

    void TearDown() override
    {
        kivo_umount("/system");
        EXPECT_EQ(kivo_handle_free_count(), _handles_before) << "file handles left open";
        for (const std::string& dir : _temps)
            RemoveTree(dir);
        RemoveTree(_root);
    }

public:
    // A second temporary directory outside the sandbox (removed at the end).
    std::string MakeTempDir(const char* stem)
    {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + stem + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            return std::string();
        if (!_root.empty())
            _temps.push_back(buf.data());
        return buf.data();
    }

    // `rel` is a framework path such as "/a.txt".
    std::string Real(const std::string& rel) const { return _root + rel; }

    void Put(const std::string& rel, const std::string& bytes)
    {
        std::ofstream f(Real(rel), std::ios::binary | std::ios::trunc);
        f << bytes;
        ASSERT_TRUE(f.good()) << rel;
    }

    std::string Get(const std::string& rel) const { return GetReal(Real(rel)); }

    static std::string GetReal(const std::string& real)
    {
        std::ifstream f(real, std::ios::binary);
        std::ostringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    void Mkdir(const std::string& rel) { ASSERT_EQ(mkdir(Real(rel).c_str(), 0777), 0) << rel; }

    // A link at `rel` holding `target` as given (absolute real path or
    // relative text).
    void Link(const std::string& target, const std::string& rel)
    {
        ASSERT_EQ(symlink(target.c_str(), Real(rel).c_str()), 0) << rel;
    }

    bool RawExists(const std::string& rel) const
    {
        struct stat st;
        return lstat(Real(rel).c_str(), &st) == 0;
    }

    static std::string Pattern(size_t n)
    {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i)
            s[i] = (char)('a' + (i * 7 + i / 13) % 26);
        return s;
    }

    static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
    static void RemoveTree(const std::string& dir)
    {
        if (!dir.empty())
            nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    std::string _root;
    std::vector<std::string> _temps;
    int32_t _handles_before = 0;
};
