#include "core/ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/WriteAll.h"

int WriteFileBeside(const std::string& path, const std::string& text, mode_t mode, std::string& newPath)
{
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = ".XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fchmod(fd, mode) != 0 || !WriteAll(fd, text.data(), text.size())) {
        const int error = errno;
        close(fd);
        unlink(name.data());
        errno = error;
        return -1;
    }
    newPath = name.data();
    return fd;
}

int ReplaceFile(const std::string& path, const std::string& text, mode_t mode)
{
    std::string newPath;
    const int fd = WriteFileBeside(path, text, mode, newPath);
    if (fd < 0)
        return errno;
    int error = close(fd) == 0 ? 0 : errno;
    if (error == 0 && rename(newPath.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        unlink(newPath.c_str());
    return error;
}
