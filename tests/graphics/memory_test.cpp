// The paged address space and the memory globals.
#include <random>
#include <vector>

#include "gfx_fixture.h"

using Memory = GfxTest;

TEST_F(Memory, FirstTouchReadsAndWrites) {
    int64_t ram = p->ram_bytes;
    EXPECT_EQ(lua("return peek(0x12345)"), "0");
    EXPECT_EQ(p->ram_bytes, ram + 4096);
    EXPECT_EQ(lua("return peek(0x12346), stat(313)"), "0, " + std::to_string(ram + 4096) + ".0");
    EXPECT_EQ(p->mem.flag[0x12], 0);  // a read leaves no change mark

    EXPECT_EQ(lua("poke2(0x1FFF, 0x1234) return peek(0x1FFF), peek(0x2000)"), "52, 18");
    EXPECT_EQ(p->mem.flag[1], 0xFF);
    EXPECT_EQ(p->mem.flag[2], 0xFF);
    // Addresses wrap on 24 bits.
    EXPECT_EQ(lua("poke(0, 77) return peek(0x1000000), peek(-0x1000000), peek(0x1000000.9)"), "77, 77, 77");
}

TEST_F(Memory, PeekAndPokeWidths) {
    EXPECT_EQ(lua("poke(0x3000, 0xff, 0xff, 0xff, 0xff) return peek2(0x3000), peek4(0x3000), peek(0x3000)"),
              "-1, -1, 255");
    EXPECT_EQ(lua("poke8(0x3000, -2) return peek8(0x3000), peek4(0x3004)"), "-2, -1");
    EXPECT_EQ(lua("return peek(0x3000, 3)"), "254, 255, 255");
    EXPECT_EQ(lua("return select('#', peek(0x3000, 0)), select('#', peek(0x3000, 65537))"), "0, 0");
    EXPECT_EQ(lua("return select('#', peek2(0x3000, 65536))"), "65536");
    // Values of poke4/poke8 convert exactly or write 0; poke2 reads leniently.
    EXPECT_EQ(lua("poke4(0x3000, 1.5, '7', 8.0) return peek4(0x3000, 3)"), "0, 7, 8");
    EXPECT_EQ(lua("poke2(0x3000, 1.9, '3.5', {}) return peek2(0x3000, 3)"), "1, 3, 0");
    EXPECT_EQ(lua("poke(0x3000) return peek(0x3000)"), "1");  // no value: nothing written
    EXPECT_EQ(lua("poke(0x3000, 0x1ff) return @0x3000, %0x3000, $0x3000"), "255, 255, 196863");
    // peek takes numbers only for its address; peek4 reads strings too.
    EXPECT_EQ(lua("poke(0, 9) poke4(16, 5) return peek('16'), peek4('16')"), "9, 5");
}

TEST_F(Memory, Charges) {
    EXPECT_EQ(charge("peek, 0x3000"), 1);  // n - 1, charged even for one value
    EXPECT_EQ(charge("peek, 0x3000, 10"), 9);
    EXPECT_EQ(charge("peek2, 0x3000"), 0);
    EXPECT_EQ(charge("peek4, 0x3000, 5"), 4);
    EXPECT_EQ(charge("poke, 0x3000, 1"), 0);
    EXPECT_EQ(charge("poke, 0x3000, 1, 2, 3"), 2);
    EXPECT_EQ(charge("memset, 0x3000, 7, 0x1000"), 33);
    EXPECT_EQ(charge("memset, 0x3000, 7, 0"), 0);
    EXPECT_EQ(charge("memcpy, 0x1001, 0x1000, 4"), 0);  // overlapping: n / 8
    EXPECT_EQ(charge("memcpy, 0x4000, 0x4000, 100"), 0);
    EXPECT_EQ(charge("memcpy, 0x1000, 0x2800, 0x1000"), 2 * (2048 / 128 + 1));
    EXPECT_EQ(charge("memcpy, 0x1000, 0x1800, 0x1000"), 0x1000 / 8);
    EXPECT_EQ(charge("_ppeek, 1, 0"), 0);
    EXPECT_EQ(charge("_unmap_ram, userdata('u8', 8)"), 4);
}

TEST_F(Memory, MemcpyAndMemset) {
    EXPECT_EQ(lua("poke(0x1000, 1, 2, 3, 4, 5) memcpy(0x1001, 0x1000, 4) return peek(0x1000, 5)"), "1, 1, 2, 3, 4");
    EXPECT_EQ(lua("poke(0x1000, 1, 2, 3, 4, 5) memcpy(0x1000, 0x1001, 4) return peek(0x1000, 5)"), "2, 3, 4, 5, 5");
    EXPECT_EQ(lua("memset(0x1000, 0x1AB, 3) return peek(0x1000, 4)"), "171, 171, 171, 5");
    EXPECT_EQ(lua("memset(0x1000, 9, -5) memcpy(0x1000, 0x2000, -1) return peek(0x1000)"), "171");
    // A range past 0xFFFFFF continues at 0; overlap is decided on that circle.
    EXPECT_EQ(lua("poke(0xFFFFFE, 1, 2) poke(0, 3, 4) memcpy(0xFFFFFF, 0xFFFFFE, 4) return peek(0xFFFFFE, 2), "
                  "peek(0, 3)"),
              "1, 2, 3, 4");
    // The same array mapped twice: the copy acts as if through a temporary.
    EXPECT_EQ(lua("local a = userdata('u8', 8192) for i = 0, 8191 do a[i] = i & 0xff end "
                  "_map_ram(a, 0x20000) _map_ram(a, 0x30000, 0, 4096) "
                  "memcpy(0x20000 + 10, 0x30000, 4000) return a[9], a[10], a[11], a[4009], a[4010]"),
              "9, 0, 1, 159, 170");
    EXPECT_EQ(lua("memset(0x40000, 5, 0x2000000) return peek(0x40000 + 0xFFFFFF), peek(0x3FFFF)"), "5, 5");
}

// Copies and fills are checked against a byte-at-a-time model over random
// mappings, partial pages and wrapping ranges.
TEST_F(Memory, BulkOperationsMatchByteModel) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; round++) {
        ASSERT_EQ(lua("A = userdata('u8', 10000) B = userdata('u8', 6000) "
                      "for i = 0, 9999 do A[i] = (i * 7) & 0xff end for i = 0, 5999 do B[i] = (i * 13) & 0xff end "
                      "_unmap_ram(A) _unmap_ram(B) "
                      "_map_ram(A, 0x50000) _map_ram(B, 0x53000) _map_ram(A, 0x60000, 4096, 5000)"),
                  "");
        auto pick = [&] {
            const uint32_t bases[] = {0x50000, 0x52F00, 0x53000 + 5990, 0x60000, 0xFFFF00, 0x1FF0};
            return bases[rng() % 6] + rng() % 300;
        };
        uint32_t dst = pick(), src = pick(), n = rng() % 9000;
        std::vector<uint8_t> model(0x1000000);
        auto region = [&](uint32_t a) { return a & 0xFFFFFF; };
        // The model is the address space read byte by byte before the operation.
        std::vector<uint32_t> probe;
        for (uint32_t i = 0; i < n + 600; i++) {
            probe.push_back(region(dst - 300 + i));
            probe.push_back(region(src - 300 + i));
        }
        for (uint32_t a : probe) model[a] = peek_proc(p, a);
        bool fill = rng() % 3 == 0;
        std::string call = fill ? "memset(" + std::to_string(dst) + ", 77, " + std::to_string(n) + ")"
                                : "memcpy(" + std::to_string(dst) + ", " + std::to_string(src) + ", " +
                                      std::to_string(n) + ")";
        ASSERT_EQ(lua(call), "");
        std::vector<uint8_t> tmp(n);
        for (uint32_t i = 0; i < n; i++) tmp[i] = fill ? 77 : model[region(src + i)];
        // Mapped aliases: bytes of A seen at 0x50000 + 4096 + k and 0x60000 + k are one byte.
        auto alias = [&](uint32_t a, uint8_t v) {
            model[a] = v;
            if (a >= 0x51000 && a < 0x51000 + 5000) model[a - 0x51000 + 0x60000] = v;
            if (a >= 0x60000 && a < 0x60000 + 5000) model[a - 0x60000 + 0x51000] = v;
        };
        for (uint32_t i = 0; i < n; i++) alias(region(dst + i), tmp[i]);
        for (uint32_t a : probe) ASSERT_EQ(peek_proc(p, a), model[a]) << call << " at " << std::hex << a;
    }
}

TEST_F(Memory, MappedArrays) {
    // 5,000 bytes at 0x20000: the array, then page 0x21's own memory.
    EXPECT_EQ(lua("M = userdata('u8', 5000) M[0] = 11 M[4999] = 22 return _map_ram(M, 0x20000)"), "5000");
    EXPECT_EQ(lua("return peek(0x20000), peek(0x21387), peek(0x21388), stat(312, 0x21000)"), "11, 22, 0, 904.0");
    EXPECT_EQ(lua("poke(0x21388, 5) return M[4999], peek(0x21388)"), "22, 5");
    // Below 0x10000 only whole pages are mapped.
    EXPECT_EQ(lua("poke(0x9000, 3) return _map_ram(M, 0x8000), peek(0x8000), peek(0x9000), stat(312, 0x9000)"),
              "5000, 11, 3, 4096.0");
    EXPECT_EQ(lua("return _map_ram(userdata('f64', 4), 0x20000)"), "");
    EXPECT_EQ(lua("local a = userdata('u8', 16) for i = 0, 15 do a[i] = i end "
                  "return _map_ram(a, 0x70000, 6), peek(0x70000), _map_ram(a, 0x70000, 16), _map_ram(a, 0x70000, -1)"),
              "12, 4, nil");
    EXPECT_EQ(lua("return _map_ram(M, 0x70000, 0, 0), _map_ram(M, 0x70000, 0, -5), _map_ram(7, 0x70000)"), "0, -5");
    // Lengths are clipped to the array and to the last page; nothing wraps to page 0.
    EXPECT_EQ(lua("return _map_ram(M, 0x70000, 0, 99999)"), "5000");
    EXPECT_EQ(lua("poke(0, 1) local big = userdata('u8', 16384) big[0] = 9 "
                  "return _map_ram(big, 0xFFF000), peek(0xFFF000), peek(0)"),
              "4096, 9, 1");

    EXPECT_EQ(lua("return _unmap_ram(M), peek(0x20000), peek(0x21388), stat(312, 0x20000)"), "true, 0, 5, 4096.0");
    // A page with no memory of its own is untouched again.
    EXPECT_EQ(lua("local a = userdata('u8', 4096) _map_ram(a, 0x90000) _unmap_ram(a) return stat(312, 0x90000)"), "0.0");
    // A range that leaves pages of the array mapped says so.
    EXPECT_EQ(lua("local a = userdata('u8', 8192) _map_ram(a, 0xA0000) "
                  "return _unmap_ram(a, 0xA0000, 4096), stat(312, 0xA1000), _unmap_ram(a)"),
              "false, 4096.0, true");
}

TEST_F(Memory, MappingsKeepArraysAlive) {
    // A weak table sees whether the collector freed an array.
    ASSERT_EQ(lua("W = setmetatable({}, {__mode = 'v'}) "
                  "do local a = userdata('u8', 8192) a[5000] = 42 W.m = a _map_ram(a, 0x40000) _map_ram(a, 0x50000) end "
                  "do local t = userdata('u8', 32, 32) W.t = t _set_draw_target(t) end "
                  "do local m = userdata('i16', 8, 8) W.map = m _map_ram(m, 0x100000) end "
                  "collectgarbage() collectgarbage()"),
              "");
    EXPECT_EQ(lua("return W.m ~= nil, W.t ~= nil, W.map ~= nil, peek(0x41388), peek(0x51388)"), "true, true, true, 42, 42");
    EXPECT_EQ(lua("pset(3, 3, 9) return W.t:get(3, 3) ~= nil"), "true");
    // Unmapping one of two mappings keeps it; replacing target and map lets go.
    EXPECT_EQ(lua("_unmap_ram(W.m, 0x40000) collectgarbage() collectgarbage() return W.m ~= nil"), "true");
    EXPECT_EQ(lua("_unmap_ram(W.m) _set_draw_target(userdata('u8', 4, 4)) _map_ram(userdata('u8', 16), 0x100000) "
                  "collectgarbage() collectgarbage() return W.m, W.t, W.map"),
              "nil, nil, nil");
    // Mapping over a mapping drops the old array's pages.
    EXPECT_EQ(lua("do local a = userdata('u8', 4096) W.a = a _map_ram(a, 0x60000) end "
                  "_map_ram(userdata('u8', 4096), 0x60000) collectgarbage() collectgarbage() return W.a"),
              "nil");
    EXPECT_EQ(p->mem.current_map, nullptr);  // a u8 array at 0x100000 clears the current map
}

TEST_F(Memory, OtherProcessesAreReadWithoutTouching) {
    Process* q = create_process_from_code("", "other", "/other.lua");
    ASSERT_NE(q, nullptr);
    poke_proc(q, 0x3000, 0xFE);
    poke_proc(q, 0x3001, 0xFF);
    poke_proc(q, 0x3002, 0xFF);
    poke_proc(q, 0x3003, 0xFF);
    int64_t ram = q->ram_bytes;
    std::string pid = std::to_string(q->pid);
    EXPECT_EQ(lua("return _ppeek(" + pid + ", 0x3000), _ppeek4(" + pid + ", 0x3000), _ppeek(" + pid +
                  ", 0x777777), _ppeek(" + pid + ".0, 0x3001)"),
              "254, -2, 0, 255");
    EXPECT_EQ(q->ram_bytes, ram);
    EXPECT_EQ(q->mem.page_len[0x777], 0);
    EXPECT_EQ(lua("return _ppeek(9999, 0), _ppeek(1.5, 0), _ppeek('x', 0)"), "nil, nil");
}

TEST_F(Memory, ArrayPeekAndPoke) {
    EXPECT_EQ(lua("local a = userdata('i16', 4) a:set(0, -2, 300, 7, -1) "
                  "return a:poke(0x3000) == a, peek2(0x3000, 4)"),
              "true, -2, 300, 7, -1");
    EXPECT_EQ(lua("local a = userdata('i32', 5) a:peek(0x3000, 1, 2) return a:get(0, 5)"), "0, 19726334, -65529, 0, 0");
    EXPECT_EQ(lua("local a = userdata('u8', 4) return a:peek(0x3000, 9) == a, a:peek(0x3000, 2, 99) == a, a:get(0, 4)"),
              "true, true, 0, 0, 254, 255");
    EXPECT_EQ(lua("return userdata('f64', 2):peek(0x3000), userdata('f64', 2):poke(0x3000)"), "nil");
    EXPECT_EQ(charge("USERDATA.poke, userdata('u8', 100), 0x3000"), 25);
    // A whole array through mapped pages and page ends, as element-wise peeks see it.
    EXPECT_EQ(lua("local m = userdata('u8', 6000) for i = 0, 5999 do m[i] = i * 7 end _map_ram(m, 0x20800) "
                  "local a = userdata('i64', 1000) a:peek(0x20000) "
                  "for i = 0, 999 do if a[i] ~= peek8(0x20000 + 8 * i) then return i end end return 'same'"),
              "same");
}

TEST_F(Memory, PagesForNewProcesses) {
    Process* q = create_process_from_code("", "copy", "/copy.lua");
    ASSERT_NE(q, nullptr);
    for (uint32_t a = 0x778000; a < 0x77A000; a += 97) poke_proc(p, a, (uint8_t)(a >> 3));
    ASSERT_EQ(lua("local a = userdata('u8', 100) a[99] = 5 _map_ram(a, 0x77A000)"), "");
    q64_pmemcpy_pages(p, q, 0x778000, 0x77C000);
    for (uint32_t a = 0x778000; a < 0x77A000; a += 97) ASSERT_EQ(peek_proc(q, a), (uint8_t)(a >> 3));
    EXPECT_EQ(peek_proc(q, 0x77A000 + 99), 5);  // a partial source page: its served bytes
    EXPECT_EQ(q->mem.page_len[0x77A], 4096);
    EXPECT_EQ(q->mem.page_len[0x77B], 0);  // untouched in the source: left alone
    EXPECT_EQ(q->mem.flag[0x778], 0);
}
