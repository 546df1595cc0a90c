#pragma once

// The black-box scenarios: Tolvane from an empty prefix, Ravelin without a CD/DVD drive, and
// the whole loop (an image mounted by Tolvane, ripped back by Ravelin). Each starts the real
// programs as separate processes and uses only what a person sees and does.

#include "StepLog.h"

#include <string>

struct CScenarioSettings {
    std::wstring tolvane;  // Tolvane.exe
    std::wstring ravelin;  // Ravelin.exe
    std::wstring driver;   // kelmor.sys, offered to Tolvane's install dialog
    std::wstring sample;   // the sample disc image
    std::wstring bigImage; // a disc large enough for an abort to land mid-copy
    std::wstring work;     // the programs' current directory: the ripped images go here
    std::string sampleLabel;
    // The service "kelmor" of `driver` was created by the rig before blackbox started (the
    // WoW64 scenario): the loop starts it and removes it, and creates none of its own.
    bool serviceCreatedByRig = false;
};

// Each returns true when every step passed; a failed step ends its scenario.
bool RunTolvaneScenario(const CScenarioSettings& settings, CStepLog& log);
bool RunRavelinScenario(const CScenarioSettings& settings, CStepLog& log);
bool RunLoopScenario(const CScenarioSettings& settings, CStepLog& log);
// The loop on 64-bit Windows: the 32-bit programs under WoW64 against the 64-bit driver, on
// a copy of the sample whose file name is not ASCII. The rig creates the driver's service
// beforehand with the system's own 64-bit tools.
bool RunWow64Scenario(const CScenarioSettings& settings, CStepLog& log);
