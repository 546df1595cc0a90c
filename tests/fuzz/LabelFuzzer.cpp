// libFuzzer target: the volume label probe over any sector size and any bytes, through the
// scripted platform. The input is
//   bytes 0-1  the drive's sector size (little-endian, 0 to 65535)
//   byte  2    faults: bit 0 the geometry request fails, bit 1 the buffer cannot be had,
//              bit 2 positioning fails, bit 3 the read fails
//   the rest   the disc from sector 16 on: it ends where the input ends, so the label sector
//              may be whole, short or missing.
// The probe must give exactly what a plain reading of the rules gives, read nothing past the
// one-sector buffer (AddressSanitizer watches it: the double allocates exactly one sector) and
// give back every resource on every path.
#include "DiscEngine.h"
#include "HeapString.h"
#include "ScriptedDiscPlatform.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr uint32_t kGeometryError = 21; // ERROR_NOT_READY
constexpr uint32_t kPositionError = 87; // ERROR_INVALID_PARAMETER

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The label as the rules give it: bytes 40 to 71 of what the read of sector 16 delivered, up
// to the first space or NUL.
std::string ExpectedLabel(const std::string& sector) {
    std::string label;
    for (size_t i = 40; i < sector.size() && i < 72; ++i) {
        if (sector[i] == ' ' || sector[i] == '\0')
            break;
        label += sector[i];
    }
    return label;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const uint32_t sectorSize = data[0] | (uint32_t{data[1]} << 8);
    const uint8_t faults = data[2];
    const std::string tail(reinterpret_cast<const char*>(data) + 3, size - 3);

    ScriptedDiscPlatform platform;
    platform.geometry = {1, 11, 1, 17, sectorSize};
    platform.disc.assign(size_t{16} * sectorSize, '\0');
    platform.disc += tail;
    if (faults & 1)
        platform.geometryError = kGeometryError;
    if (faults & 2)
        platform.failAllocation = true;
    if (faults & 4)
        platform.positionError = kPositionError;
    if (faults & 8)
        platform.failReadAt = 16;

    CHeapString label("stale");
    const uint32_t result = ReadDiscLabel('D', label, platform);

    uint32_t expectedResult = 0;
    std::string expectedLabel;
    if (faults & 1)
        expectedResult = kGeometryError;
    else if ((faults & 2) || sectorSize == 0) // no buffer: ERROR_NOT_ENOUGH_MEMORY
        expectedResult = 8;
    else if (faults & 4)
        expectedResult = kPositionError;
    else if (!(faults & 8))
        expectedLabel = ExpectedLabel(tail.substr(0, sectorSize));
    Check(result == expectedResult);
    const char* text = label.GetString() ? label.GetString() : "";
    Check(expectedLabel == text);
    Check(label.GetLength() == static_cast<int32_t>(expectedLabel.size()));

    // At most one sector read, and everything given back.
    Check(platform.sectorReads <= 1);
    Check(platform.openHandles == 0);
    Check(platform.liveBuffers == 0);
    Check(platform.lockDepth == 0);
    Check(platform.calls.back() == "CloseDrive");
    return 0;
}
