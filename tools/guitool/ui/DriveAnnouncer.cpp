#include "DriveAnnouncer.h"

#include "ControlPanelRules.h"
#include "WinApp.h"

#include <dbt.h>
#include <process.h>
#include <shlobj.h>

#include <deque>
#include <utility>

namespace {

// How long the broadcast waits for each window; one that has not read its queue for 5 s is
// skipped at once (SMTO_ABORTIFHUNG).
constexpr UINT kBroadcastTimeoutMs = 2000;

class CWorkerAnnouncer : public IDriveAnnouncer {
public:
    CWorkerAnnouncer() {
        ::InitializeCriticalSection(&m_lock);
        m_queued = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        m_allSent = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    }
    // The object lives as long as the program; its thread ends with the process.
    CWorkerAnnouncer(const CWorkerAnnouncer&) = delete;
    CWorkerAnnouncer& operator=(const CWorkerAnnouncer&) = delete;

    // An announcement that cannot be queued (no memory, no events, no thread) is lost, as a
    // broadcast that timed out would be; the drive itself is as the user asked.
    void Announce(WCHAR letter, DriveChange change) override {
        if (!m_queued || !m_allSent)
            return;
        ::EnterCriticalSection(&m_lock);
        bool start = false;
        try {
            m_pending.emplace_back(letter, change);
            ++m_unsent;
            ::ResetEvent(m_allSent);
            start = !m_started;
            m_started = true;
        } catch (...) {
        }
        ::LeaveCriticalSection(&m_lock);
        if (start) {
            HANDLE thread = reinterpret_cast<HANDLE>(
                ::_beginthreadex(nullptr, 0, &CWorkerAnnouncer::Worker, this, 0, nullptr));
            if (thread) {
                ::CloseHandle(thread);
            } else {
                ::EnterCriticalSection(&m_lock);
                m_pending.clear();
                m_unsent = 0;
                m_started = false;
                ::SetEvent(m_allSent);
                ::LeaveCriticalSection(&m_lock);
            }
        }
        ::SetEvent(m_queued);
    }

    // The broadcast waits on every top-level window, this thread's too (an IME's, one the
    // file dialog left): the wait handles what is sent to them, or each announcement would
    // spend its whole time-out on them.
    bool Finish(DWORD milliseconds) {
        return !m_allSent || AfxWaitHandlingSentMessages(m_allSent, milliseconds) == WAIT_OBJECT_0;
    }

private:
    static unsigned __stdcall Worker(void* context) {
        auto* self = static_cast<CWorkerAnnouncer*>(context);
        for (;;) {
            ::EnterCriticalSection(&self->m_lock);
            const bool empty = self->m_pending.empty();
            std::pair<WCHAR, DriveChange> next{};
            if (!empty) {
                next = self->m_pending.front();
                self->m_pending.pop_front();
            }
            ::LeaveCriticalSection(&self->m_lock);
            if (empty) {
                ::WaitForSingleObject(self->m_queued, INFINITE);
                continue;
            }
            SendDriveAnnouncement(next.first, next.second);
            ::EnterCriticalSection(&self->m_lock);
            if (--self->m_unsent == 0)
                ::SetEvent(self->m_allSent);
            ::LeaveCriticalSection(&self->m_lock);
        }
    }

    CRITICAL_SECTION m_lock;
    HANDLE m_queued;
    HANDLE m_allSent; // set while every announcement asked for has been sent
    std::deque<std::pair<WCHAR, DriveChange>> m_pending;
    size_t m_unsent = 0; // queued or being sent
    bool m_started = false;
};

CWorkerAnnouncer& WorkerAnnouncer() {
    // Never destroyed: its worker may still be sending while the program's statics go.
    static CWorkerAnnouncer* const announcer = new CWorkerAnnouncer;
    return *announcer;
}

} // namespace

void SendDriveAnnouncement(WCHAR letter, DriveChange change) {
    const WCHAR upper = UpperDriveLetter(letter);
    if (upper < L'A' || upper > L'Z')
        return;
    const bool medium =
        change == DriveChange::MediumInserted || change == DriveChange::MediumRemoved;
    const bool arrival = change == DriveChange::DriveAdded || change == DriveChange::MediumInserted;

    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (upper - L'A');
    volume.dbcv_flags = medium ? DBTF_MEDIA : 0;
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(
        HWND_BROADCAST, WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
        reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG, kBroadcastTimeoutMs, &result);

    const WCHAR root[4] = {upper, L':', L'\\', 0};
    LONG event = SHCNE_DRIVEADD;
    switch (change) {
    case DriveChange::DriveAdded:
        event = SHCNE_DRIVEADD;
        break;
    case DriveChange::DriveRemoved:
        event = SHCNE_DRIVEREMOVED;
        break;
    case DriveChange::MediumInserted:
        event = SHCNE_MEDIAINSERTED;
        break;
    case DriveChange::MediumRemoved:
        event = SHCNE_MEDIAREMOVED;
        break;
    }
    ::SHChangeNotify(event, SHCNF_PATHW, root, nullptr);
}

IDriveAnnouncer& SystemDriveAnnouncer() {
    return WorkerAnnouncer();
}

bool FinishDriveAnnouncements(DWORD milliseconds) {
    return WorkerAnnouncer().Finish(milliseconds);
}
