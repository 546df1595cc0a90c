#include "VolumeInfo.h"

IVolumeInfo& SystemVolumeInfo() {
    static CWin32VolumeInfo volumes;
    return volumes;
}
