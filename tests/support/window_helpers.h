#pragma once
#include <windows.h>

#include <string>

#include "common/unique_handle.h"

namespace plovane::testing {

// Runs this thread's queued messages until none are left; a WM_QUIT found on the way is kept
// aside and reported, never left to end a later loop early.
bool PumpMessages();

std::wstring WindowText(HWND hwnd);
void SetWindowTextTo(HWND hwnd, const std::wstring& text);

// The descendant of parent with the given control id, in this or another process.
HWND FindDescendant(HWND parent, int id);

// Polls until a visible top-level window of the class shows, or the time runs out.
HWND WaitForVisibleWindow(const wchar_t* className, const wchar_t* title, DWORD timeoutMs);

// The folder of this test program, where the build puts the tool and the stand-in too.
std::wstring ProgramFolder();

// Starts a program with the given command line; returns its process handle, or null.
HANDLE StartProcess(const std::wstring& commandLine);
// Runs a program to its end and gives its exit code, or -1 if it did not start or end in time.
long RunProcess(const std::wstring& commandLine, DWORD timeoutMs);
// Waits for a started program to end and gives its exit code, closing the handle; 12345 (and the
// handle kept) where it did not end in time.
DWORD WaitForExit(unique_handle& process, DWORD timeoutMs);

// The folder started-marker.exe wrote to its marker file: where it was started. Empty where the
// file cannot be read.
std::wstring ReadStartedFolder(const std::wstring& markerFile);

}  // namespace plovane::testing
