// Times one refresh of the main dialog's drive list: one drive-list request and one image
// request per drive. Run by hand under Wine (it installs the stand-in driver's service in the
// prefix and removes it again); not part of the test suite.
//   tolvane_refresh_benchmark.exe Z:\path\to\kelmor.sys Z:\path\to\image.iso
// It adds as many drives as the driver gives (up to 26; under Wine the prefix's own drive
// letters leave fewer), mounts the image on each, and reports the time per refresh and per
// request; then the same dialog over a scripted driver with 26 drives, for the dialog's share.

#include "DialogTestSupport.h"
#include "DriverClient.h"
#include "KelmorService.h"
#include "RecordingRegistry.h"
#include "RecordingServiceManager.h"
#include "ScriptedDriver.h"
#include "TolvaneDlg.h"

#include <cstdio>
#include <string>

namespace {

constexpr int kRuns = 50;

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// Milliseconds per refresh of `dlg`, the best and the mean of kRuns.
void TimeRefreshes(CTolvaneDlg& dlg, const char* what, unsigned drives) {
    double best = 1e9, total = 0;
    for (int run = 0; run < kRuns; ++run) {
        LARGE_INTEGER start, end;
        ::QueryPerformanceCounter(&start);
        dlg.RefreshDriveList();
        ::QueryPerformanceCounter(&end);
        const double ms = Seconds(start, end) * 1000;
        best = ms < best ? ms : best;
        total += ms;
    }
    const double mean = total / kRuns;
    std::printf("%s: %u drives, %u requests per refresh: mean %.2f ms, best %.2f ms per "
                "refresh (%.3f ms per request)\n",
                what, drives, drives + 1, mean, best, mean / (drives + 1));
}

std::wstring Wide(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tolvane_refresh_benchmark KELMOR_SYS IMAGE\n");
        return 2;
    }
    const std::wstring driverFile = Wide(argv[1]);
    const std::wstring image = Wide(argv[2]);
    CScriptedVolumes volumes;
    CRecordingServiceManager services;
    CRecordingRegistry registry;

    CKelmorService::RemoveLeftover();
    {
        CKelmorService service;
        std::wstring error;
        if (!service.Install(driverFile, error) || !service.Start(error)) {
            std::fprintf(stderr, "the driver did not start: %ls\n", error.c_str());
            return 1;
        }
        unsigned drives = 0;
        WORD letter = 0;
        while (drives < kMaxDrives && AddDrive(letter)) {
            MountImage(static_cast<WCHAR>(letter), image.c_str(), 0);
            ++drives;
        }
        CTolvaneDlg dlg(nullptr, SystemDeviceIo(), volumes, services, registry);
        if (!dlg.Create(CTolvaneDlg::IDD))
            return 1;
        TimeRefreshes(dlg, "stand-in driver", drives);
        dlg.DestroyWindow();
    }
    CKelmorService::RemoveLeftover();

    CScriptedDriver driver;
    for (unsigned i = 0; i < kMaxDrives; ++i)
        driver.drives.push_back({static_cast<WCHAR>(L'A' + i), image, true});
    CTolvaneDlg dlg(nullptr, driver, volumes, services, registry);
    if (!dlg.Create(CTolvaneDlg::IDD))
        return 1;
    TimeRefreshes(dlg, "scripted driver", kMaxDrives);
    dlg.DestroyWindow();
    return 0;
}
