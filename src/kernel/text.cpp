// Byte-string globals: chr, ord, split and the editor's one-token scanner.
#include <cstring>
#include <string>
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "kernel/text.h"
#include "lua.h"
#include "lauxlib.h"

static int lua54_chr(lua_State* L) {
    int n = lua_gettop(L);
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    for (int i = 1; i <= n; i++) luaL_addchar(&b, (char)(q64_intp(L, i, 0) & 0xff));
    luaL_pushresult(&b);
    spend_cpu(n);
    return 1;
}

// A position argument: numbers (and numeric strings) truncated toward zero.
static int64_t trunc_arg(lua_State* L, int i, int64_t dflt) {
    if (lua_isnoneornil(L, i)) return dflt;
    if (lua_isinteger(L, i)) return lua_tointeger(L, i);
    int ok = 0;
    double v = lua_tonumberx(L, i, &ok);
    return ok ? sat_f2i(v) : 0;
}

static int lua54_ord(lua_State* L) {
    int64_t pos = trunc_arg(L, 2, 1);
    int64_t n = q64_intp(L, 3, 1);
    if (n <= 0 || n > 65536) return 0;
    spend_cpu(n);
    size_t len = 0;
    const char* s = nullptr;
    int t = lua_type(L, 1);
    if (t == LUA_TSTRING || t == LUA_TNUMBER) s = lua_tolstring(L, 1, &len);
    if (!lua_checkstack(L, (int)n + 1)) return 0;
    for (int64_t k = 0; k < n; k++) {
        int64_t p = sat_add(pos, k);  // 1-based
        if (s && p >= 1 && (uint64_t)p <= len)
            lua_pushinteger(L, (unsigned char)s[p - 1]);
        else
            lua_pushnil(L);
    }
    return (int)n;
}

// Pushes piece s[0..n) as a string, or as a number when convert is set and it reads as one.
static void push_piece(lua_State* L, const char* s, size_t n, bool convert, std::string& scratch) {
    if (convert && n > 0) {
        scratch.assign(s, n);
        if (lua_stringtonumber(L, scratch.c_str()) == n + 1) return;
    }
    lua_pushlstring(L, s, n);
}

static int lua54_split(lua_State* L) {
    int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    bool convert = lua_isnone(L, 3) ? true : lua_toboolean(L, 3);
    spend_cpu((int64_t)len);
    std::string scratch;
    lua_Integer k = 0;

    if (lua_type(L, 2) == LUA_TNUMBER) {
        int64_t c = q64_intp(L, 2, 0);
        if (c > (int64_t)len) c = (int64_t)len;
        if (c < 1) c = 1;
        lua_createtable(L, (int)(len / (size_t)c + 1), 0);
        for (size_t i = 0; i < len; i += (size_t)c) {
            size_t m = len - i < (size_t)c ? len - i : (size_t)c;
            push_piece(L, s + i, m, convert, scratch);
            lua_rawseti(L, -2, ++k);
        }
        return 1;
    }

    size_t seplen = 1;
    const char* sep = ",";
    if (lua_type(L, 2) == LUA_TSTRING) sep = lua_tolstring(L, 2, &seplen);

    if (seplen == 0) {
        lua_createtable(L, (int)len, 0);
        for (size_t i = 0; i < len; i++) {
            unsigned char c = (unsigned char)s[i];
            if (convert && c >= '0' && c <= '9')
                lua_pushinteger(L, c - '0');
            else
                lua_pushlstring(L, s + i, 1);
            lua_rawseti(L, -2, ++k);
        }
        return 1;
    }

    bool is_sep[256] = {};
    for (size_t i = 0; i < seplen; i++) is_sep[(unsigned char)sep[i]] = true;
    lua_newtable(L);
    size_t start = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i == len || is_sep[(unsigned char)s[i]]) {
            push_piece(L, s + start, i - start, convert, scratch);
            lua_rawseti(L, -2, ++k);
            start = i + 1;
        }
    }
    return 1;
}

static bool is_ident_byte(unsigned char c) {
    return c == 0x1e || c == 0x1f || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
           c >= 0x80;
}
static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Finds "]" + level "=" + "]" at or after from; returns the index just past it, or 0.
static size_t find_long_close(const char* s, size_t len, size_t from, int64_t level) {
    for (size_t i = from; i < len; i++) {
        if (s[i] != ']') continue;
        size_t j = i + 1;
        int64_t eq = 0;
        while (eq < level && j < len && s[j] == '=') j++, eq++;
        if (eq == level && j < len && s[j] == ']') return j + 1;
    }
    return 0;
}

// Level of a long bracket "[" "="* "[" at p, or -1 when there is none.
static int long_open_level(const char* s, size_t len, size_t p) {
    if (p >= len || s[p] != '[') return -1;
    size_t j = p + 1;
    int level = 0;
    while (level < 60 && j < len && s[j] == '=') j++, level++;
    return j < len && s[j] == '[' ? level : -1;
}

TokenoidResult tokenoid_scan(const char* s, size_t len, size_t p, int64_t state) {
    TokenoidResult r{p, p + 1, 5, state};
    if (state & 0xf00) {
        size_t close = find_long_close(s, len, p, state & 0xff);
        r.kind = (int)((state >> 8) & 0xf);
        if (close) {
            r.end = close;
            r.state = 0;
        } else {
            r.end = len;
        }
        return r;
    }
    unsigned char c = (unsigned char)s[p];
    size_t i = p + 1;
    if (c == ' ' || c == '\t') {
        while (i < len && (s[i] == ' ' || s[i] == '\t')) i++;
        r.kind = 0;
    } else if (c == '[' && long_open_level(s, len, p) >= 0) {
        int level = long_open_level(s, len, p);
        size_t close = find_long_close(s, len, p + (size_t)level + 2, level);
        r.kind = 4;
        if (close) {
            i = close;
        } else {
            i = len;
            r.state = 0x400 + level;
        }
    } else if (is_ident_byte(c)) {
        while (i < len && (is_ident_byte((unsigned char)s[i]) || is_digit((unsigned char)s[i]))) i++;
        r.kind = 1;
    } else if (is_digit(c)) {
        for (; i < len; i++) {
            unsigned char d = (unsigned char)s[i];
            if (is_digit(d) || d == '.') continue;
            if (i == p + 1 && (d == 'b' || d == 'x')) continue;
            if (i >= p + 2 && d >= 'a' && d <= 'f') continue;
            break;
        }
        r.kind = 2;
    } else if (c == '"') {
        while (i < len) {
            if (s[i] == '\\' && i + 1 < len && (s[i + 1] == '\\' || s[i + 1] == '"')) {
                i += 2;
            } else if (s[i] == '"') {
                i++;
                break;
            } else {
                i++;
            }
        }
        r.kind = 4;
    } else if (c == '-' && i < len && s[i] == '-') {
        int level = long_open_level(s, len, p + 2);
        if (level >= 0) {
            size_t close = find_long_close(s, len, p + 2 + (size_t)level + 2, level);
            if (close) {
                i = close;
            } else {
                i = len;
                r.state = 0x300 + level;
            }
        } else {
            while (i < len && s[i] != '\n') i++;
        }
        r.kind = 3;
    }
    r.end = i;
    return r;
}

static int lua54_tokenoid(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    int64_t pos = lua_type(L, 2) == LUA_TNUMBER ? q64_intp(L, 2, 1) : 1;
    int64_t state = q64_intp(L, 3, 0);
    if (pos < 1 || (uint64_t)pos > len) return 0;
    TokenoidResult r = tokenoid_scan(s, len, (size_t)pos - 1, state);
    spend_cpu((int64_t)(r.end - r.start));
    lua_pushlstring(L, s + r.start, r.end - r.start);
    lua_pushinteger(L, (lua_Integer)r.end + 1);
    lua_pushinteger(L, r.kind);
    if (r.state & 0xf00) {
        lua_pushinteger(L, r.state);
        return 4;
    }
    return 3;
}

const ApiEntry text_api[] = {
    {"chr", lua54_chr},
    {"ord", lua54_ord},
    {"tokenoid", lua54_tokenoid},
    {"split", lua54_split},
    {nullptr, nullptr},
};
