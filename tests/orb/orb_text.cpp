// orb text: writer goldens, every reader form, failures, round trips.
#include <lz4.h>
#include <cstring>
#include <random>
#include <vector>

#include "orb/orb_fixture.h"
#include "kernel/cpu.h"
#include "storage/base64.h"
#include "storage/qxu.h"

namespace {

struct Case {
    const char* in;
    std::string out;
};

TEST(OrbWrite, PlainGoldens) {
    OrbLua lua;
    const Case cases[] = {
        {"{1,2,3}", "{1,2,3}"},
        {"{x=1,y=2,10}", "{x=1,y=2,10}"},
        {"{[0]=1,[-1]=2,a=3,['b c']=4,[3.5]=5}", "{a=3,[\"b c\"]=4,[-1]=2,[0]=1,[3.5]=5}"},
        {"2.0", "2"},
        {"-0.0", "-0"},
        {"0.1", "0.1"},
        {"1e20", "1e+20"},
        {"1/3", "0.33333333333333"},
        {"math.mininteger", "-9223372036854775808"},
        {"{1,nil,3}", "{1,nil,3}"},
        {"{['']=1}", "{[\"\"]=1}"},
        {"']\\200'", "\"\\093\\200\""},
        {"'a\\nb\"c\\\\d\\0\\t~'", "\"a\\nb\\\"c\\\\d\\000\\009~\""},
        {"{b=1,B=2,ab=3,a=4,_=5,a1=6}", "{B=2,_=5,a=4,a1=6,ab=3,b=1}"},
        {"{['1a']=1,['a-b']=2,['\\0']=3}", "{[\"\\000\"]=3,[\"1a\"]=1,[\"a-b\"]=2}"},
        {"{[1.5]=1,[-2]=2,[10]=3,[2^53]=4}", "{[-2]=2,[1.5]=1,[10]=3,[9007199254740992]=4}"},
        // Only string and number keys are kept; other values become nil.
        {"{[true]=1,[{}]=2,f=print,co=coroutine.create(print),5}", "{co=nil,f=nil,5}"},
        {"{{},{{}},{a={}}}", "{{},{{}},{a={}}}"},
        {"true", "true"},
        {"nil", "nil"},
        {"userdata('u8',2,1,'01ff')", "userdata(\"u8\",2,1,\"01ff\")"},
        {"userdata('u8',2,'01ff')", "userdata(\"u8\",2,\"01ff\")"},
        {"userdata('i16',3,'ffff00017fff')", "userdata(\"i16\",3,\"ffff00017fff\")"},
        {"userdata('i32',1,2,'deadbeef00000001')", "userdata(\"i32\",1,2,\"deadbeef00000001\")"},
        {"userdata('i64',1,'ffffffff00000002')", "userdata(\"i64\",1,\"ffffffff00000002\")"},
        {"vec(1.5,2,-0.25,1e300)", "userdata(\"f64\",4,\"1.5,2,-0.25,1e+300\")"},
        // The Lua core's texts for values no numeral spells; the reader takes them back.
        {"{math.huge,-math.huge,[math.huge]=1}", "{[inf]=1,inf,-inf}"},
    };
    for (const Case& c : cases) EXPECT_EQ(lua.write(c.in), c.out) << c.in;
}

TEST(OrbWrite, NumbersAndKeysAsTheLuaCoreWritesThem) {
    // The oracle is the Lua core's own tostring: values lose a final ".0", keys keep the text.
    OrbLua lua;
    EXPECT_EQ(lua.run(R"(
math.randomseed(4)
local vals = {0.0, -0.0, 1e14, 1e15, 1e16, 123456789012345.0, 2^63, -2^63, 2^70, 1e-5, 5e-324, math.pi,
              1.7976931348623157e308, -1/3, 100.0, 1e100, math.huge, -math.huge, 0.1, 1.5e-7}
for i = 1, 3000 do vals[#vals + 1] = (math.random() * 2 - 1) * 10.0 ^ math.random(-40, 40) end
for i = 1, 300 do vals[#vals + 1] = math.random(-1e6, 1e6) + 0.0 end
for _, v in ipairs(vals) do
  local want = tostring(v):gsub("%.0$", "")
  if orb(v) ~= want then return "value " .. tostring(v) .. " gave " .. orb(v) end
  local key = math.tointeger(v) or v
  if key ~= 1 then
    local kt = "{[" .. tostring(key) .. "]=1}"
    if orb({[v] = 1}) ~= kt then return "key " .. tostring(v) .. " gave " .. orb({[v] = 1}) end
  end
  if v == v and v ~= math.huge and v ~= -math.huge and unorb(orb(v)) ~= tonumber(want) then
    return "read " .. want
  end
end
-- The reserved flag bit changes nothing.
local t = {a = {1, 2.5, "x"}, [3.25] = true}
if orb(t, 8) ~= orb(t) or orb(t, 9) ~= orb(t, 1) then return "flag 8" end
return "ok")"),
              "ok");
}

TEST(OrbWrite, SelfContainingTablesEnd) {
    OrbLua lua;
    EXPECT_EQ(lua.write("(function() local t = {1} t[2] = t t.me = t return t end)()"), "{me=nil,1,nil}");
    // Shared (not cyclic) tables are written in full each time.
    EXPECT_EQ(lua.write("(function() local s = {7} return {s, s, {s}} end)()"), "{{7},{7},{{7}}}");
    // A cycle through two tables.
    EXPECT_EQ(lua.write("(function() local a, b = {}, {} a.b = b b.a = a return a end)()"), "{b={a=nil}}");
    // Nesting past the depth limit is cut, and what is written reads back.
    std::string deep = lua.write("(function() local t = {} for i = 1, 1000 do t = {t} end return t end)()");
    EXPECT_EQ(deep.find("{{{{"), 0u);
    EXPECT_NE(deep.find("nil"), std::string::npos);
    EXPECT_NE(lua.read(deep), "(fail)");
}

TEST(OrbWrite, FlagForms) {
    OrbLua lua;
    // Binary strings carry their length, also in keys' values and nested tables.
    EXPECT_EQ(lua.write("'ab'", ORB_BINARY_STR), bytes({'s', 't', 'r', 0, 2, 0, 0, 0, 'a', 'b'}));
    EXPECT_EQ(lua.write("{k=''}", ORB_BINARY_STR), std::string("{k=str") + bytes({0, 0, 0, 0, 0}) + "}");
    // u8 arrays as run-coded blocks; other element types stay text.
    std::string q = lua.write("userdata('u8',4,'05050507')", ORB_QXU);
    EXPECT_EQ(q, bytes({'q', 'x', 'u', 0, 0x03, 0x20, 0x04, 0x04, 0x25, 0x07}));
    EXPECT_EQ(lua.write("userdata('u8',4,'05050507')", ORB_QXU | ORB_RAW_QXU),
              bytes({'q', 'x', 'u', 0, 0x03, 0x10, 0x04, 5, 5, 5, 7}));
    EXPECT_EQ(lua.write("userdata('u8',4,'05050507')", ORB_RAW_QXU), "userdata(\"u8\",4,\"05050507\")");
    EXPECT_EQ(lua.write("userdata('i16',1,'0001')", ORB_QXU), "userdata(\"i16\",1,\"0001\")");
    EXPECT_EQ(lua.write("userdata('u8',2,1,'0102')", ORB_QXU),
              bytes({'q', 'x', 'u', 0, 0x43, 0x20, 2, 1, 4, 0x01, 0x02}));

    // base64 wrapping of the plain text.
    std::string b = lua.write("{1,2}", ORB_B64);
    EXPECT_EQ(b, "unorb(\"b64:ezEsMn0=\")");

    // lz4: magic, compressed size, plain size, one block that decodes to the plain text.
    std::string plain = lua.write("{a='xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx',1,2,3}");
    std::string z = lua.write("{a='xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx',1,2,3}", ORB_LZ4);
    ASSERT_GE(z.size(), 12u);
    EXPECT_EQ(z.substr(0, 4), std::string("lz4", 4));
    uint32_t c, p;
    memcpy(&c, z.data() + 4, 4);
    memcpy(&p, z.data() + 8, 4);
    EXPECT_EQ(c, z.size() - 12);
    EXPECT_EQ(p, plain.size());
    std::string back(p, 0);
    EXPECT_EQ(LZ4_decompress_safe(z.data() + 12, &back[0], (int)c, (int)p), (int)p);
    EXPECT_EQ(back, plain);
    // lz4 then base64.
    std::string zb = lua.write("{a='xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx',1,2,3}", ORB_LZ4 | ORB_B64);
    ASSERT_EQ(zb.substr(0, 11), "unorb(\"b64:");
    ByteBuffer* d = create_buffer_2(0, 111);
    base64_decode_append(d, zb.data() + 11, (int64_t)zb.size() - 13);
    EXPECT_EQ(std::string((char*)d->bytes, (size_t)d->length), z);
    destroy_buffer(d);
}

TEST(OrbWrite, QxuRunCodes) {
    OrbLua lua;
    // Element bytes as hex text; the blocks' run codes from the header on (after D).
    auto codes = [&](const std::string& hex, int w) {
        std::string s = lua.write("userdata('u8'," + std::to_string(w) + ",'" + hex + "')", ORB_QXU);
        size_t head = w > 255 ? 4 + 2 + 4 + 1 : 4 + 2 + 1 + 1;
        return s.substr(head);
    };
    auto rep = [](const char* h, int n) {
        std::string s;
        for (int i = 0; i < n; i++) s += h;
        return s;
    };
    EXPECT_EQ(codes(rep("09", 20), 20), bytes({0xF9, 4}));
    EXPECT_EQ(codes(rep("09", 16), 16), bytes({0xF9, 0}));
    EXPECT_EQ(codes(rep("09", 15), 15), bytes({0xE9}));
    EXPECT_EQ(codes(rep("01", 271), 271), bytes({0xF1, 255, 0}));
    EXPECT_EQ(codes("c8c9ca", 3), bytes({0x0F, 200, 0x0F, 201, 0x0F, 202}));
    // A value met again after others moves to the front; escapes replace the least recent.
    EXPECT_EQ(codes("0102010e0e", 5), bytes({0x01, 0x02, 0x01, 0x1E}));
    EXPECT_EQ(codes("0fc80e0f", 4), bytes({0x0F, 15, 0x0F, 200, 0x0F, 14, 0x0F, 15}));
    EXPECT_EQ(codes("0ec8c80d", 4), bytes({0x0E, 0x1F, 200, 0x0F, 13}));

    // 300 x 2 needs u32 sizes.
    std::string big = lua.write("userdata('u8',300,2)", ORB_QXU);
    EXPECT_EQ(big.substr(0, 14), bytes({'q', 'x', 'u', 0, 0x43, 0x28, 0x2C, 0x01, 0, 0, 2, 0, 0, 0}));
}

TEST(OrbRead, Forms) {
    OrbLua lua;
    const Case cases[] = {
        {"{1, 2}", "{1,2}"},
        {"{a= 1}", "{a=1}"},
        {"{ a=1}", "(fail)"},
        {"1 2", "1"},
        {"x", "(fail)"},
        {"   \t\n\x80\xff 7", "7"},
        {"2", "2"},
        {"-3.5e2", "-350"},
        {"1e", "(fail)"},
        {"--", "(fail)"},
        {"", "(fail)"},
        {"{", "(fail)"},
        {"{1,", "(fail)"},
        {"{1]", "{1}"},
        {"{1 2}", "{1,2}"},
        {"{,}", "(fail)"},
        {"{a}", "{}"},
        {"{a,b=2,3}", "{b=2,3}"},
        {"{a=}", "(fail)"},
        {"{a:1}", "(fail)"},
        {"{[1]=5,[2]=6}", "{5,6}"},
        {"{[\"k\"]=1,[2.5]=true}", "{k=1,[2.5]=true}"},
        {"{[1=2}", "(fail)"},
        {"{true,false,nil,3}", "{true,false,nil,3}"},
        {"{true=1,nil=2,false=3}", "{false=3,nil=2,true=1}"},
        {"trueabc", "true"},
        {"nilx", "nil"},
        {"\"a\\qb\"", "\"a\\000qb\""},
        {"\"\\300\\65\\0659\"", "\",AA9\""},
        {"\"\\n\\\\\\\"\"", "\"\\n\\\\\\\"\""},
        {"\"abc", "(fail)"},
        {"\"ab\\", "(fail)"},
        {"unorb(\"b64:ezEsMn0=\")", "{1,2}"},
        {"{unorb(\"b64:ezEsMn0=\"),3}", "{{1,2},3}"},
        {"b64:MQ==", "1"},
        {"unorb(\"b64:\")", "(fail)"},
        // A header inside a wrapped text is read past; its metadata is not left behind.
        {"unorb(\"b64:LS1bW29yYiB4PTFdXQp7NX0=\")", "{5}"},
        {"userdata(\"u8\",2,1,\"01ff\")", "userdata(\"u8\",2,1,\"01ff\")"},
        {"userdata(\"[gfx]0201z_\")", "userdata(\"u8\",2,1,\"233e\")"},
        {"userdata(\"f64\",3,\"1.5,2\")", "userdata(\"f64\",3,\"1.5,2,0\")"},
        // Missing element digits read 0; bytes after the element text are never taken as elements.
        {"{userdata(\"u8\",4,\"01\"),\"ab\"}", "{userdata(\"u8\",4,\"01000000\"),\"ab\"}"},
        {"userdata(\"u8\",0,\"\")", "(fail)"},
        {"userdata(\"u8\",1,1,1,\"01\")", "(fail)"},
        {"userdata(\"u8\",2,\"01", "(fail)"},
        {"userdata(\"u8", "(fail)"},
        {"{inf,-inf,[inf]=1}", "{[inf]=1,inf,-inf}"},
        {"-nan", "nan"},
        // A nil or NaN key is a damaged text, not an error in the reading process.
        {"{[nil]=1}", "(fail)"},
        {"{[nan]=1}", "(fail)"},
        {"{[nil]}", "{}"},
    };
    for (const Case& c : cases) EXPECT_EQ(lua.read(c.in), c.out) << c.in;
}

TEST(OrbRead, Headers) {
    OrbLua lua;
    const Case cases[] = {
        {"--[[orb]]\n{1}", "{1} | {}"},
        {"--[[orb]]{1}", "{1} | {}"},
        {"--[[orb,title=\"x\",n=3]]\n\"v\"", "\"v\" | {n=3,title=\"x\"}"},
        // A blank after the bare key is bad metadata: the value alone.
        {"--[[orb title=\"x\"]]\n\"v\"", "\"v\""},
        {"--[[orb_format=\"raw\"]]\nhello", "\"hello\" | {orb_format=\"raw\"}"},
        {"--[[orb_format=\"raw\",title=\"t\"]]\n{not orb}", "\"{not orb}\" | {orb_format=\"raw\",title=\"t\"}"},
        {"--[[orb]]\n", "(fail)"},
        {"--[[orb]]\nx", "(fail)"},
        // Bad metadata: the value alone.
        {"--[[orb x=]]\n5", "5"},
        {"--[[orb\n5", "(fail)"},
    };
    for (const Case& c : cases) EXPECT_EQ(lua.read(c.in), c.out) << c.in;

    const char* t = "--[[orb,a=1]]\nrest";
    EXPECT_EQ(find_metadata_length(t, (int64_t)strlen(t)), 14);
    EXPECT_EQ(find_metadata_length("--[[orb]]x", 10), 9);
    EXPECT_EQ(find_metadata_length("--[[orb", 7), 7);
    EXPECT_EQ(find_metadata_length("--[[or]]", 8), 0);
    lua_settop(lua.L, 0);
    ASSERT_EQ(destringify_object_metadata(lua.L, t, (int64_t)strlen(t)), 1);
    EXPECT_EQ(lua.text_of(1), "{a=1}");
    lua_settop(lua.L, 0);
}

TEST(OrbRead, BinaryFormsAreBoundedByTheirLengths) {
    OrbLua lua;
    std::string str5 = std::string("str") + bytes({0, 5, 0, 0, 0}) + std::string("ab\0de", 5);
    EXPECT_EQ(lua.read(str5), "\"ab\\000de\"");
    EXPECT_EQ(lua.read(str5.substr(0, str5.size() - 1)), "(fail)");
    EXPECT_EQ(lua.read(std::string("str") + bytes({0, 0xff, 0xff, 0xff, 0xff}) + "x"), "(fail)");
    EXPECT_EQ(lua.read(std::string("str", 4)), "(fail)");

    std::string z = lua.write("{a='xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx',1,2,3}", ORB_LZ4);
    EXPECT_EQ(lua.read(z), lua.write("{a='xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx',1,2,3}"));
    for (size_t cut = 0; cut < z.size(); cut++) EXPECT_EQ(lua.read(z.substr(0, cut)), "(fail)") << cut;
    // A recorded plain size that differs from the block's.
    for (int delta : {-1, 1, 1 << 20}) {
        std::string bad = z;
        uint32_t p;
        memcpy(&p, bad.data() + 8, 4);
        p += (uint32_t)delta;
        memcpy(&bad[8], &p, 4);
        EXPECT_EQ(lua.read(bad), "(fail)") << delta;
    }
    // A recorded compressed size past the end.
    std::string bad = z;
    bad[4] = (char)0xff;
    bad[5] = (char)0xff;
    EXPECT_EQ(lua.read(bad), "(fail)");

    std::string q = lua.write("userdata('u8',4,'05050507')", ORB_QXU);
    EXPECT_EQ(lua.read(q), "userdata(\"u8\",4,\"05050507\")");
    for (size_t cut = 0; cut < q.size(); cut++) EXPECT_EQ(lua.read(q.substr(0, cut)), "(fail)") << cut;
    std::string badD = q;
    badD[7] = 7;  // index bits past 6
    EXPECT_EQ(lua.read(badD), "(fail)");
    badD[7] = 0;
    EXPECT_EQ(lua.read(badD), "(fail)");
    // Sizes no array may have.
    EXPECT_EQ(lua.read(bytes({'q', 'x', 'u', 0, 0x43, 0x28, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 4, 0})), "(fail)");
    EXPECT_EQ(lua.read(bytes({'q', 'x', 'u', 0, 0x83, 0x10, 1, 1, 1, 5})), "(fail)");  // three dimensions
    // The older layout: u32 sizes, the type, then run codes with 2 dimensions.
    EXPECT_EQ(lua.read(bytes({'q', 'x', 'u', 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 3, 4, 0x15})),
              "userdata(\"u8\",2,1,\"0505\")");
}

TEST(OrbRead, NestingIsLimited) {
    OrbLua lua;
    auto nest = [](int n) { return std::string(n, '{') + std::string(n, '}'); };
    EXPECT_NE(lua.read(nest(200)), "(fail)");
    EXPECT_EQ(lua.read(nest(100000)), "(fail)");
    std::string bomb;
    for (int i = 0; i < 20000; i++) bomb += "unorb(\"";
    EXPECT_EQ(lua.read(bomb + "1"), "(fail)");
}

TEST(OrbRoundTrip, LongStrings) {
    OrbLua lua;
    // Longer than any fixed scratch buffer; every byte value.
    std::string s(20u << 20, 0);
    for (size_t i = 0; i < s.size(); i++) s[i] = (char)(i * 7 + i / 251);
    for (int flags : {0, (int)ORB_BINARY_STR, (int)ORB_LZ4}) {
        lua_settop(lua.L, 0);
        lua_pushlstring(lua.L, s.data(), s.size());
        std::string t = lua.text_of(1, flags);
        lua_settop(lua.L, 0);
        ASSERT_EQ(destringify_object(lua.L, t.data(), (int64_t)t.size()), 1) << flags;
        size_t n;
        const char* r = lua_tolstring(lua.L, 1, &n);
        ASSERT_TRUE(r);
        EXPECT_TRUE(n == s.size() && memcmp(r, s.data(), n) == 0) << flags;
        lua_settop(lua.L, 0);
    }
    // Plain text a quarter of the text limit long: only the bytes it really needs count.
    std::string plain(ORB_MAX_TEXT / 4 + 10, 'q');
    lua_pushlstring(lua.L, plain.data(), plain.size());
    EXPECT_EQ(lua.text_of(1).size(), plain.size() + 2);
    lua_settop(lua.L, 0);
}

// Random nested values, written with every flag combination and read back equal.
const char* const random_values = R"LUA(
local seed = ...
math.randomseed(seed)
local R = math.random
local function rstr()
  local n = R(0, 3) == 0 and R(0, 300) or R(0, 12)
  local t = {}
  for i = 1, n do t[i] = string.char(R(0, 255)) end
  if R(0, 4) == 0 then return "]]--[[orb" .. table.concat(t) end
  return table.concat(t)
end
local types = {"u8", "i16", "i32", "i64", "f64"}
local function rarray()
  local ty = types[R(1, 5)]
  local w, h = R(1, 40), R(0, 3)
  local a = h == 0 and userdata(ty, w) or userdata(ty, w, h)
  for i = 0, #a - 1 do
    if ty == "f64" then a[i] = R(-100000, 100000) / 64
    elseif ty == "u8" then a[i] = R(0, 3) == 0 and R(0, 255) or 7
    else a[i] = R(math.mininteger, math.maxinteger) end
  end
  return a
end
local function rnum()
  local k = R(1, 6)
  if k == 1 then return R(math.mininteger, math.maxinteger)
  elseif k == 2 then return R(-1000, 1000)
  elseif k == 3 then return R(-1000000, 1000000) / 1024
  elseif k == 4 then return ({math.huge, -math.huge, 1e300, -1e-300, 1e15, 0.5})[R(1, 6)]
  elseif k == 5 then return R(-100, 100) + 0.0
  else return 0/0 end
end
local function rvalue(depth)
  local k = R(1, depth > 3 and 5 or 7)
  if k == 1 then return rnum()
  elseif k == 2 then return rstr()
  elseif k == 3 then return R(0, 1) == 1
  elseif k == 4 then return rarray()
  elseif k == 5 then return R(-5, 5)
  else
    local t = {}
    for i = 1, R(0, 6) do t[i] = rvalue(depth + 1) end
    for i = 1, R(0, 6) do
      local key
      local kk = R(1, 4)
      if kk == 1 then key = rstr() elseif kk == 2 then key = "k" .. R(1, 99)
      elseif kk == 3 then key = R(-50, 50) else key = R(-1000, 1000) / 8 end
      if key == key then t[key] = rvalue(depth + 1) end
    end
    return t
  end
end
return rvalue(0)
)LUA";

const char* const deep_equal = R"LUA(
local function eq(a, b)
  if type(a) == "number" and type(b) == "number" then
    if a ~= a then return b ~= b end
    return a == b
  end
  if type(a) ~= type(b) then return false end
  if type(a) == "userdata" then
    local w1, h1, t1, d1 = a:attribs()
    local w2, h2, t2, d2 = b:attribs()
    if w1 ~= w2 or h1 ~= h2 or t1 ~= t2 or d1 ~= d2 then return false end
    for i = 0, #a - 1 do if not eq(a[i], b[i]) then return false end end
    return true
  end
  if type(a) ~= "table" then return a == b end
  for k, v in pairs(a) do if not eq(v, b[k]) then return false end end
  for k, v in pairs(b) do if a[k] == nil then return false end end
  return true
end
return eq
)LUA";

TEST(OrbRoundTrip, RandomNestedValuesEveryFlagSet) {
    OrbLua lua;
    ASSERT_EQ(luaL_dostring(lua.L, deep_equal), LUA_OK);
    lua_setglobal(lua.L, "deep_eq");
    const int flag_sets[] = {0, 1, 2, 3, 4, 6, 0x11, 0x13, 0x20, 0x21, 0x23, 0x27, 0x37};
    for (int seed = 1; seed <= 60; seed++) {
        lua_settop(lua.L, 0);
        ASSERT_EQ(luaL_loadstring(lua.L, random_values), LUA_OK);
        lua_pushinteger(lua.L, seed);
        ASSERT_EQ(lua_pcall(lua.L, 1, 1, 0), LUA_OK) << lua_tostring(lua.L, -1);
        for (int flags : flag_sets) {
            std::string t = lua.text_of(1, flags);
            if (flags == 0) {
                // Plain text is printable.
                for (char c : t) ASSERT_TRUE(c >= 0x20 && c <= 0x7e) << seed;
            }
            ASSERT_EQ(destringify_object(lua.L, t.data(), (int64_t)t.size()), 1) << seed << " " << flags << " " << t;
            lua_getglobal(lua.L, "deep_eq");
            lua_pushvalue(lua.L, 1);
            lua_pushvalue(lua.L, 2);
            lua_call(lua.L, 2, 1);
            EXPECT_TRUE(lua_toboolean(lua.L, -1)) << "seed " << seed << " flags " << flags << "\n" << t;
            lua_settop(lua.L, 1);
        }
    }
}

TEST(OrbRoundTrip, QxuBlocksOfEveryShape) {
    // Random bitmaps through the run coder with every D, and the raw form.
    OrbLua lua;
    std::mt19937 rng(11);
    for (int t = 0; t < 200; t++) {
        int w = 1 + (int)(rng() % (t < 100 ? 40 : 700)), h = 1 + (int)(rng() % 5);
        TypedArray* a = create_typed_array(lua.L, UT_U8, 2, w, h);
        ASSERT_TRUE(a);
        int colours = 1 + (int)(rng() % 256);
        for (int64_t i = 0; i < ta_count(a);) {
            int run = 1 + (int)(rng() % (rng() % 4 == 0 ? 600 : 5));
            uint8_t v = (uint8_t)(rng() % colours);
            for (; run-- && i < ta_count(a); i++) ta_data(a)[i] = v;
        }
        for (int D = 0; D <= 6; D++) {
            ByteBuffer* b = create_buffer_2(0, 111);
            int64_t n = write_binary_qxu(a, b, D);
            EXPECT_EQ(n, b->length);
            EXPECT_EQ(get_binary_qxu(lua.L, b->bytes, b->length), n) << t << " D " << D;
            TypedArray* back = to_typed_array(lua.L, -1);
            ASSERT_TRUE(back);
            EXPECT_EQ(back->width, a->width);
            EXPECT_EQ(back->height, a->height);
            EXPECT_EQ(memcmp(ta_data(back), ta_data(a), (size_t)ta_count(a)), 0) << t << " D " << D;
            lua_pop(lua.L, 1);
            destroy_buffer(b);
        }
        lua_pop(lua.L, 1);
    }
}

TEST(OrbLua, Globals) {
    OrbLua lua;
    const Case cases[] = {
        {"return orb({1,x=2})", "{x=2,1}"},
        {"return orb({1}, 0, 'P:')", "P:{1}"},
        {"return orb(5, 0, 12)", "125"},
        {"return select('#', orb())", "0"},
        {"return orb(nil)", "nil"},
        {"return _orb('s', 4)", "unorb(\"b64:InMi\")"},
        {"return unorb(orb({a={b={1,2}}})).a.b[2]", "2"},
        {"return select(2, unorb('--[[orb,t=1]]\\n{}')).t", "1"},
        {"return select('#', unorb('{[nil]=1}'))", "0"},
        {"return select('#', unorb({}))", "0"},
        {"return select('#', unorb())", "0"},
        {"return unorb(42)", "42"},
        {"return unorb(orb('x', 0x27))", "x"},
        {"return math.type(unorb(orb(3.0)))", "integer"},
        {"return unorb(orb(math.huge)) == math.huge", "true"},
    };
    for (const Case& c : cases) EXPECT_EQ(lua.run(c.in), c.out) << c.in;
}

TEST(OrbCharges, WriterAndReaderSpendCycles) {
    OrbLua lua;
    lua.push("userdata('i32', 1000)");
    cpu_cycles = 0;
    std::string t = lua.text_of(1);
    EXPECT_EQ(cpu_cycles, 2 + 1000 * 32 / 32);
    lua_settop(lua.L, 0);
    cpu_cycles = 0;
    destringify_object(lua.L, t.data(), (int64_t)t.size());
    EXPECT_EQ(cpu_cycles, 1 + 1000);
    lua_settop(lua.L, 0);
    std::string s = "\"" + std::string(4000, 'a') + "\"";
    cpu_cycles = 0;
    destringify_object(lua.L, s.data(), (int64_t)s.size());
    EXPECT_EQ(cpu_cycles, 1 + 1000);
    lua_settop(lua.L, 0);

    // The wrapped forms: a string of 4000 bytes, its plain text 4002 bytes, its base64 5336.
    struct {
        int flags;
        int64_t write, read;
    } forms[] = {
        {ORB_BINARY_STR, 2 + 1000, 1},  // reading a binary string costs the value alone
        {ORB_LZ4, 2 + 1000 + 4002 / 8, 1 + 4002 / 12 + 1 + 1000},
        {ORB_B64, 2 + 1000 + 5336 / 8, 2 + 4002 / 12 + 1 + 1000},
    };
    for (auto& f : forms) {
        lua.push("string.rep('a', 4000)");
        cpu_cycles = 0;
        std::string t = lua.text_of(1, f.flags);
        EXPECT_EQ(cpu_cycles, f.write) << f.flags;
        lua_settop(lua.L, 0);
        cpu_cycles = 0;
        EXPECT_EQ(destringify_object(lua.L, t.data(), (int64_t)t.size()), 1);
        EXPECT_EQ(cpu_cycles, f.read) << f.flags;
        lua_settop(lua.L, 0);
    }
}

}  // namespace
