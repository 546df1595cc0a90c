// Resource ids of Tolvane, shared by Tolvane.rc and the code.
#pragma once

#define IDR_MAINFRAME 128 // the program's icon
