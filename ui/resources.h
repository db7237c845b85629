#pragma once

// Resource identifiers shared by the resource script and the code.
#define IDI_PLOVANE 1
#define IDB_ABOUT 101
