#pragma once

// The virtual CD-ROM driver's names, control codes and request buffers. Everything here is
// plain data: it describes bytes on the wire and builds on every platform.

#include "DeviceIo.h"

#include <cstddef>

// A UTF-16 string literal: L"..." where WCHAR is wchar_t, u"..." elsewhere.
#ifdef _WIN32
#define KELMOR_TEXT(s) L##s
#else
#define KELMOR_TEXT(s) u##s
#endif

// Names by which the system knows the driver.
constexpr const WCHAR* kKelmorServiceName = KELMOR_TEXT("kelmor");
constexpr const WCHAR* kKelmorDisplayName = KELMOR_TEXT("Virtual CD-ROM Device Driver");
constexpr const WCHAR* kKelmorDriverFileName = KELMOR_TEXT("kelmor.sys");
constexpr const WCHAR* kControlDeviceName = KELMOR_TEXT("\\\\.\\Quillmere");

// The Windows control-code rule: device type, required access, function and transfer method.
constexpr DWORD KelmorControlCode(DWORD deviceType, DWORD function, DWORD method, DWORD access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

constexpr DWORD kFileDeviceCdRom = 0x0002;
constexpr DWORD kFileDeviceMassStorage = 0x002D;
constexpr DWORD kMethodBuffered = 0;
constexpr DWORD kFileAnyAccess = 0;
constexpr DWORD kFileReadAccess = 1;

constexpr DWORD IOCTL_KELMOR_ADD_DRIVE =
    KelmorControlCode(kFileDeviceCdRom, 0xCC0, kMethodBuffered, kFileAnyAccess);
constexpr DWORD IOCTL_KELMOR_REMOVE_DRIVE =
    KelmorControlCode(kFileDeviceCdRom, 0xCC1, kMethodBuffered, kFileAnyAccess);
constexpr DWORD IOCTL_KELMOR_MOUNT_IMAGE =
    KelmorControlCode(kFileDeviceCdRom, 0xCC2, kMethodBuffered, kFileAnyAccess);
constexpr DWORD IOCTL_KELMOR_QUERY_DRIVES =
    KelmorControlCode(kFileDeviceCdRom, 0xCC3, kMethodBuffered, kFileAnyAccess);
constexpr DWORD IOCTL_KELMOR_QUERY_IMAGE =
    KelmorControlCode(kFileDeviceCdRom, 0xCC4, kMethodBuffered, kFileAnyAccess);

// The two standard requests; <windows.h> may already define them as macros.
#ifndef IOCTL_CDROM_EJECT_MEDIA
constexpr DWORD IOCTL_CDROM_EJECT_MEDIA =
    KelmorControlCode(kFileDeviceCdRom, 0x202, kMethodBuffered, kFileReadAccess);
#endif
#ifndef IOCTL_STORAGE_LOAD_MEDIA
constexpr DWORD IOCTL_STORAGE_LOAD_MEDIA =
    KelmorControlCode(kFileDeviceMassStorage, 0x203, kMethodBuffered, kFileReadAccess);
#endif

static_assert(IOCTL_KELMOR_ADD_DRIVE == 0x23300, "ADD_DRIVE code");
static_assert(IOCTL_KELMOR_REMOVE_DRIVE == 0x23304, "REMOVE_DRIVE code");
static_assert(IOCTL_KELMOR_MOUNT_IMAGE == 0x23308, "MOUNT_IMAGE code");
static_assert(IOCTL_KELMOR_QUERY_DRIVES == 0x2330C, "QUERY_DRIVES code");
static_assert(IOCTL_KELMOR_QUERY_IMAGE == 0x23310, "QUERY_IMAGE code");
static_assert(IOCTL_CDROM_EJECT_MEDIA == 0x24808, "EJECT_MEDIA code");
static_assert(IOCTL_STORAGE_LOAD_MEDIA == 0x2D480C, "LOAD_MEDIA code");

// Mount options carried in MOUNT_REQUEST::Flags.
constexpr DWORD MOUNT_FLAG_SUPPRESS_UDF = 0x1;
constexpr DWORD MOUNT_FLAG_SUPPRESS_JOLIET = 0x2;

constexpr unsigned kMaxDrives = 26;
constexpr unsigned kImagePathUnits = 255;

#pragma pack(push, 1)

// Answer of IOCTL_KELMOR_QUERY_DRIVES.
struct DRIVE_LIST {
    WORD Count;
    WCHAR Letters[kMaxDrives];
};

// Input of IOCTL_KELMOR_MOUNT_IMAGE. ImagePath holds "\??\" and the image's full path,
// terminated when shorter than 255 units; ImagePathLength counts its bytes, no terminator.
struct MOUNT_REQUEST {
    WCHAR ImagePath[kImagePathUnits];
    WORD ImagePathLength;
    DWORD Flags;
};

// Answer of IOCTL_KELMOR_QUERY_IMAGE.
struct IMAGE_INFO {
    WCHAR ImagePath[kImagePathUnits];
    WORD ImagePathLength;
    WORD Mounted;
};

#pragma pack(pop)

static_assert(sizeof(DRIVE_LIST) == 54, "DRIVE_LIST size");
static_assert(offsetof(DRIVE_LIST, Count) == 0, "DRIVE_LIST::Count");
static_assert(offsetof(DRIVE_LIST, Letters) == 2, "DRIVE_LIST::Letters");

static_assert(sizeof(MOUNT_REQUEST) == 516, "MOUNT_REQUEST size");
static_assert(offsetof(MOUNT_REQUEST, ImagePath) == 0, "MOUNT_REQUEST::ImagePath");
static_assert(offsetof(MOUNT_REQUEST, ImagePathLength) == 510, "MOUNT_REQUEST::ImagePathLength");
static_assert(offsetof(MOUNT_REQUEST, Flags) == 512, "MOUNT_REQUEST::Flags");

static_assert(sizeof(IMAGE_INFO) == 514, "IMAGE_INFO size");
static_assert(offsetof(IMAGE_INFO, ImagePath) == 0, "IMAGE_INFO::ImagePath");
static_assert(offsetof(IMAGE_INFO, ImagePathLength) == 510, "IMAGE_INFO::ImagePathLength");
static_assert(offsetof(IMAGE_INFO, Mounted) == 512, "IMAGE_INFO::Mounted");

// Bounded readers for the driver's answers: a driver that reports more than the buffers hold
// must not make a caller read past them.

// How many entries of list.Letters are drive letters: Count, but never more than 26.
inline unsigned DriveListCount(const DRIVE_LIST& list) {
    return list.Count < kMaxDrives ? list.Count : kMaxDrives;
}

// How many code units of info.ImagePath form the path: ImagePathLength / 2, never above 255.
inline unsigned ImagePathUnits(const IMAGE_INFO& info) {
    const unsigned units = info.ImagePathLength / 2u;
    return units < kImagePathUnits ? units : kImagePathUnits;
}
