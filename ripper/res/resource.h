// Resource ids of Ravelin, shared by Ravelin.rc and the code.
#pragma once

#define IDR_MAINFRAME 128   // the program's icon
#define IDC_LINK_CURSOR 129 // the pointing hand shown over the About box's link
#define IDD_ABOUTBOX 100    // the About box
#define IDS_ABOUTBOX 101    // the system-menu entry that opens the About box
#define IDM_ABOUTBOX 0x0010 // the About command's system-menu id
#define IDC_ABOUT_LINK 1005 // the About box's web link

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
