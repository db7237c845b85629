#pragma once
// Names and paths made fit to show: every text an entry's writer chose reads as its text, in the
// menu, the status line and the error box alike, and no text keeps any of them from showing.
#include <windows.h>

#include "common/text_buffer.h"
#include "standin/store_reader.h"

namespace plovane::standin {

// Longer texts are cut, so that no one entry can keep the menu (or its status line) from
// showing: Windows fails to open a popup with an item of some millions of characters.
inline constexpr size_t kMaxShownLength = 260;

// Room for two cut texts and their words, or a cut name with every character doubled.
using MenuText = text_buffer<2 * kMaxShownLength + 64>;
using BoxText = text_buffer<4 * kMaxShownLength + 640>;

// The entry's menu item: its menu name, or its key name, marked, where that cannot be shown.
MenuText ItemText(const MenuEntry& entry);
// What the status line says of the highlighted entry.
MenuText StatusText(const MenuEntry& entry);
// The error box's text for an entry whose program could not be started, broken into lines that
// fit the screen.
BoxText StartFailureText(const MenuEntry& entry, DWORD error);

}  // namespace plovane::standin
