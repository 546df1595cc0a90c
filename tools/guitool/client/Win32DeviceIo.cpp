#include "Win32DeviceIo.h"

#include "DriverClient.h"

HANDLE CWin32DeviceIo::Open(const WCHAR* name) {
    return ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL CWin32DeviceIo::Control(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                             DWORD outputSize, DWORD* bytesReturned) {
    return ::DeviceIoControl(device, code, input, inputSize, output, outputSize, bytesReturned,
                             nullptr);
}

void CWin32DeviceIo::Close(HANDLE device) {
    ::CloseHandle(device);
}

DWORD CWin32DeviceIo::GetLastError() {
    return ::GetLastError();
}

void CWin32DeviceIo::SetLastError(DWORD error) {
    ::SetLastError(error);
}

IDeviceIo& SystemDeviceIo() {
    static CWin32DeviceIo io;
    return io;
}

BOOL AddDrive(WORD& value) {
    return AddDrive(SystemDeviceIo(), value);
}

BOOL RemoveDrive(WCHAR letter) {
    return RemoveDrive(SystemDeviceIo(), letter);
}

BOOL MountImage(WCHAR letter, const WCHAR* imagePath, DWORD flags) {
    return MountImage(SystemDeviceIo(), letter, imagePath, flags);
}

BOOL EjectDrive(WCHAR letter) {
    return EjectDrive(SystemDeviceIo(), letter);
}

BOOL RemountDrive(WCHAR letter) {
    return RemountDrive(SystemDeviceIo(), letter);
}

BOOL QueryDrives(DRIVE_LIST& list) {
    return QueryDrives(SystemDeviceIo(), list);
}

BOOL QueryImage(WCHAR letter, IMAGE_INFO& info) {
    return QueryImage(SystemDeviceIo(), letter, info);
}
