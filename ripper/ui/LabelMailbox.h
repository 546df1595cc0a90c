#pragma once

// CLabelMailbox: where label threads leave the labels they read, for the UI thread to take.
// Label threads are never tracked, so several may run at once and finish in any order. Each
// is given a request number; only the latest request's label is kept, so that a slow read for
// a drive that is no longer selected cannot overwrite the name proposed for the current one.
// The mailbox is shared by the dialog and its label threads and lives as long as either.

#include "String.h"

#include <mutex>

class CLabelMailbox {
public:
    // Starts a new request and returns its number; earlier requests are stale from now on.
    unsigned NewRequest();
    // Leaves the label that request `request` read. FALSE (and nothing kept) when the request
    // is stale.
    BOOL Deliver(unsigned request, const CString& label);
    // Takes the label of request `request`: FALSE when that request is stale or delivered
    // nothing.
    BOOL Collect(unsigned request, CString& label);

private:
    std::mutex m_mutex;
    unsigned m_nLatest = 0;
    BOOL m_bDelivered = FALSE;
    CString m_strLabel;
};
