#pragma once

// The dialog framework of both programs: include this one header.
// Built twice from the same sources: framework_w (UNICODE, UTF-16 text) and framework_a
// (8-bit text); a program links the one that matches its character set.

#include "Button.h"
#include "CmdTarget.h"
#include "ComboBox.h"
#include "DataExchange.h"
#include "Dialog.h"
#include "FileDialog.h"
#include "Gdi.h"
#include "ListCtrl.h"
#include "Menu.h"
#include "MessageBox.h"
#include "Static.h"
#include "String.h"
#include "WinApp.h"
#include "Wnd.h"
