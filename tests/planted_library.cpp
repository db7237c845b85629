// A DLL that loads and exports nothing: planted beside a copy of the tool under a system DLL's
// name, it shows whether the tool takes that name from its own folder.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
