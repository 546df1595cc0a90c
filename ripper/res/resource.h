// Resource ids of Ravelin, shared by Ravelin.rc and the code.
#pragma once

#define IDR_MAINFRAME 128   // the program's icon
#define IDC_LINK_CURSOR 129 // the pointing hand shown over the About box's link
#define IDD_ABOUTBOX 100    // the About box
#define IDS_ABOUTBOX 101    // the system-menu entry that opens the About box
#define IDM_ABOUTBOX 0x0010 // the About command's system-menu id
#define IDC_ABOUT_LINK 1005 // the About box's web link

#define IDD_RAVELIN_DIALOG 102 // the main dialog
#define IDC_DRIVE_LIST 1000    // the CD/DVD drive roots
#define IDC_OUTPUT_NAME 1001   // the image file's name
#define IDC_RIP 1002           // Rip, and Abort while a copy runs
#define IDC_CLOSE 1003         // ends the program
#define IDC_PROGRESS 1004      // the copy's progress, shown while a copy runs

#define IDS_RAVELIN 102       // the caption of the main dialog's message boxes
#define IDS_NO_DRIVE 103      // no CD or DVD drive on the machine
#define IDS_INVALID_NAME 104  // the output name is no valid path
#define IDS_WRITE_FAILED 105  // the image file was left incomplete
#define IDS_READ_FAILED 106   // a sector of the disc could not be read: the copy stopped there
#define IDS_NO_DATA_TRACK 107 // the disc has no data track (an audio CD): nothing was copied

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
