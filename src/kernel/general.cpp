// The small globals every program uses: time, stat, date, table helpers, maths
// in turns, and the per-process xoshiro256** random numbers.
#include <cmath>
#include <cstring>
#include <ctime>
#include "audio/sonk.h"
#include "graphics/memory.h"
#include "host/host.h"
#include "host/input.h"
#include "kernel/api_tables.h"
#include "kernel/boot.h"
#include "kernel/cpu.h"
#include "kernel/general.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "kernel/state.h"
#include "storage/pdisk.h"
#include "lua.h"
#include "lauxlib.h"

// ---------------------------------------------------------------- random

static uint32_t seed_entropy = 0x11848D4;
static uint64_t orphan_rng[4];  // used only when no process is current

static inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t xoshiro_next(uint64_t s[4]) {
    uint64_t result = rotl(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

void xoshiro_seed(uint64_t s[4], uint64_t seed) {
    s[0] = seed ^ 0xDEADBEEFull;
    s[1] = 0xFF;
    s[2] = rotl(seed, 32);
    s[3] = 0;
    for (int i = 0; i < 8; i++) xoshiro_next(s);
}

static uint64_t* current_rng() { return cproc ? cproc->rng : orphan_rng; }

static int lua54_rnd(lua_State* L) {
    spend_cpu(4);
    uint64_t* s = current_rng();
    if (lua_type(L, 1) == LUA_TTABLE) {
        uint64_t n = lua_rawlen(L, 1);
        if (n == 0) return 0;
        uint64_t r = xoshiro_next(s);
        lua_rawgeti(L, 1, (lua_Integer)(r % n) + 1);
        return 1;
    }
    double x = lua_type(L, 1) == LUA_TNUMBER ? lua_tonumber(L, 1) : 1.0;
    uint64_t r = xoshiro_next(s);
    lua_pushnumber(L, (double)(r & 0xffffffffu) * x / 4294967296.0);
    return 1;
}

static int lua54_srand(lua_State* L) {
    uint32_t e = seed_entropy;
    e = (e << 7) ^ ((e >> 16) & 0xff) ^ 0x56DF7780u;
    e = (e + 331u) * (e + 42863u);
    seed_entropy = e;
    uint64_t pid = cproc ? cproc->pid : 0;
    uint64_t mix = (((uint64_t)time(nullptr) + (uint64_t)(uintptr_t)L) * 3001u) ^ (pid << 5);
    uint64_t dflt = (uint64_t)(int64_t)(int32_t)e | mix;
    xoshiro_seed(current_rng(), (uint64_t)q64_intp(L, 1, (int64_t)dflt));
    return 0;
}

// ---------------------------------------------------------------- maths

// The first argument as a number; 0 when it is not one.
static double num_arg(lua_State* L, int i) {
    int ok = 0;
    double v = lua_tonumberx(L, i, &ok);
    return ok ? v : 0.0;
}

static bool int_or_non_number(lua_State* L, int i) {
    return lua_isinteger(L, i) || lua_type(L, i) != LUA_TNUMBER;
}

static int lua54_abs(lua_State* L) {
    if (lua_isinteger(L, 1)) {
        lua_Integer v = lua_tointeger(L, 1);
        lua_pushinteger(L, v == INT64_MIN ? INT64_MAX : v < 0 ? -v : v);
    } else {
        lua_pushnumber(L, std::fabs(luaL_checknumber(L, 1)));
    }
    return 1;
}

static int lua54_sgn(lua_State* L) {
    if (lua_isinteger(L, 1))
        lua_pushinteger(L, lua_tointeger(L, 1) < 0 ? -1 : 1);
    else if (lua_type(L, 1) == LUA_TNUMBER)
        lua_pushnumber(L, lua_tonumber(L, 1) < 0 ? -1.0 : 1.0);
    else
        lua_pushinteger(L, 1);
    return 1;
}

static int lua54_max(lua_State* L) {
    if (lua_isinteger(L, 1) && int_or_non_number(L, 2)) {
        int64_t a = q64_intp(L, 1, 0), b = q64_intp(L, 2, 0);
        lua_pushinteger(L, a > b ? a : b);
    } else {
        lua_pushnumber(L, std::fmax(num_arg(L, 1), num_arg(L, 2)));
    }
    return 1;
}

static int lua54_min(lua_State* L) {
    if (lua_isinteger(L, 1) && int_or_non_number(L, 2)) {
        int64_t a = q64_intp(L, 1, 0), b = q64_intp(L, 2, 0);
        lua_pushinteger(L, a < b ? a : b);
    } else {
        lua_pushnumber(L, std::fmin(num_arg(L, 1), num_arg(L, 2)));
    }
    return 1;
}

template <typename T, typename Min, typename Max>
static T middle(T a, T b, T c, Min mn, Max mx) {
    return mx(mn(a, b), mn(mx(a, b), c));
}

static int lua54_mid(lua_State* L) {
    if (lua_isinteger(L, 1) && int_or_non_number(L, 2) && int_or_non_number(L, 3)) {
        auto mn = [](int64_t x, int64_t y) { return x < y ? x : y; };
        auto mx = [](int64_t x, int64_t y) { return x > y ? x : y; };
        lua_pushinteger(L, middle<int64_t>(q64_intp(L, 1, 0), q64_intp(L, 2, 0), q64_intp(L, 3, 0), mn, mx));
    } else {
        auto mn = [](double x, double y) { return std::fmin(x, y); };
        auto mx = [](double x, double y) { return std::fmax(x, y); };
        lua_pushnumber(L, middle<double>(num_arg(L, 1), num_arg(L, 2), num_arg(L, 3), mn, mx));
    }
    return 1;
}

static int lua54_sqrt(lua_State* L) {
    spend_cpu(6);
    lua_pushnumber(L, std::sqrt(num_arg(L, 1)));
    return 1;
}

// The system's own constants, not pi and 2 pi.
constexpr double TURN_PI = 3.141562;
constexpr double TURN_2PI = 6.283124;

double turn_cos(double x) {
    double f = std::fmod(x, 1.0);
    if (f == 0.0) return 1.0;
    if (f == 0.25) return 0.0;
    if (f == 0.5) return -1.0;
    if (f == 0.75) return 0.0;
    return std::cos(2 * TURN_PI * x);
}

double turn_sin(double x) {
    double f = std::fmod(x, 1.0);
    if (f == 0.0) return 0.0;
    if (f == 0.25) return -1.0;
    if (f == 0.5) return 0.0;
    if (f == 0.75) return 1.0;
    return std::sin(-2 * TURN_PI * x);
}

static int lua54_cos(lua_State* L) {
    lua_pushnumber(L, turn_cos(num_arg(L, 1)));
    return 1;
}

static int lua54_sin(lua_State* L) {
    lua_pushnumber(L, turn_sin(num_arg(L, 1)));
    return 1;
}

static int lua54_atan2(lua_State* L) {
    double dx = num_arg(L, 1), dy = num_arg(L, 2);
    // + 0.0 folds a negative zero (atan2 of -0.0) into 0.
    lua_pushnumber(L, std::atan2(-dy, dx) / TURN_2PI + 0.0);
    return 1;
}

static int lua54_flr(lua_State* L) {
    if (lua_isinteger(L, 1))
        lua_pushinteger(L, lua_tointeger(L, 1));
    else
        lua_pushinteger(L, sat_floor(num_arg(L, 1)));
    return 1;
}

static int lua54_ceil(lua_State* L) {
    if (lua_isinteger(L, 1))
        lua_pushinteger(L, lua_tointeger(L, 1));
    else
        lua_pushinteger(L, sat_f2i(std::ceil(num_arg(L, 1))));
    return 1;
}

// ---------------------------------------------------------------- tables
// Lengths are raw lengths, so a lying __len can't make these loop for ever.

static lua_Integer table_len(lua_State* L) {
    luaL_checktype(L, 1, LUA_TTABLE);
    return (lua_Integer)lua_rawlen(L, 1);
}

static int lua54_add(lua_State* L) {
    lua_Integer n = table_len(L);
    int top = lua_gettop(L);
    if (top == 1) return 0;
    if (top > 3) return luaL_error(L, "wrong number of arguments to 'insert'");
    lua_Integer e = n + 1;
    lua_Integer pos = e;
    if (top == 3) {
        pos = q64_intp(L, 3, 0);
        if (pos < 1 || pos > e) return luaL_argerror(L, 2, "position out of bounds");
        for (lua_Integer i = e; i > pos; i--) {
            lua_rawgeti(L, 1, i - 1);
            lua_rawseti(L, 1, i);
        }
    }
    spend_cpu(e - pos);
    lua_pushvalue(L, 2);
    lua_rawseti(L, 1, pos);
    lua_pushvalue(L, 2);
    return 1;
}

static int lua54_deli(lua_State* L) {
    lua_Integer n = table_len(L);
    lua_Integer pos = lua_gettop(L) == 1 ? n : q64_intp(L, 2, 0);
    if (pos < 1 || pos > n) return 0;
    spend_cpu(n - pos);
    lua_rawgeti(L, 1, pos);
    for (; pos < n; pos++) {
        lua_rawgeti(L, 1, pos + 1);
        lua_rawseti(L, 1, pos);
    }
    lua_pushnil(L);
    lua_rawseti(L, 1, pos);
    return 1;
}

static int lua54_del(lua_State* L) {
    if (lua_gettop(L) < 2 || lua_type(L, 1) != LUA_TTABLE) return 0;
    lua_Integer n = (lua_Integer)lua_rawlen(L, 1);
    spend_cpu(n);
    for (lua_Integer i = 1; i <= n; i++) {
        lua_rawgeti(L, 1, i);
        if (lua_compare(L, -1, 2, LUA_OPEQ)) {
            // An __eq metamethod may have changed the table: re-read its length.
            n = (lua_Integer)lua_rawlen(L, 1);
            for (lua_Integer j = i; j < n; j++) {
                lua_rawgeti(L, 1, j + 1);
                lua_rawseti(L, 1, j);
            }
            if (i <= n) {
                lua_pushnil(L);
                lua_rawseti(L, 1, n);
            }
            return 1;
        }
        lua_pop(L, 1);
    }
    return 0;
}

static int lua54_count(lua_State* L) {
    if (lua_type(L, 1) != LUA_TTABLE) return 0;
    lua_Integer n = (lua_Integer)lua_rawlen(L, 1);
    if (lua_gettop(L) == 1) {
        spend_cpu(1);
        lua_pushinteger(L, n);
        return 1;
    }
    spend_cpu(n);
    lua_Integer c = 0;
    for (lua_Integer i = 1; i <= n; i++) {
        lua_rawgeti(L, 1, i);
        if (lua_compare(L, -1, 2, LUA_OPEQ)) c++;
        lua_pop(L, 1);
    }
    lua_pushinteger(L, c);
    return 1;
}

// ---------------------------------------------------------------- time and date

static int lua54_time(lua_State* L) {
    // Signed: flip(1) at clock 0 steps it below zero until the frame's clock step.
    lua_pushnumber(L, cproc ? (double)(int64_t)cproc->frame_clock / 60.0 : 0.0);
    return 1;
}

// Reads "YYYY-MM-DD HH:MM:SS" from fixed positions; missing or non-digit bytes read as 0.
int64_t date_text_to_time(const char* s, size_t len) {
    auto digits = [&](size_t at, int n) {
        int v = 0;
        for (int i = 0; i < n; i++) {
            size_t k = at + (size_t)i;
            int d = k < len && s[k] >= '0' && s[k] <= '9' ? s[k] - '0' : 0;
            v = v * 10 + d;
        }
        return v;
    };
    struct tm tm {};
    tm.tm_year = digits(0, 4) - 1900;
    tm.tm_mon = digits(5, 2) - 1;
    tm.tm_mday = digits(8, 2);
    tm.tm_hour = digits(11, 2);
    tm.tm_min = digits(14, 2);
    tm.tm_sec = digits(17, 2);
    return (int64_t)timegm(&tm);
}

static void set_field(lua_State* L, const char* k, int v, int delta) {
    lua_pushinteger(L, (lua_Integer)v + delta);
    lua_setfield(L, -2, k);
}

static const char* check_conversion(lua_State* L, const char* conv, ptrdiff_t convlen, char* buff) {
    static const char* const options =
        "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%||EcECExEXEyEYOdOeOHOIOmOMOSOuOUOVOwOWOy";
    int oplen = 1;
    for (const char* o = options; *o != '\0' && oplen <= convlen; o += oplen) {
        if (*o == '|') {
            oplen++;
        } else if (memcmp(conv, o, (size_t)oplen) == 0) {
            memcpy(buff, conv, (size_t)oplen);
            buff[oplen] = '\0';
            return conv + oplen;
        }
    }
    luaL_argerror(L, 1, lua_pushfstring(L, "invalid conversion specifier '%%%s'", conv));
    return conv;
}

static int lua54_date(lua_State* L) {
    size_t slen = 0;
    const char* s = "!%Y-%m-%d %H:%M:%S";
    slen = strlen(s);
    if (lua_type(L, 1) == LUA_TSTRING) s = lua_tolstring(L, 1, &slen);
    const char* se = s + slen;

    int64_t when;
    if (lua_type(L, 2) == LUA_TSTRING) {
        size_t n = 0;
        const char* w = lua_tolstring(L, 2, &n);
        when = date_text_to_time(w, n);
    } else if (lua_type(L, 2) == LUA_TNUMBER) {
        when = q64_intp(L, 2, 0);
    } else {
        when = (int64_t)time(nullptr);
    }
    when = sat_add(when, q64_intp(L, 3, 0));
    if (when == -1) return luaL_error(L, "time result cannot be represented in this installation");

    time_t t = (time_t)when;
    struct tm tmr, *stm;
    if (*s == '!') {
        stm = gmtime_r(&t, &tmr);
        s++;
    } else {
        stm = localtime_r(&t, &tmr);
    }
    if (!stm) return luaL_error(L, "date result cannot be represented in this installation");

    if (strcmp(s, "*t") == 0) {
        lua_createtable(L, 0, 9);
        set_field(L, "year", stm->tm_year, 1900);
        set_field(L, "month", stm->tm_mon, 1);
        set_field(L, "day", stm->tm_mday, 0);
        set_field(L, "hour", stm->tm_hour, 0);
        set_field(L, "min", stm->tm_min, 0);
        set_field(L, "sec", stm->tm_sec, 0);
        set_field(L, "yday", stm->tm_yday, 1);
        set_field(L, "wday", stm->tm_wday, 1);
        if (stm->tm_isdst >= 0) {
            lua_pushboolean(L, stm->tm_isdst);
            lua_setfield(L, -2, "isdst");
        }
        return 1;
    }
    char cc[4];
    cc[0] = '%';
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    while (s < se) {
        if (*s != '%') {
            luaL_addchar(&b, *s++);
        } else {
            constexpr size_t ITEM = 250;
            char* buff = luaL_prepbuffsize(&b, ITEM);
            s++;
            s = check_conversion(L, s, se - s, cc + 1);
            luaL_addsize(&b, strftime(buff, ITEM, cc, stm));
        }
    }
    luaL_pushresult(&b);
    return 1;
}

// ---------------------------------------------------------------- stat

static uint8_t audio_dat[256 * 1024];  // sample data copied out of the mixer

static void write_i16s(Process* p, int64_t addr, const int16_t* v, int64_t n) {
    for (int64_t i = 0; i < n; i++) {
        uint32_t a = (uint32_t)(addr + 2 * i) & 0xffffff;
        mem_write8(p, a, (uint8_t)((uint16_t)v[i] & 0xff));
        mem_write8(p, (a + 1) & 0xffffff, (uint8_t)((uint16_t)v[i] >> 8));
    }
}

static int64_t clamp_samples(int64_t n, int64_t per) {
    int64_t most = (int64_t)sizeof audio_dat / per;
    return n < 0 ? 0 : n > most ? most : n;
}

static int64_t channel_stat(Process* p, int ch, int64_t field, int64_t addr) {
    if (field < 0) return 0;
    if (field <= 18) {
        uint64_t clock = p->frame_clock + 1;  // 0 marks a cache never filled
        if (p->chan_state_clock != clock) {
            audio_op_start((int64_t)p->pid, 0);
            for (int c = 0; c < 16; c++)
                for (int f = 0; f < 19; f++) p->chan_state[c][f] = (int32_t)sonk_get_channel_state(c, f, nullptr);
            audio_op_end();
            p->chan_state_clock = clock;
        }
        return p->chan_state[ch][field];
    }
    audio_op_start((int64_t)p->pid, 0);
    int64_t n = sonk_get_channel_state(ch, (int)sat_i32(field), audio_dat);
    audio_op_end();
    if (field == 19) {
        n = clamp_samples(n, 4);
        write_i16s(p, addr, (const int16_t*)audio_dat, 2 * n);
    } else if (field <= 27 && n > 0) {
        n = clamp_samples(n, 2);
        write_i16s(p, addr, (const int16_t*)audio_dat, n);
    }
    return n;
}

static int lua54_stat(lua_State* L) {
    int64_t code = q64_intp(L, 1, 0);
    int64_t a = q64_intp(L, 2, 0);
    int64_t b = q64_intp(L, 3, 0);
    Process* p = cproc;
    double r = 0;
    switch (code) {
    case 0:
        lua_gc(L, LUA_GCCOLLECT);
        r = p ? (double)process_memory_used(p) : 0;
        break;
    case 1:
        r = ((double)cpu_cycles + (p ? p->cycles_since_flip : 0)) / FRAME_CYCLES;
        break;
    case 3:
        lua_gc(L, LUA_GCCOLLECT);
        r = (double)lua_gc(L, LUA_GCCOUNT) * 1024 + lua_gc(L, LUA_GCCOUNTB);
        break;
    case 5:
        lua_pushinteger(L, 17);
        lua_pushstring(L, ORVANTA_VERSION);
        return 2;
    case 7:
        r = p && p->fps ? p->fps : 60;
        if (app.slow_mode) r /= 2;
        break;
    case 86: r = (double)time(nullptr); break;
    case 87: tzset(); r = (double)timezone; break;
    case 101: lua_pushnil(L); return 1;
    case 150: case 151: case 152: case 153: lua_pushstring(L, ""); return 1;
    case 301: r = (double)get_total_frame_cycles() / FRAME_CYCLES; break;
    case 302: lua_pushstring(L, os_key_from_scancode((int)sat_i32(a))); return 1;
    case 307: r = p ? p->is_system : 0; break;
    case 308: r = get_total_num_buffers(); break;
    case 309: r = (double)get_total_buffer_allocation(); break;
    case 310: r = pdisk_count_slots_by_kind(2); break;
    case 311: r = pdisk_count_slots_by_kind(0); break;
    case 312: r = p && a >= 0 && a <= 0xffffff ? p->mem.page_len[a >> 12] : 0; break;
    case 313: r = p ? (double)p->ram_bytes : 0; break;
    case 314: r = 3.141592653589793; break;
    case 315: r = config.headless; break;
    case 316: lua_pushstring(L, config.start_path); return 1;
    case 317: r = app.extra_cart_present ? 3 : 1; break;
    case 320: r = app.gif_recording ? 1 : 0; break;
    case 321: r = app.gif_recording ? app.gif_frame_count / 2 : 0; break;
    case 322: r = app.audio_capture_on ? 1 : 0; break;
    case 330: r = app.slow_mode ? 1 : 0; break;
    case 464: {
        if (!p) { lua_pushinteger(L, 0); return 1; }
        uint64_t clock = p->frame_clock + 1;
        if (p->chan_mask_clock != clock) {
            audio_op_start((int64_t)p->pid, 0);
            p->chan_mask = sonk_get_active_channels();
            audio_op_end();
            p->chan_mask_clock = clock;
        }
        lua_pushinteger(L, p->chan_mask);
        return 1;
    }
    case 465: {
        if (!p) break;
        audio_op_start((int64_t)p->pid, 0);
        int64_t n = clamp_samples(sonk_get_channel_state(-1, -1, audio_dat), 4);
        write_i16s(p, b, (const int16_t*)audio_dat, 2 * n);
        audio_op_end();
        spend_cpu(n / 2);
        r = (double)n;
        break;
    }
    case 466: case 467: {
        if (!p) { lua_pushinteger(L, -1); return 1; }
        audio_op_start((int64_t)p->pid, 0);
        int64_t v = sonk_get_music_state(code == 466 ? 0 : 1);
        audio_op_end();
        lua_pushinteger(L, v);
        return 1;
    }
    case 985: r = app.boot_finished ? 1 : 0; break;
    case 986: r = app.signal_36; break;
    case 987: r = (double)boot_get_time(); break;
    case 988:
        start_frame();
        r = os_key_state(224) && os_key_state(228) ? 1 : 0;
        break;
    default:
        if (code >= 400 && code <= 415) {
            r = p && app.audio_focus_pid == (int64_t)p->pid ? (double)channel_stat(p, (int)(code - 400), a, b) : -1;
        }
        break;
    }
    lua_pushnumber(L, r);
    return 1;
}

const ApiEntry general_api[] = {
    {"deli", lua54_deli},
    {"add", lua54_add},
    {"del", lua54_del},
    {"count", lua54_count},
    {"time", lua54_time},
    {"t", lua54_time},
    {"stat", lua54_stat},
    {"date", lua54_date},
    {"rnd", lua54_rnd},
    {"srand", lua54_srand},
    {"abs", lua54_abs},
    {"sgn", lua54_sgn},
    {"max", lua54_max},
    {"min", lua54_min},
    {"mid", lua54_mid},
    {"sqrt", lua54_sqrt},
    {"cos", lua54_cos},
    {"sin", lua54_sin},
    {"atan2", lua54_atan2},
    {"flr", lua54_flr},
    {"ceil", lua54_ceil},
    {nullptr, nullptr},
};
