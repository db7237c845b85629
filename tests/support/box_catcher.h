#pragma once
#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace plovane::testing {

// What a caught message box showed.
struct CaughtBox {
    std::wstring title;
    std::wstring prompt;
    HWND owner = nullptr;
    bool handIcon = false;
    std::vector<int> buttons;  // the ids of the buttons a user could press
    RECT frame = {};           // the box on the screen
};

// Catches every message box this thread shows while the object lives: reads it, then presses
// OK (or, where there is no OK, the first button) as a user would.
class BoxCatcher {
public:
    BoxCatcher();
    ~BoxCatcher();
    BoxCatcher(const BoxCatcher&) = delete;
    BoxCatcher& operator=(const BoxCatcher&) = delete;

    const std::vector<CaughtBox>& boxes() const { return boxes_; }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
    void Catch(HWND box);

    HHOOK hook_;
    std::set<HWND> seen_;
    std::vector<CaughtBox> boxes_;
};

// Reads a box shown by another process (found by its title), presses its OK button and waits
// for the box to go.
bool CatchForeignBox(const std::wstring& title, CaughtBox& out, DWORD timeoutMs);

}  // namespace plovane::testing

namespace plovane::testing {

// Answers every Open box this thread shows while it lives: reads its file-type entries, then
// types the given path and presses OK, or presses Cancel when the path is empty.
class OpenBoxAnswer {
public:
    explicit OpenBoxAnswer(std::wstring path);
    ~OpenBoxAnswer();
    OpenBoxAnswer(const OpenBoxAnswer&) = delete;
    OpenBoxAnswer& operator=(const OpenBoxAnswer&) = delete;

    int shown() const { return shown_; }
    const std::vector<std::wstring>& fileTypes() const { return fileTypes_; }
    HWND owner() const { return owner_; }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
    void Answer(HWND box);
    static void CALLBACK OnReady(HWND box, UINT, UINT_PTR id, DWORD);
    void Finish(HWND box);
    void Respond(HWND box);

    HHOOK hook_;
    std::wstring path_;
    std::set<HWND> seen_;
    int shown_ = 0;
    std::vector<std::wstring> fileTypes_;
    HWND owner_ = nullptr;
};

}  // namespace plovane::testing
