#include "ErrorMode.h"

#include <windows.h>

namespace {

using SetThreadErrorModeProc = BOOL(WINAPI*)(DWORD newMode, LPDWORD oldMode);

SetThreadErrorModeProc FindSetThreadErrorMode() {
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return nullptr;
    return reinterpret_cast<SetThreadErrorModeProc>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadErrorMode")));
}

} // namespace

void FailCriticalErrorsWhereThreadsCannot() {
    if (!FindSetThreadErrorMode())
        ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS);
}

void FailCriticalErrorsInThisThread() {
    if (SetThreadErrorModeProc setThreadErrorMode = FindSetThreadErrorMode()) {
        DWORD oldMode = 0;
        setThreadErrorMode(SEM_FAILCRITICALERRORS, &oldMode);
    }
}
