#include "ScriptedRavelinPlatform.h"

#include "RavelinDlg.h"

#include <process.h>

#include <cstring>
#include <memory>

namespace {

struct CountedStart {
    IRavelinPlatform::ThreadProc start;
    void* argument;
    std::atomic<int>* live;
};

unsigned __stdcall CountedThread(void* pStart) {
    std::unique_ptr<CountedStart> counted(static_cast<CountedStart*>(pStart));
    unsigned result = counted->start(counted->argument);
    --*counted->live;
    return result;
}

} // namespace

bool CScriptedRavelinPlatform::WaitForThreads(DWORD timeout) const {
    return PumpUntil([this] { return m_liveLabel == 0 && m_liveRip == 0; }, timeout);
}

DWORD CScriptedRavelinPlatform::GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer) {
    driveStringsBufferLengths.push_back(bufferLength);
    if (failDriveStrings)
        return 0;
    std::string list;
    for (const Drive& drive : drives)
        list += drive.root + '\0';
    DWORD length = static_cast<DWORD>(list.size());
    if (length + 1 <= bufferLength)
        std::memcpy(buffer, list.c_str(), list.size() + 1);
    else
        length += 1; // too small: the size needed, terminator included
    return driveStringsAnswer ? driveStringsAnswer : length;
}

UINT CScriptedRavelinPlatform::GetDriveTypeA(LPCSTR root) {
    driveTypeQueries.push_back(root);
    for (const Drive& drive : drives)
        if (drive.root == root)
            return drive.type;
    return DRIVE_NO_ROOT_DIR;
}

HANDLE CScriptedRavelinPlatform::BeginThreadEx(ThreadProc start, void* argument) {
    if (failThreads)
        return nullptr;
    bool isRip = start == &RipThreadProc;
    std::atomic<int>& live = isRip ? m_liveRip : m_liveLabel;
    ++(isRip ? ripThreadsStarted : labelThreadsStarted);
    ++live;
    auto* counted = new CountedStart{start, argument, &live};
    HANDLE thread =
        reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, &CountedThread, counted, 0, nullptr));
    if (!thread) {
        --live;
        delete counted;
    }
    return thread;
}

HANDLE CScriptedRavelinPlatform::CreateEventA(BOOL manualReset, BOOL initialState) {
    if (failEvent)
        return nullptr;
    return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}
