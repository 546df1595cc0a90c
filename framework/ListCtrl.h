#pragma once

// A list view control in report view: columns, rows with texts, and the selection.

#include "Wnd.h"

#include <commctrl.h>

// An iterator over the selected rows: null when there are no more.
struct CPositionTag;
using POSITION = CPositionTag*;

class CListCtrl : public CWnd {
public:
    int InsertColumn(int nCol, LPCTSTR heading, int nFormat = LVCFMT_LEFT, int nWidth = -1,
                     int nSubItem = -1);
    int GetColumnWidth(int nCol) const;
    BOOL SetColumnWidth(int nCol, int cx);

    int GetItemCount() const;
    BOOL DeleteAllItems();
    // Inserts a row with the text of column 0; returns its index, or -1.
    int InsertItem(int nItem, LPCTSTR text);
    BOOL SetItem(int nItem, int nSubItem, UINT nMask, LPCTSTR text, int nImage, UINT nState,
                 UINT nStateMask, LPARAM lParam);
    BOOL SetItemText(int nItem, int nSubItem, LPCTSTR text);
    CString GetItemText(int nItem, int nSubItem) const;
    UINT GetItemState(int nItem, UINT nMask) const;
    BOOL SetItemState(int nItem, UINT nState, UINT nMask);

    POSITION GetFirstSelectedItemPosition() const;
    int GetNextSelectedItem(POSITION& pos) const;

    // Width in pixels of a text in the list's font.
    int GetStringWidth(LPCTSTR text) const;
    DWORD GetExtendedStyle() const;
    DWORD SetExtendedStyle(DWORD dwNewStyle);
};
