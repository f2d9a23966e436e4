#pragma once
// A fresh directory for one test, removed with everything in it when the object goes, with
// helpers that build a tree of files, directories and links below it. Owned by one test; not
// shared between threads.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace corvane_test {

class TempDir {
public:
    // Under `base`, which must exist; a failure to make the directory fails the test.
    explicit TempDir(const std::string& base = "/tmp")
    {
        std::string pattern = base + "/corvane-test-XXXXXX";
        if (::mkdtemp(&pattern[0]) != nullptr)
            path_ = pattern;
        else
            ADD_FAILURE() << "cannot make a temporary directory under " << base;
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string path(const std::string& rel) const { return path_ + "/" + rel; }
    std::string operator/(const std::string& rel) const { return path(rel); }

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
        ASSERT_EQ(::symlink(target.c_str(), path(rel).c_str()), 0) << rel;
    }

private:
    std::string path_;
};

}  // namespace corvane_test
