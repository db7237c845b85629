#include "app/form1.h"

namespace plovane {

void Form1::Command1_Click() {}

}  // namespace plovane
