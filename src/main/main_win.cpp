// Zelto-service.exe: the service process and its own installer.

#include <windows.h>

#include "main/entry.h"

int wmain(int /*argc*/, wchar_t** /*argv*/) {
    return zelto::run_entry(::GetCommandLineW());
}
