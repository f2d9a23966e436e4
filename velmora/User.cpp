#include "velmora/User.h"

#include "velmora/CommandOutput.h"
#include "velmora/PwdHelper.h"
#include "velmora/Utilities.h"

#include <unistd.h>

#include <vector>

namespace velmora {

std::wstring User::desktopPath()
{
    std::string home;
    if (!readCommandOutput("echo $HOME", home))
        return std::wstring();
    std::string path;
    for (char c : home)
        if (c != '\n')
            path.push_back(c);
    path += "/Desktop/";
    std::wstring wide;
    for (char c : path)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

std::wstring User::applicationDataPath()
{
    passwd record;
    std::vector<char> buffer;
    const unsigned int uid = geteuid();
    if (!PwdHelper::getPwdFromUid(uid, &record, buffer) || record.pw_dir == nullptr)
        return std::wstring();
    std::wstring home = Utilities::convertNarrowToWideString(record.pw_dir);
    return Utilities::unifyPath(home, true);
}

} // namespace velmora
