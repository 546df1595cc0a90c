// Resource ids of Tolvane, shared by Tolvane.rc and the code.
#pragma once

#define IDR_MAINFRAME 128 // the program's icon

#ifndef IDC_STATIC
#define IDC_STATIC (-1) // labels and frames the code never addresses
#endif

// Dialog templates.
#define IDD_TOLVANE_DIALOG 102
#define IDD_DRIVER_CONTROL 129
#define IDD_MOUNT_OPTIONS 130

// The main dialog's controls.
#define IDC_DRIVE_LIST 1000
#define IDC_SECTORS_PER_CLUSTER 1002
#define IDC_BYTES_PER_SECTOR 1003
#define IDC_FREE_CLUSTERS 1004
#define IDC_TOTAL_CLUSTERS 1005
#define IDC_ADD_DRIVE 1006
#define IDC_REMOVE_DRIVE 1007
#define IDC_MOUNT 1008
#define IDC_EJECT 1009
#define IDC_REMOUNT 1010
#define IDC_DRIVER_CONTROL 1011

// The driver service dialog's controls.
#define IDC_INSTALL_DRIVER 1012
#define IDC_START 1013
#define IDC_STOP 1014
#define IDC_REMOVE_DRIVER 1015
#define IDC_SERVICE_STATUS 1017

// The mount options dialog's controls.
#define IDC_IMAGE_PATH 1018
#define IDC_SUPPRESS_UDF 1019
#define IDC_SUPPRESS_JOLIET 1020
#define IDC_PERSISTENT 1021

// The string table.
#define IDS_DRIVE_HEADING 1
#define IDS_IMAGE_HEADING 2
#define IDS_DRIVE_TEXT 3
#define IDS_EJECT_FAILED 4
#define IDS_MOUNT_FAILED 5
#define IDS_ADD_FAILED 6
#define IDS_REMOVE_FAILED 7
#define IDS_REMOUNT_FAILED 8
#define IDS_IMAGE_FILTER 9
#define IDS_NO_IMAGE_PREFIX 10
#define IDS_NO_IMAGE_EVER 11
#define IDS_DRIVER_ALREADY_INSTALLED 12
#define IDS_DRIVER_NOT_PRESENT 13
#define IDS_SERVICE_STATUS 16
#define IDS_SERVICE_INFO_FAILED 17
#define IDS_DRIVER_NOT_INSTALLED 18
