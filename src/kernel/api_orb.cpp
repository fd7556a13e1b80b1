// Lua globals of messages and the orb functions.
#include "kernel/api_tables.h"
#include "kernel/messages.h"
#include "storage/orb.h"

const ApiEntry orb_api[] = {
    {"orb", lua54_stringify},
    {"_orb", lua54_stringify},
    {"unorb", lua54_destringify},
    {"pid", lua54_pid},
    {"_send_message", lua54_send_message},
    {"send_message", lua54_send_message},
    {"_read_message", lua54__read_message},
    {nullptr, nullptr},
};
