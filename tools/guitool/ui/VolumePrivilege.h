#pragma once

// The driver adds, removes and mounts drives only for a caller that holds and has enabled
// SeManageVolumePrivilege. Administrators hold it, disabled, in an elevated token (Tolvane asks
// for elevation in its manifest): Tolvane enables it in its own token at start.

#include <windows.h>

// Enables SeManageVolumePrivilege in the process token. FALSE with the last error when the
// token cannot be opened or adjusted, or does not hold the privilege (ERROR_NOT_ALL_ASSIGNED).
BOOL EnableManageVolumePrivilege();
