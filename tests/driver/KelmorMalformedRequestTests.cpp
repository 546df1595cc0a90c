// The stand-in driver under malformed requests: every request code it knows and some it does
// not, on the control device and on a drive, with input and output sizes of 0, 1, one short of
// the right size, exact, one long and very large, and with null buffers. Each request must get
// the outcome the protocol gives it, write nothing outside the caller's output (guard bytes
// around every buffer stay intact, and a refused request writes nothing at all), and leave the
// driver's host running and its drives as they were.

#include "KelmorService.h"
#include "KelmorTestEnvironment.h"
#include "KelmorTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>

namespace {

constexpr DWORD kLarge = 1u << 20;
constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA7;
constexpr unsigned char kOutputFill = 0xCD;

enum class Device { Control, Drive };

// What the protocol says of one request code (see driver/request.h for the driver's side).
struct Rule {
    const char* name;
    DWORD code;
    bool onControl;  // taken by the control device; the others by a drive
    DWORD input;     // the right input size
    bool exactInput; // the driver's own requests take exactly it; standard ones at least it
    DWORD answer;    // bytes of answer (0: none)
    bool own;        // the driver's own request: no output room without an answer
    bool checkVerify;
};

const Rule kRules[] = {
    {"ADD_DRIVE", 0x23300, true, 0, true, 2, true, false},
    {"QUERY_DRIVES", 0x2330C, true, 0, true, 54, true, false},
    {"REMOVE_DRIVE", 0x23304, false, 0, true, 0, true, false},
    {"MOUNT_IMAGE", 0x23308, false, 516, true, 0, true, false},
    {"QUERY_IMAGE", 0x23310, false, 0, true, 514, true, false},
    {"CDROM_EJECT_MEDIA", 0x24808, false, 0, false, 0, false, false},
    {"STORAGE_EJECT_MEDIA", 0x2D4808, false, 0, false, 0, false, false},
    {"CDROM_LOAD_MEDIA", 0x2480C, false, 0, false, 0, false, false},
    {"STORAGE_LOAD_MEDIA", 0x2D480C, false, 0, false, 0, false, false},
    {"STORAGE_LOAD_MEDIA2", 0x2D080C, false, 0, false, 0, false, false},
    {"CDROM_GET_DRIVE_GEOMETRY", 0x2404C, false, 0, false, 24, false, false},
    {"DISK_GET_DRIVE_GEOMETRY", 0x70000, false, 0, false, 24, false, false},
    {"CDROM_MEDIA_REMOVAL", 0x24804, false, 1, false, 0, false, false},
    {"STORAGE_MEDIA_REMOVAL", 0x2D4804, false, 1, false, 0, false, false},
    {"CDROM_CHECK_VERIFY", 0x24800, false, 0, false, 4, false, true},
    {"STORAGE_CHECK_VERIFY", 0x2D4800, false, 0, false, 4, false, true},
    {"STORAGE_CHECK_VERIFY2", 0x2D0800, false, 0, false, 4, false, true},
    {"DISK_CHECK_VERIFY", 0x74800, false, 0, false, 4, false, true},
    // Codes the driver does not know: a sixth function of its own, its own requests with
    // another transfer method (direct and "neither" I/O hand the driver other buffers), and
    // codes of no request at all.
    {"unknown function 0xCC5", 0x23314, false, 0, false, 0, false, false},
    {"QUERY_IMAGE, direct I/O", 0x23311, false, 0, false, 0, false, false},
    {"QUERY_DRIVES, neither I/O", 0x2330F, true, 0, false, 0, false, false},
    {"MOUNT_IMAGE, neither I/O", 0x2330B, false, 0, false, 0, false, false},
    {"device type 0x22", 0x220000, false, 0, false, 0, false, false},
};

bool IsUnknown(const Rule& rule) {
    return std::strncmp(rule.name, "unknown", 7) == 0 || std::strchr(rule.name, ',') != nullptr ||
           std::strncmp(rule.name, "device type", 11) == 0;
}

// The error the request should end with (0: success), given the sweep's drive: mounted, with a
// medium lock held through another handle, and zero-filled inputs (so a mount request's fields
// are never valid and a media-removal request releases).
DWORD ExpectedError(const Rule& rule, Device device, DWORD input, DWORD output, bool nullInput,
                    bool nullOutput) {
    // A null buffer with a size never reaches the driver: the system refuses the call.
    if (nullInput && input != 0)
        return ERROR_NOACCESS;
    if (nullOutput && output != 0)
        return ERROR_NOACCESS;
    if (IsUnknown(rule) || rule.onControl != (device == Device::Control))
        return ERROR_INVALID_FUNCTION;
    if (rule.exactInput ? input != rule.input : input < rule.input)
        return ERROR_INVALID_PARAMETER;
    if (rule.own && rule.answer == 0 && output != 0)
        return ERROR_INVALID_PARAMETER;
    if (rule.checkVerify ? (output != 0 && output < rule.answer) : output < rule.answer)
        return ERROR_INSUFFICIENT_BUFFER;
    if (rule.code == 0x23308)
        return ERROR_INVALID_PARAMETER; // a zero-filled mount request names no path
    if (rule.code == 0x23304 || rule.code == 0x24808 || rule.code == 0x2D4808)
        return ERROR_BUSY; // the medium is locked
    return 0;
}

// A buffer with guard bytes on both sides.
class CGuardedBuffer {
public:
    CGuardedBuffer(DWORD size, unsigned char fill)
        : m_bytes(size + 2 * kGuard, kGuardByte), m_size(size) {
        std::memset(m_bytes.data() + kGuard, fill, size);
    }
    unsigned char* data() { return m_bytes.data() + kGuard; }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (m_bytes[i] != kGuardByte || m_bytes[kGuard + m_size + i] != kGuardByte)
                return false;
        }
        return true;
    }
    bool Untouched(unsigned char fill) const {
        for (DWORD i = 0; i < m_size; ++i) {
            if (m_bytes[kGuard + i] != fill)
                return false;
        }
        return true;
    }

private:
    std::vector<unsigned char> m_bytes;
    DWORD m_size;
};

std::vector<DWORD> SizesAround(DWORD right) {
    std::set<DWORD> sizes = {0, 1, right, right + 1, kLarge};
    if (right > 0)
        sizes.insert(right - 1);
    return std::vector<DWORD>(sizes.begin(), sizes.end());
}

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new CKelmorTestEnvironment(300));

class KelmorMalformedRequests : public CKelmorRunningTest {};

struct Outcome {
    BOOL ok;
    DWORD error;
    DWORD returned;
};

TEST_F(KelmorMalformedRequests, EachIsRefusedOrAnsweredWithinItsBuffersAndChangesNothing) {
    WORD mountedLetter = 0, emptyLetter = 0;
    ASSERT_TRUE(AddDrive(mountedLetter)) << GetLastError();
    ASSERT_TRUE(AddDrive(emptyLetter)) << GetLastError();
    const wchar_t mounted = static_cast<wchar_t>(mountedLetter);
    const std::wstring iso = WindowsPath(KELMOR_TEST_ISO);
    ASSERT_TRUE(MountImage(mounted, iso.c_str(), 0)) << GetLastError();
    const std::vector<wchar_t> drivesBefore = ListDrives();
    const DWORD host = m_service.HostProcessId();
    ASSERT_NE(host, 0u) << "the driver's host process was not found";

    // A lock through a handle of its own keeps the drive from being removed or ejected, so
    // that every well-formed request leaves the drive in place.
    CHandle holder(OpenDevice(DriveDeviceName(mounted)));
    ASSERT_TRUE(holder.valid()) << GetLastError();
    BYTE prevent = 1;
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(holder.get(), 0x24804, &prevent, 1, nullptr, 0, &bytes, nullptr))
        << GetLastError();

    CHandle control(OpenDevice(kControlDeviceName));
    CHandle drive(OpenDevice(DriveDeviceName(mounted)));
    ASSERT_TRUE(control.valid() && drive.valid()) << GetLastError();

    unsigned tried = 0;
    std::set<wchar_t> added;
    auto send = [&](Device device, const Rule& rule, DWORD input, DWORD output, bool nullInput,
                    bool nullOutput) {
        CGuardedBuffer in(input, 0), out(output, kOutputFill);
        Outcome result{};
        SetLastError(0);
        result.ok =
            DeviceIoControl(device == Device::Control ? control.get() : drive.get(), rule.code,
                            nullInput ? nullptr : in.data(), input,
                            nullOutput ? nullptr : out.data(), output, &result.returned, nullptr);
        result.error = result.ok ? 0 : GetLastError();
        ++tried;

        const DWORD expected = ExpectedError(rule, device, input, output, nullInput, nullOutput);
        SCOPED_TRACE(std::string(rule.name) +
                     (device == Device::Control ? " on control" : " on drive") + ", input " +
                     std::to_string(input) + (nullInput ? " (null)" : "") + ", output " +
                     std::to_string(output) + (nullOutput ? " (null)" : ""));
        // Windows answers a null output with a size as it does a null input; Wine says
        // ERROR_INVALID_USER_BUFFER.
        if (nullOutput && expected == ERROR_NOACCESS && result.error == ERROR_INVALID_USER_BUFFER)
            result.error = ERROR_NOACCESS;
        EXPECT_EQ(result.error, expected);
        EXPECT_TRUE(in.GuardsIntact()) << "the input's guard bytes changed";
        EXPECT_TRUE(out.GuardsIntact()) << "the output's guard bytes changed";
        if (result.ok) {
            EXPECT_LE(result.returned, output);
            if (rule.code == 0x23300 && result.returned == 2) {
                WORD letter = 0;
                std::memcpy(&letter, out.data(), 2);
                added.insert(static_cast<wchar_t>(letter));
            }
        } else {
            EXPECT_EQ(result.returned, 0u);
            if (!nullOutput) {
                EXPECT_TRUE(out.Untouched(kOutputFill)) << "a refused request wrote its output";
            }
        }
    };

    for (const Rule& rule : kRules) {
        for (Device device : {Device::Control, Device::Drive}) {
            for (DWORD input : SizesAround(rule.input)) {
                for (DWORD output : SizesAround(rule.answer))
                    send(device, rule, input, output, false, false);
            }
            // Null buffers with a size: refused before the driver sees them, and nothing is
            // read or written through them.
            const DWORD input = rule.input ? rule.input : 16;
            const DWORD output = rule.answer ? rule.answer : 16;
            send(device, rule, input, 0, true, false);
            send(device, rule, 0, output, false, true);
        }
    }
    std::printf("[ sweep    ] %u malformed and well-formed requests tried\n", tried);

    // Well-formed ADD_DRIVE requests created drives: take them away again.
    for (wchar_t letter : added)
        EXPECT_TRUE(RemoveDrive(letter)) << GetLastError();

    // The host is the same process, still running, and the driver's state is what it was.
    EXPECT_EQ(m_service.HostProcessId(), host) << "the driver's host process changed";
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, host);
    ASSERT_NE(process, nullptr) << "the driver's host process is gone";
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the driver's host process has exited";
    CloseHandle(process);
    EXPECT_EQ(ListDrives(), drivesBefore);
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(mounted, info)) << GetLastError();
    EXPECT_NE(info.Mounted, 0u);
    EXPECT_EQ(ImagePathOf(info), iso);
    unsigned char sector[2048];
    ASSERT_TRUE(ReadAt(drive.get(), 16 * 2048, sector, sizeof(sector), bytes)) << GetLastError();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sector) + 40, 10), "KELMORTEST");
    IMAGE_INFO empty{};
    ASSERT_TRUE(QueryImage(static_cast<wchar_t>(emptyLetter), empty)) << GetLastError();
    EXPECT_EQ(empty.Mounted, 0u);
    EXPECT_EQ(empty.ImagePathLength, 0u);

    // No request of the sweep left a lock behind: one release of the holder frees the drive.
    prevent = 0;
    ASSERT_TRUE(DeviceIoControl(holder.get(), 0x24804, &prevent, 1, nullptr, 0, &bytes, nullptr));
    EXPECT_TRUE(EjectDrive(mounted)) << GetLastError();
}

} // namespace
