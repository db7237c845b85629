#include <windows.h>

#include "common/com_apartment.h"
#include "standin/actions_menu.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    plovane::com_apartment apartment;  // the shell starts programs through COM
    plovane::standin::ActionsMenu menu;
    if (!menu.Create(instance)) return 1;
    menu.Show(showCommand);
    return menu.Run();
}
