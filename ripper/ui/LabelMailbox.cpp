#include "LabelMailbox.h"

unsigned CLabelMailbox::NewRequest() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDelivered = FALSE;
    m_strLabel.Empty();
    return ++m_nLatest;
}

BOOL CLabelMailbox::Deliver(unsigned request, const CString& label) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (request != m_nLatest)
        return FALSE;
    m_strLabel = label;
    m_bDelivered = TRUE;
    return TRUE;
}

BOOL CLabelMailbox::Collect(unsigned request, CString& label) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (request != m_nLatest || !m_bDelivered)
        return FALSE;
    label = m_strLabel;
    m_bDelivered = FALSE;
    return TRUE;
}
