// Resource ids of the framework's test program.
#pragma once

#define IDD_TEST 200
#define IDD_TEST_SMALL 201
#define IDC_NAME 1001
#define IDC_NUMBER 1002
#define IDC_CHECK 1003
#define IDC_BUTTON 1004
#define IDC_COMBO 1005
#define IDC_LIST 1006
#define IDC_LABEL 1007
#define IDS_GREETING 10
#define IDS_FORMAT 11
#define IDS_LONG 12
#define IDS_MISSING 99
