// Test helper: a scratch directory removed with everything in it, plus small file helpers.
// Owned by one test; not shared between threads.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "velmora/Utilities.h"

namespace velmora_test {

class TempTree {
public:
    explicit TempTree(const std::string& base = "/tmp")
    {
        std::string pattern = base + "/velmora_XXXXXX";
        if (mkdtemp(pattern.data()))
            mRoot = pattern;
    }
    ~TempTree()
    {
        if (!mRoot.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(mRoot, ignored);
        }
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    bool ok() const { return !mRoot.empty(); }
    // Narrow and wide forms of a path below the root ("" for the root itself).
    std::string path(const std::string& rel = "") const { return rel.empty() ? mRoot : mRoot + "/" + rel; }
    std::wstring wpath(const std::string& rel = "") const
    {
        return velmora::Utilities::convertUtf8ToWideString(path(rel));
    }

    // Creates missing parent directories first.
    void write(const std::string& rel, const std::string& content) const
    {
        std::filesystem::create_directories(std::filesystem::path(path(rel)).parent_path());
        std::ofstream out(path(rel), std::ios::binary | std::ios::trunc);
        out << content;
    }
    void mkdir(const std::string& rel) const { std::filesystem::create_directories(path(rel)); }
    void symlink(const std::string& target, const std::string& rel) const
    {
        ASSERT_EQ(::symlink(target.c_str(), path(rel).c_str()), 0);
    }

private:
    std::string mRoot;
};

inline std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace velmora_test
