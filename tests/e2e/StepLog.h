#pragma once

// The scenarios' account of themselves: one line per step on the console as it goes, and a
// table (steps.tsv) with each step's picture, what was checked and the result, from which the
// demo writes its report.

#include <windows.h>

#include <cstdio>
#include <string>

class CStepLog {
public:
    // `folder` (Windows form) receives steps.tsv and the pictures; empty: console only.
    explicit CStepLog(const std::wstring& folder);
    ~CStepLog();
    CStepLog(const CStepLog&) = delete;
    CStepLog& operator=(const CStepLog&) = delete;

    void BeginScenario(const std::string& name);
    // One step: `picture` is the window to photograph (null: none), `checked` what was seen.
    void Passed(const std::string& title, const std::string& checked, HWND picture);
    void Failed(const std::string& title, const std::string& reason, HWND picture);
    int Failures() const { return m_failures; }

private:
    void Record(const std::string& title, const std::string& checked, bool passed, HWND picture);

    std::wstring m_folder;
    std::FILE* m_table = nullptr;
    std::string m_scenario;
    int m_step = 0;
    int m_failures = 0;
};
