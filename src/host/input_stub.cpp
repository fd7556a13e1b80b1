// Placeholder input until the event pump and button model land: no key is down.
#include "host/input.h"

int32_t os_key_state(int) { return 0; }
const char* os_key_from_scancode(int) { return nullptr; }
void input_suppress_buttons(Process*) {}
