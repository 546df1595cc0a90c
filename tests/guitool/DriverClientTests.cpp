// The driver client against a recording device seam: which device each operation opens, the
// exact bytes it sends, and the last error it leaves behind.

#include "DriverClient.h"
#include "RecordingDeviceIo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Call = CRecordingDeviceIo::Call;
using WString = std::basic_string<WCHAR>;

constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotReady = 21;

WString Widen(const std::string& text) {
    return WString(text.begin(), text.end());
}

std::u16string U16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// A full image path of exactly `length` characters.
WString PathOfLength(size_t length) {
    std::string path = "C:\\images\\";
    while (path.size() < length - 4)
        path += static_cast<char>('a' + path.size() % 26);
    path += ".iso";
    return Widen(path.substr(path.size() - length));
}

uint16_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

uint32_t Dword(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                 bytes[offset + 3] << 24);
}

struct Operation {
    const char* name;
    std::function<BOOL(IDeviceIo&)> run;
    std::string device;
    DWORD code;
    DWORD inputSize;
    DWORD outputSize;
};

std::vector<Operation> AllOperations() {
    static WORD value;
    static DRIVE_LIST list;
    static IMAGE_INFO info;
    static const WString image = Widen("C:\\images\\disc.iso");
    return {
        {"AddDrive", [](IDeviceIo& io) { return AddDrive(io, value); }, "\\\\.\\Quillmere", 0x23300,
         0, 2},
        {"RemoveDrive", [](IDeviceIo& io) { return RemoveDrive(io, 'E'); }, "\\\\.\\E:", 0x23304, 0,
         0},
        {"MountImage", [](IDeviceIo& io) { return MountImage(io, 'F', image.c_str(), 0); },
         "\\\\.\\F:", 0x23308, 516, 0},
        {"EjectDrive", [](IDeviceIo& io) { return EjectDrive(io, 'G'); }, "\\\\.\\G:", 0x24808, 0,
         0},
        {"RemountDrive", [](IDeviceIo& io) { return RemountDrive(io, 'H'); }, "\\\\.\\H:", 0x2D480C,
         0, 0},
        {"QueryDrives", [](IDeviceIo& io) { return QueryDrives(io, list); }, "\\\\.\\Quillmere",
         0x2330C, 0, 54},
        {"QueryImage", [](IDeviceIo& io) { return QueryImage(io, 'Z', info); },
         "\\\\.\\Z:", 0x23310, 0, 514},
    };
}

TEST(DriverClient, EachOperationOpensItsDeviceSendsOneRequestAndCloses) {
    for (const Operation& op : AllOperations()) {
        SCOPED_TRACE(op.name);
        CRecordingDeviceIo io;
        EXPECT_TRUE(op.run(io));

        ASSERT_EQ(io.events.size(), 3u);
        const auto& open = io.events[0];
        const auto& control = io.events[1];
        const auto& close = io.events[2];
        EXPECT_EQ(open.call, Call::Open);
        EXPECT_EQ(open.deviceName, U16(op.device));
        EXPECT_EQ(control.call, Call::Control);
        EXPECT_EQ(control.handle, open.handle);
        EXPECT_EQ(control.code, op.code);
        EXPECT_EQ(control.input.size(), op.inputSize);
        EXPECT_EQ(control.inputIsNull, op.inputSize == 0);
        EXPECT_EQ(control.outputSize, op.outputSize);
        EXPECT_EQ(control.outputIsNull, op.outputSize == 0);
        EXPECT_EQ(close.call, Call::Close);
        EXPECT_EQ(close.handle, open.handle);
    }
}

TEST(DriverClient, DeviceThatDoesNotOpenSendsNothingAndKeepsTheOpenError) {
    for (HANDLE failed : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        for (const Operation& op : AllOperations()) {
            SCOPED_TRACE(op.name);
            CRecordingDeviceIo io;
            io.openFails = true;
            io.failedOpenHandle = failed;
            io.openError = ERROR_FILE_NOT_FOUND;
            io.closeError = kErrorInvalidHandle;

            EXPECT_FALSE(op.run(io));
            EXPECT_EQ(io.Count(Call::Open), 1u);
            EXPECT_EQ(io.Count(Call::Control), 0u);
            EXPECT_EQ(io.Count(Call::Close), 0u);
            EXPECT_EQ(io.lastError, ERROR_FILE_NOT_FOUND);
        }
    }
}

TEST(DriverClient, FailedRequestLeavesTheRequestErrorNotTheClose) {
    for (const Operation& op : AllOperations()) {
        SCOPED_TRACE(op.name);
        CRecordingDeviceIo io;
        io.controlResult = FALSE;
        io.controlError = kErrorNotReady;
        io.closeError = kErrorInvalidHandle;

        EXPECT_FALSE(op.run(io));
        EXPECT_EQ(io.Count(Call::Close), 1u);
        EXPECT_EQ(io.lastError, kErrorNotReady);
    }
}

TEST(DriverClient, SuccessfulRequestIsNotSpoiledByTheClose) {
    CRecordingDeviceIo io;
    io.lastError = 0;
    io.closeError = kErrorInvalidHandle;
    EXPECT_TRUE(EjectDrive(io, 'E'));
    EXPECT_EQ(io.lastError, 0u);
}

TEST(DriverClient, MountRequestCarriesThePrefixedPathLengthAndFlags) {
    const WString path = PathOfLength(200);
    for (DWORD flags : {DWORD{0}, DWORD{MOUNT_FLAG_SUPPRESS_UDF}, DWORD{3}}) {
        SCOPED_TRACE(flags);
        CRecordingDeviceIo io;
        ASSERT_TRUE(MountImage(io, 'E', path.c_str(), flags));
        ASSERT_EQ(io.Count(Call::Control), 1u);
        const std::vector<uint8_t>& bytes = io.events[1].input;
        ASSERT_EQ(bytes.size(), 516u);

        // 204 units: "\??\" and the 200 characters, then the terminator.
        const WString expected = Widen("\\??\\") + path;
        ASSERT_EQ(expected.size(), 204u);
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(Word(bytes, 2 * i), expected[i]) << "unit " << i;
        EXPECT_EQ(Word(bytes, 408), 0u);
        EXPECT_EQ(Word(bytes, 510), 408u);
        EXPECT_EQ(Dword(bytes, 512), flags);
    }
}

TEST(DriverClient, MountRequestAtTheLengthBoundary) {
    // 251 characters fill all 255 units, without a terminator.
    {
        const WString path = PathOfLength(251);
        CRecordingDeviceIo io;
        ASSERT_TRUE(MountImage(io, 'E', path.c_str(), 2));
        const std::vector<uint8_t>& bytes = io.events.at(1).input;
        ASSERT_EQ(bytes.size(), 516u);
        EXPECT_EQ(Word(bytes, 0), '\\');
        EXPECT_EQ(Word(bytes, 8), path[0]);
        EXPECT_EQ(Word(bytes, 508), path[250]);
        EXPECT_EQ(Word(bytes, 510), 510u);
        EXPECT_EQ(Dword(bytes, 512), 2u);
    }
    // 252 characters do not fit: refused before any device is opened.
    for (size_t length : {252u, 253u, 600u}) {
        SCOPED_TRACE(length);
        const WString path = PathOfLength(length);
        CRecordingDeviceIo io;
        EXPECT_FALSE(MountImage(io, 'E', path.c_str(), 0));
        EXPECT_TRUE(io.events.empty());
        EXPECT_EQ(io.lastError, ERROR_FILENAME_EXCED_RANGE);
    }
}

TEST(DriverClient, MountWithoutAPathIsRefusedBeforeOpening) {
    CRecordingDeviceIo io;
    EXPECT_FALSE(MountImage(io, 'E', nullptr, 0));
    EXPECT_TRUE(io.events.empty());
    EXPECT_EQ(io.lastError, ERROR_INVALID_PARAMETER);
}

TEST(DriverClient, UnitsAfterTheTerminatorAreZero) {
    MOUNT_REQUEST request;
    std::memset(&request, 0xAB, sizeof(request));
    DWORD error = 0;
    const WString path = Widen("D:\\a.iso");
    ASSERT_TRUE(BuildMountRequest(path.c_str(), 1, request, error));
    EXPECT_EQ(request.ImagePathLength, 24u);
    for (unsigned i = 12; i < kImagePathUnits; ++i)
        ASSERT_EQ(request.ImagePath[i], 0) << "unit " << i;
}

TEST(DriverClient, AddDriveCopiesTheAnswerWhateverTheResult) {
    for (BOOL result : {TRUE, FALSE}) {
        CRecordingDeviceIo io;
        io.controlResult = result;
        io.controlOutput = {'E', 0};
        WORD value = 0xFFFF;
        EXPECT_EQ(AddDrive(io, value), result);
        EXPECT_EQ(value, 'E');
    }
}

TEST(DriverClient, QueryAnswersArriveInTheCallersBuffers) {
    CRecordingDeviceIo io;
    io.controlOutput.assign(54, 0);
    io.controlOutput[0] = 2;
    io.controlOutput[2] = 'E';
    io.controlOutput[4] = 'F';
    DRIVE_LIST list{};
    ASSERT_TRUE(QueryDrives(io, list));
    ASSERT_EQ(DriveListCount(list), 2u);
    EXPECT_EQ(list.Letters[0], 'E');
    EXPECT_EQ(list.Letters[1], 'F');

    io.controlOutput.assign(514, 0);
    io.controlOutput[0] = 'X';
    io.controlOutput[510] = 2;
    io.controlOutput[512] = 1;
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(io, 'E', info));
    EXPECT_EQ(ImagePathUnits(info), 1u);
    EXPECT_EQ(info.ImagePath[0], 'X');
    EXPECT_EQ(info.Mounted, 1u);
}

TEST(DriverClient, BoundedReadersNeverPassTheBuffers) {
    struct Case {
        WORD count;
        unsigned letters;
    };
    for (const Case& c : {Case{0, 0}, Case{1, 1}, Case{26, 26}, Case{27, 26}, Case{0xFFFF, 26}}) {
        DRIVE_LIST list{};
        list.Count = c.count;
        EXPECT_EQ(DriveListCount(list), c.letters) << c.count;
    }
    struct PathCase {
        WORD length;
        unsigned units;
    };
    for (const PathCase& c : {PathCase{0, 0}, PathCase{7, 3}, PathCase{510, 255},
                              PathCase{511, 255}, PathCase{512, 255}, PathCase{0xFFFF, 255}}) {
        IMAGE_INFO info{};
        info.ImagePathLength = c.length;
        EXPECT_EQ(ImagePathUnits(info), c.units) << c.length;
    }
}

} // namespace
