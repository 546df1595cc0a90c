// Drives the shipped Tolvane.exe and Ravelin.exe as a person does, in separate processes.
//
//   blackbox.exe SCENARIO... --tolvane EXE --ravelin EXE --driver SYS --sample ISO
//                --label LABEL --work DIR [--big ISO] [--out DIR]
//
// SCENARIO is tolvane, ravelin, loop or wow64 (the loop against a driver service that the rig
// has created beforehand, on a copy of the sample with a name that is not ASCII). The programs run
// with DIR as their current directory (Ravelin's images land there). With --out, each step's
// picture and the table steps.tsv go to that folder. Exit status 0 when every step of every
// scenario passed, 1 otherwise.

#include "KelmorService.h"
#include "Scenarios.h"
#include "UserActions.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    // Lines end as on the host that reads them: no carriage returns.
    _setmode(_fileno(stdout), _O_BINARY);
    CScenarioSettings settings;
    std::wstring out;
    std::vector<std::wstring> scenarios;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        // Paths may come with the host's slashes; Windows shows them with backslashes.
        auto value = [&]() -> std::wstring {
            std::wstring text = i + 1 < argc ? argv[++i] : L"";
            for (wchar_t& ch : text)
                ch = ch == L'/' ? L'\\' : ch;
            return text;
        };
        if (argument == L"--tolvane")
            settings.tolvane = value();
        else if (argument == L"--ravelin")
            settings.ravelin = value();
        else if (argument == L"--driver")
            settings.driver = value();
        else if (argument == L"--sample")
            settings.sample = value();
        else if (argument == L"--big")
            settings.bigImage = value();
        else if (argument == L"--label")
            settings.sampleLabel = Narrow(value());
        else if (argument == L"--work")
            settings.work = value();
        else if (argument == L"--out")
            out = value();
        else
            scenarios.push_back(argument);
    }
    if (scenarios.empty() || settings.tolvane.empty() || settings.ravelin.empty() ||
        settings.driver.empty() || settings.sample.empty() || settings.work.empty()) {
        std::fprintf(stderr,
                     "usage: blackbox tolvane|ravelin|loop|wow64... --tolvane EXE --ravelin "
                     "EXE --driver SYS --sample ISO --label LABEL --work DIR [--big ISO] "
                     "[--out DIR]\n");
        return 2;
    }
    // A scenario that hangs inside a program must not hang the suite.
    StartWatchdog(600);
    CStepLog log(out);
    bool passed = true;
    for (const std::wstring& scenario : scenarios) {
        if (scenario == L"tolvane")
            passed = RunTolvaneScenario(settings, log) && passed;
        else if (scenario == L"ravelin")
            passed = RunRavelinScenario(settings, log) && passed;
        else if (scenario == L"loop")
            passed = RunLoopScenario(settings, log) && passed;
        else if (scenario == L"wow64")
            passed = RunWow64Scenario(settings, log) && passed;
        else {
            std::fprintf(stderr, "unknown scenario %s\n", Narrow(scenario).c_str());
            passed = false;
        }
    }
    StopWatchdog();
    std::printf("%s\n", passed ? "every step passed" : "a step FAILED");
    return passed ? 0 : 1;
}
