// The string table: sizes, replacing values, the 32-probe limit, deleting, and stores
// that move as they grow.
#include <gtest/gtest.h>

#include <string>

#include "storage/htable.h"

namespace {

std::string get(StringTable* t, const std::string& k) {
    uint64_t n = 99;
    const char* v = htable_get(t, k.c_str(), &n);
    if (!v) return n == 0 ? "<none>" : "<bad length>";
    return std::string(v, (size_t)n);
}

TEST(StringTable, SizesArePowersOfTwo) {
    for (int32_t bad : {0, -4, 1000, 3, 65535}) EXPECT_EQ(create_htable(bad), nullptr) << bad;
    for (int32_t good : {1, 2, 1024, 65536}) {
        StringTable* t = create_htable(good);
        ASSERT_NE(t, nullptr) << good;
        EXPECT_EQ(t->size, good);
        EXPECT_EQ(t->count, 0);
        destroy_htable(t);
    }
}

TEST(StringTable, InsertReplaceDelete) {
    StringTable* t = create_htable(1024);
    EXPECT_EQ(htable_insert_str(t, "/a.txt", "first"), 0);
    EXPECT_EQ(htable_insert_str(t, "/a.txt", "second"), 0);
    EXPECT_EQ(t->count, 1);
    EXPECT_EQ(get(t, "/a.txt"), "second");
    EXPECT_EQ(htable_insert(t, "/bin", "a\0b", 3), 0);  // values may hold NULs
    EXPECT_EQ(get(t, "/bin"), std::string("a\0b", 3));
    EXPECT_EQ(get(t, "/missing"), "<none>");
    EXPECT_EQ(htable_delete(t, "/a.txt"), 1);
    EXPECT_EQ(htable_delete(t, "/a.txt"), 0);
    EXPECT_EQ(get(t, "/a.txt"), "<none>");
    EXPECT_EQ(t->count, 1);
    EXPECT_EQ(htable_insert_str(t, "/a.txt", "again"), 0);
    EXPECT_EQ(get(t, "/a.txt"), "again");
    destroy_htable(t);
}

// A one-bucket table holds one key; a small one fills when a key's 32 probes are taken.
// Every key stored stays readable while the stores grow past their first capacity.
TEST(StringTable, FullBucketsRefuseNewKeysOnly) {
    StringTable* one = create_htable(1);
    EXPECT_EQ(htable_insert_str(one, "k", "v"), 0);
    EXPECT_EQ(htable_insert_str(one, "other", "v"), 1);
    EXPECT_EQ(htable_insert_str(one, "k", "w"), 0);
    EXPECT_EQ(get(one, "k"), "w");
    destroy_htable(one);

    auto value = [](int i) { return std::string(40, (char)('a' + i % 26)) + std::to_string(i); };
    StringTable* t = create_htable(64);
    int stored = 0, refused = 0;
    for (int i = 0; i < 200; i++) {
        if (htable_insert_str(t, ("/key/" + std::to_string(i)).c_str(), value(i).c_str()) == 0) stored++;
        else refused++;
    }
    EXPECT_EQ(stored, t->count);
    EXPECT_LE(stored, 64);
    EXPECT_GT(refused, 0);
    int found = 0;
    for (int i = 0; i < 200; i++) {
        std::string g = get(t, "/key/" + std::to_string(i));
        if (g == "<none>") continue;
        EXPECT_EQ(g, value(i)) << i;
        found++;
    }
    EXPECT_EQ(found, stored);
    EXPECT_GT(t->value_store->capacity, 64u * 8 + 1);
    destroy_htable(t);
}

}  // namespace
