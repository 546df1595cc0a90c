#include "NativePath.h"

#include <cctype>
#include <map>
#include <mutex>

namespace {

std::mutex g_lock;

std::map<char, std::string>& DriveRoots() {
    static std::map<char, std::string> roots;
    return roots;
}

} // namespace

void BindDriveRoot(char letter, const std::string& directory) {
    char key = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    std::lock_guard<std::mutex> guard(g_lock);
    if (directory.empty())
        DriveRoots().erase(key);
    else
        DriveRoots()[key] = directory;
}

bool ToNativePath(const char* windowsPath, std::string& nativePath) {
    nativePath.clear();
    if (!windowsPath || *windowsPath == '\0')
        return false;
    std::string text(windowsPath);
    if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\')
        return false;

    std::string rest = text;
    if (text.size() >= 2 && text[1] == ':') {
        char key = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        std::lock_guard<std::mutex> guard(g_lock);
        auto found = DriveRoots().find(key);
        if (found == DriveRoots().end())
            return false;
        nativePath = found->second;
        rest = text.substr(2);
        if (rest.empty() || rest[0] != '\\')
            rest.insert(rest.begin(), '\\');
    }
    for (char& ch : rest) {
        if (ch == '\\')
            ch = '/';
    }
    nativePath += rest;
    return true;
}
