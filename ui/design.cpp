#include "ui/design.h"

#include <oleacc.h>

#include "ui/picture_box.h"

namespace plovane::ui {

using K = ControlKind;
using P = Page;

// The design reads as a table, one control a row.
// clang-format off
const ControlSpec kPageControls[12] = {
    {Text4, L"Text4", K::TextBox, P::Register, {120, 1200, 4575, 285},
     L"Keyname (recommended to use your menu name)", 1},
    {Command2, L"Command2", K::Button, P::Register, {3600, 2520, 1095, 375}, L"Register", 2},
    {Text3, L"Text3", K::TextBox, P::Register, {120, 2160, 4575, 285}, L"URL", 3},
    {Text2, L"Text2", K::TextBox, P::Register, {120, 1680, 4575, 285},
     L"Name to appear in the menu", 4},
    {Command1, L"Command1", K::Button, P::Register, {4320, 720, 495, 255}, L"...", 5},
    {Text1, L"Text1", K::TextBox, P::Register, {120, 720, 4095, 285}, L"Path to program", 6},
    {Text5, L"Text5", K::TextBox, P::Unregister, {600, 840, 3615, 285}, L"Keyname", 7},
    {Command3, L"Command3", K::Button, P::Unregister, {1800, 1320, 1095, 375}, L"Unregister", 8},
    {Label1, L"Label1", K::Label, P::About, {120, 480, 2655, 495}, L"Add programs...", 9},
    {Label2, L"Label2", K::Label, P::About, {120, 1200, 2655, 495},
     L"Version 1.00 for MSN Messenger", 10},
    {Label3, L"Label3", K::Label, P::About, {240, 2280, 2535, 495}, L"Part of the plovane range",
     11},
    {Picture1, L"Picture1", K::PictureBox, P::About, {3240, 840, 1335, 1695}, L"", 12},
};

// The tab strip's page tabs are named by their captions, kTabCaptions.
const AccessibleNaming kAccessibleControls[kAccessibleControlCount] = {
    {SSTab1Strip, L"Pages", ROLE_SYSTEM_PAGETABLIST, nullptr},
    {Text4, L"Key name", ROLE_SYSTEM_TEXT, L"Recommended: use your menu name"},
    {Command2, L"Register", ROLE_SYSTEM_PUSHBUTTON, nullptr},
    {Text3, L"URL", ROLE_SYSTEM_TEXT, nullptr},
    {Text2, L"Name to appear in the menu", ROLE_SYSTEM_TEXT, nullptr},
    {Command1, L"Browse for the program", ROLE_SYSTEM_PUSHBUTTON, nullptr},
    {Text1, L"Path to program", ROLE_SYSTEM_TEXT, nullptr},
    {Text5, L"Key name", ROLE_SYSTEM_TEXT, nullptr},
    {Command3, L"Unregister", ROLE_SYSTEM_PUSHBUTTON, nullptr},
    {Label1, nullptr, ROLE_SYSTEM_STATICTEXT, nullptr},
    {Label2, nullptr, ROLE_SYSTEM_STATICTEXT, nullptr},
    {Label3, nullptr, ROLE_SYSTEM_STATICTEXT, nullptr},
    {Picture1, L"Plovane logo", ROLE_SYSTEM_GRAPHIC, nullptr},
};
// clang-format on

const ControlSpec* FindControl(ControlId id) {
    for (const ControlSpec& design : kPageControls) {
        if (design.id == id) return &design;
    }
    return nullptr;
}

const AccessibleNaming* FindAccessible(ControlId id) {
    for (const AccessibleNaming& named : kAccessibleControls) {
        if (named.id == id) return &named;
    }
    return nullptr;
}

RECT PixelRect(const TwipRect& r, int dpi) {
    const int left = TwipsToPixels(r.left, dpi);
    const int top = TwipsToPixels(r.top, dpi);
    return {left, top, left + TwipsToPixels(r.width, dpi), top + TwipsToPixels(r.height, dpi)};
}

ControlClass ClassFor(ControlKind kind) {
    switch (kind) {
        case ControlKind::TextBox:
            return {L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
        case ControlKind::Button:
            return {L"BUTTON", WS_TABSTOP | BS_OWNERDRAW, 0};
        case ControlKind::Label:
            return {L"STATIC", SS_LEFT, 0};
        case ControlKind::PictureBox:
        default:
            return {kPictureBoxClass, WS_TABSTOP, WS_EX_CLIENTEDGE};
    }
}

}  // namespace plovane::ui
