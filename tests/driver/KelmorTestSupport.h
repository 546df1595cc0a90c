#pragma once

// Small helpers of the driver test programs that reach drives directly, past the client.

#include "DriverClient.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

// A path from the build (host form behind "Z:") as a Windows path.
inline std::wstring WindowsPath(const char* path) {
    std::wstring result(path, path + std::char_traits<char>::length(path));
    std::replace(result.begin(), result.end(), L'/', L'\\');
    return result;
}

class CHandle {
public:
    explicit CHandle(HANDLE handle) : m_handle(handle) {}
    ~CHandle() {
        if (IsHandleValid(m_handle))
            CloseHandle(m_handle);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE get() const { return m_handle; }
    bool valid() const { return IsHandleValid(m_handle); }

private:
    HANDLE m_handle;
};

// Opens "\\.\X:" or the control device, for reading and writing, as the control panel does.
inline HANDLE OpenDevice(const std::wstring& name) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

inline std::wstring DriveDeviceName(wchar_t letter) {
    return std::wstring(L"\\\\.\\") + letter + L":";
}

// Reads at an offset the way a disc reader can under Wine: ReadFile with an OVERLAPPED offset.
inline bool ReadAt(HANDLE drive, LONGLONG offset, void* buffer, DWORD size, DWORD& bytesRead) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    bytesRead = 0;
    return ReadFile(drive, buffer, size, &bytesRead, &position) != FALSE;
}

// Reads the whole of a (small) file, or an empty vector when it does not open.
inline std::vector<unsigned char> ReadFileBytes(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                             nullptr));
    if (!file.valid())
        return bytes;
    unsigned char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes.insert(bytes.end(), chunk, chunk + read);
    return bytes;
}

// A file of `sectors` sectors of 2048 bytes whose every byte of sector i is (i + seed) & 0xFF.
inline bool MakePatternFile(const std::wstring& path, unsigned sectors, unsigned seed) {
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    std::vector<unsigned char> sector(2048);
    for (unsigned i = 0; i < sectors; ++i) {
        std::fill(sector.begin(), sector.end(), static_cast<unsigned char>((i + seed) & 0xFF));
        DWORD written = 0;
        if (!WriteFile(file.get(), sector.data(), 2048, &written, nullptr) || written != 2048)
            return false;
    }
    return true;
}

// True when nothing holds `path` open: it opens for writing with no sharing at all.
inline bool IsReleased(const std::wstring& path) {
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr));
    return file.valid();
}

inline std::wstring ImagePathOf(const IMAGE_INFO& info) {
    return std::wstring(info.ImagePath, info.ImagePath + ImagePathUnits(info));
}

inline std::vector<wchar_t> ListDrives() {
    DRIVE_LIST list{};
    if (!QueryDrives(list))
        return {};
    return std::vector<wchar_t>(list.Letters, list.Letters + DriveListCount(list));
}
