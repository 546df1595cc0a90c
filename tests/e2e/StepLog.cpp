#include "StepLog.h"
#include "UserActions.h"

namespace {

// A TSV field: tabs and line breaks would break the table.
std::string Field(std::string text) {
    for (char& ch : text) {
        if (ch == '\t' || ch == '\n' || ch == '\r')
            ch = ' ';
    }
    return text;
}

} // namespace

CStepLog::CStepLog(const std::wstring& folder) : m_folder(folder) {
    if (!m_folder.empty()) {
        CreateDirectoryW(m_folder.c_str(), nullptr);
        m_table = _wfopen((m_folder + L"\\steps.tsv").c_str(), L"a");
    }
}

CStepLog::~CStepLog() {
    if (m_table)
        std::fclose(m_table);
}

void CStepLog::BeginScenario(const std::string& name) {
    m_scenario = name;
    std::printf("== %s\n", name.c_str());
    std::fflush(stdout);
}

void CStepLog::Passed(const std::string& title, const std::string& checked, HWND picture) {
    Record(title, checked, true, picture);
}

void CStepLog::Failed(const std::string& title, const std::string& reason, HWND picture) {
    ++m_failures;
    Record(title, reason, false, picture);
}

void CStepLog::Record(const std::string& title, const std::string& checked, bool passed,
                      HWND picture) {
    ++m_step;
    std::string pictureName;
    if (!m_folder.empty() && picture && IsWindow(picture)) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s-%02d.bmp", m_scenario.c_str(), m_step);
        if (SaveWindowPicture(picture, m_folder + L"\\" + Widen(name)))
            pictureName = name;
    }
    std::printf("[%s %2d] %-58s %s\n", m_scenario.c_str(), m_step, title.c_str(),
                passed ? "ok" : "FAILED");
    if (!passed)
        std::printf("         %s\n", checked.c_str());
    std::fflush(stdout);
    if (m_table) {
        std::fprintf(m_table, "%s\t%d\t%s\t%s\t%s\t%s\n", Field(m_scenario).c_str(), m_step,
                     Field(title).c_str(), Field(checked).c_str(), passed ? "ok" : "FAILED",
                     pictureName.c_str());
        std::fflush(m_table);
    }
}
