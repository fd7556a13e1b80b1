// The audio API: note, sfx and music. Each call makes the calling process
// the audio focus and brings the mixer's mirror up to date before it acts.
#include "audio/sonk.h"
#include "audio/sonk_engine.h"
#include "graphics/memory.h"
#include "kernel/api_tables.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "lua.h"

// A number argument truncated toward zero; anything else gives the default.
static int32_t arg(lua_State* L, int i, int32_t dflt) {
    if (lua_type(L, i) != LUA_TNUMBER) return dflt;
    if (lua_isinteger(L, i)) return sat_i32(lua_tointeger(L, i));
    return sat_f2i32(lua_tonumber(L, i));
}

static int lua54_play_note(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    int32_t pitch = arg(L, 1, 48), inst = arg(L, 2, 0), vol = arg(L, 3, 64), effect = arg(L, 4, 0);
    int32_t param = arg(L, 5, 0), ch = arg(L, 6, -1);
    int32_t retrig = lua_gettop(L) < 7 ? 1 : lua_toboolean(L, 7);
    int32_t pan = arg(L, 8, SONK_PAN_KEEP);
    audio_op_start((int64_t)p->pid, 1);
    // Mix volume and base first, so a first note reads its own instrument.
    if (ch >= 0) {
        sonk_set_channel_mix_vol(ch, mem_read8(p, 0x553A));
        sonk_set_channel_base_addr(ch, (int32_t)mem_read8(p, 0x553C) << 16);
    }
    sonk_set_note(ch, pitch, inst, vol, effect, param, retrig, pan);
    audio_op_end();
    return 0;
}

static int lua54_play_track(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    int32_t track = arg(L, 1, 0), ch = arg(L, 2, -1), offset = arg(L, 3, 0), length = arg(L, 4, 0);
    int32_t pan = arg(L, 5, SONK_PAN_KEEP), mix = arg(L, 6, mem_read8(p, 0x553A));
    int32_t base = (int32_t)mem_read8(p, 0x553C) << 16;
    audio_op_start((int64_t)p->pid, 1);
    int32_t c = sonk_play_track(track, ch, offset, length, 0, pan, mix, base);
    if (c >= 0) sonk_set_channel_base_addr(c, base);
    audio_op_end();
    return 0;
}

static int lua54_play_music(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    int32_t pattern = arg(L, 1, 0), fade = arg(L, 2, 0), mask = arg(L, 3, 255);
    int32_t base = sat_i32(q64_intp(L, 4, (int64_t)mem_read8(p, 0x553D) << 16));
    audio_op_start((int64_t)p->pid, 1);
    if (pattern == -1) sonk_fade_out_music(fade);
    else sonk_play_music(pattern, fade, mask, base);
    audio_op_end();
    return 0;
}

const ApiEntry audio_api[] = {
    {"note", lua54_play_note},
    {"sfx", lua54_play_track},
    {"music", lua54_play_music},
    {nullptr, nullptr},
};
