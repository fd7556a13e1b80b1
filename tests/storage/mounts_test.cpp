// Opening modes, cartridge mounts and their write-back, early clearing and the slot and
// mount limits.
#include <unistd.h>

#include "kernel/cpu.h"
#include "vfs_fixture.h"

using VfsFiles = Vfs;

TEST_F(VfsFiles, RamFilesShareOneSlot) {
    EXPECT_FALSE(pfopen("/ram/none", "r"));
    int free_before = pdisk_count_slots_by_kind(0);
    ASSERT_TRUE(vfs_write("/ram/a.txt", "hello"));
    EXPECT_EQ(pdisk_count_slots_by_kind(0), free_before - 1);
    FileSlot* a = pfopen("/ram/a.txt", "r");
    FileSlot* b = pfopen("/ram/a.txt", "a");
    EXPECT_EQ(a, b);
    EXPECT_EQ(b->contents->cursor, 5);
    FileSlot* c = pfopen("/ram/a.txt", "w");
    EXPECT_EQ(c->contents->length, 0);  // "w" empties it for every holder
    pfclose(c);
    EXPECT_TRUE(pdisk_file_exists("/ram/a.txt"));
    EXPECT_FALSE(pdisk_file_exists("/ram/b.txt"));
}

TEST_F(VfsFiles, HostModes) {
    ASSERT_TRUE(vfs_write("/h.txt", "abc"));
    EXPECT_EQ(host_read(host + "/h.txt"), "abc");
    ASSERT_TRUE(vfs_write("/h.txt", "de", "a"));
    EXPECT_EQ(host_read(host + "/h.txt"), "abcde");
    EXPECT_EQ(vfs_read("/h.txt").value_or("?"), "abcde");
    std::string big(70000, 'x');
    host_write(host + "/big", big);
    EXPECT_EQ(vfs_read("/big", "rm")->size(), 65536u);  // stops once past 65,535 bytes
    EXPECT_EQ(vfs_read("/big", "re")->size(), 0u);
    mkdir((host + "/dir").c_str(), 0755);
    EXPECT_FALSE(vfs_read("/dir"));
    EXPECT_FALSE(vfs_write("/dir", "x"));
    EXPECT_FALSE(vfs_write("/nofolder/x", "x"));
    // The longest name a segment may have is still written (its temporary name is short).
    std::string longest = "/" + std::string(254, 'n');
    ASSERT_TRUE(vfs_write(longest, "long"));
    EXPECT_EQ(host_read(host + longest), "long");
    // Appending holds only the new bytes; the file keeps its own.
    FileSlot* f = pfopen("/h.txt", "a");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->contents->length, 0);
    bappend_str(f->contents, "f");
    pfclose(f);
    EXPECT_EQ(host_read(host + "/h.txt"), "abcdef");
    // A file too big to hold whole is not opened, nor replaced by an append to it.
    host_write(host + "/huge", "");
    ASSERT_EQ(truncate((host + "/huge").c_str(), 3LL << 30), 0);
    EXPECT_FALSE(vfs_read("/huge"));
    EXPECT_EQ(vfs_read("/huge", "rm")->size(), 65536u);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(vfs_write("/huge", "x", "a"));
    testing::internal::GetCapturedStdout();
    struct stat st;
    ASSERT_EQ(stat((host + "/huge").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3LL << 30);
}

TEST_F(VfsFiles, CpuChargesOfFileIo) {
    host_write(host + "/r.bin", std::string(800, 'r'));
    struct { const char* what; void (*op)(); int64_t cycles; } cases[] = {
        {"host read", [] { vfs_read("/r.bin"); }, 100},
        {"metadata read", [] { vfs_read("/r.bin", "rm"); }, 100},
        {"existence test", [] { pdisk_file_exists("/r.bin"); }, 16},
        {"host write", [] { vfs_write("/w.bin", std::string(80, 'w')); }, 10 + FRAME_CYCLES / 4},
        {"host append", [] { vfs_write("/r.bin", std::string(16, 'a'), "a"); }, 2 + FRAME_CYCLES / 4},
        // RAM files cost what their bytes cost to copy, like host files.
        {"RAM files", [] { vfs_write("/ram/x", std::string(800, 'x')); vfs_read("/ram/x"); }, 200},
        {"RAM append", [] { vfs_write("/ram/x", std::string(16, 'x'), "a"); }, 2},
    };
    for (auto& c : cases) {
        cpu_cycles = 0;
        c.op();
        EXPECT_EQ(cpu_cycles, c.cycles) << c.what;
    }
    EXPECT_EQ(host_read(host + "/r.bin"), std::string(800, 'r') + std::string(16, 'a'));
}

TEST_F(VfsFiles, FailedHostWriteIsReportedAndLeavesNoTrace) {
    mkdir((host + "/d").c_str(), 0755);
    host_write(host + "/d/f", "old");
    FileSlot* f = pfopen("/d/f", "w");
    ASSERT_TRUE(f);
    bappend_str(f->contents, "new");
    // The folder goes away between open and close (even root can't write there then).
    ASSERT_EQ(rename((host + "/d").c_str(), (host + "/moved").c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pfclose(f), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("could not write /d/f"), std::string::npos);
    EXPECT_EQ(host_read(host + "/moved/f"), "old");
    EXPECT_EQ(host_read(host + "/d/f"), "<missing>");
    // A successful write replaces the file whole and leaves no temporary file beside it.
    ASSERT_TRUE(vfs_write("/moved/f", "new"));
    EXPECT_EQ(host_read(host + "/moved/f"), "new");
    std::string cmd = "test $(ls -A '" + host + "/moved' | wc -l) -eq 1";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

// A text cartridge of one file, as our writer makes it.
static std::string text_cart(const std::string& main_lua) {
    return std::string(Q64_TEXT_FIRST_LINE) + "version 2\n\n:: main.lua\n" + main_lua + "\n:: [eoc]\n";
}

TEST_F(VfsFiles, CartridgeWriteBackWaitsForTheDelay) {
    host_write(host + "/g.q64", text_cart("print(1)"));
    EXPECT_EQ(vfs_read("/g.q64/main.lua").value_or("?"), "print(1)");
    EXPECT_TRUE(pdisk_directory_exists("/g.q64", 1));
    ASSERT_TRUE(vfs_write("/g.q64/main.lua", "print(2)"));
    fake_now += 200;
    ASSERT_TRUE(vfs_write("/g.q64/main.lua", "print(3)"));
    fake_now += 99;
    flush_dirty_mounts_delayed();
    EXPECT_EQ(host_read(host + "/g.q64"), text_cart("print(1)"));
    fake_now += 1;  // 300 ms after the first change
    flush_dirty_mounts_delayed();
    EXPECT_EQ(host_read(host + "/g.q64"), text_cart("print(3)"));
    // Held while an exclusive process runs.
    app.exclusive_pid = 7;
    ASSERT_TRUE(vfs_write("/g.q64/main.lua", "print(4)"));
    fake_now += 1000;
    flush_dirty_mounts_delayed();
    flush_dirty_mounts_immediately();
    EXPECT_EQ(host_read(host + "/g.q64"), text_cart("print(3)"));
    app.exclusive_pid = 0;
    flush_dirty_mounts_delayed();
    EXPECT_EQ(host_read(host + "/g.q64"), text_cart("print(4)"));
    // Exit, reboot and fatal errors write back whoever holds the system.
    app.exclusive_pid = 7;
    ASSERT_TRUE(vfs_write("/g.q64/main.lua", "print(5)"));
    flush_dirty_mounts_immediately(1);
    EXPECT_EQ(host_read(host + "/g.q64"), text_cart("print(5)"));
    app.exclusive_pid = 0;
}

TEST_F(VfsFiles, MkdirOfCartridgeMakesAnEmptyOne) {
    ASSERT_EQ(pmkdir("/ram/new.q64.rom"), 0);
    // Not written yet; "rf" writes every dirty mount back before it reads.
    EXPECT_FALSE(find_ram_slot("/ram/new.q64.rom"));
    FileSlot* f = pfopen("/ram/new.q64.rom", "rf");
    ASSERT_TRUE(f);
    EXPECT_EQ(std::string((const char*)f->contents->bytes, 3), "q64");
    pfclose(f);
}

TEST_F(VfsFiles, StoringACartridgeFileDropsItsStaleMount) {
    host_write(host + "/g.q64", text_cart("old"));
    ASSERT_TRUE(vfs_write("/g.q64/main.lua", "edited"));  // mounts and dirties it
    ASSERT_TRUE(vfs_write("/g.q64", text_cart("stored"), "wf"));
    fake_now += 1000;
    flush_dirty_mounts_delayed();
    EXPECT_EQ(host_read(host + "/g.q64"), text_cart("stored"));
    EXPECT_EQ(vfs_read("/g.q64/main.lua").value_or("?"), "stored");
    // A RAM cartridge file first made through another path.
    ASSERT_TRUE(mount_p_path("/alias", "/ram"));
    ASSERT_TRUE(vfs_write("/alias/r.q64", text_cart("first"), "wf"));
    ASSERT_TRUE(vfs_write("/ram/r.q64/main.lua", "edited"));
    ASSERT_TRUE(vfs_write("/ram/r.q64", text_cart("stored"), "wf"));
    fake_now += 1000;
    flush_dirty_mounts_delayed();
    EXPECT_EQ(vfs_read("/ram/r.q64", "rf").value_or("?"), text_cart("stored"));
}

TEST_F(VfsFiles, PartlyReadCartridgeIsNeverWrittenBack) {
    std::string bad = text_cart("x");
    bad.replace(bad.find("version 2"), 9, "version 9");
    host_write(host + "/bad.q64", bad);
    ASSERT_TRUE(vfs_write("/bad.q64/main.lua", "y"));
    fake_now += 1000;
    testing::internal::CaptureStdout();
    flush_dirty_mounts_delayed();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(host_read(host + "/bad.q64"), bad);
}

TEST_F(VfsFiles, NoNewCartridgeMounts) {
    host_write(host + "/g.q64", text_cart("x"));
    app.no_new_cart_mounts = 1;
    EXPECT_FALSE(vfs_read("/g.q64/main.lua"));
    app.no_new_cart_mounts = 0;
    EXPECT_TRUE(vfs_read("/g.q64/main.lua"));
}

TEST_F(VfsFiles, EarlyClearingFreesCleanCartridgesButNotOpenOnes) {
    host_write(host + "/g.q64", text_cart("keep"));
    host_write(host + "/h.q64", text_cart("held"));
    ASSERT_TRUE(vfs_read("/g.q64/main.lua"));
    FileSlot* held = pfopen("/h.q64/main.lua", "r");
    ASSERT_TRUE(held);
    int used = MAX_FILE_SLOTS - pdisk_count_slots_by_kind(0);
    // Up to 8,193 slots in use nothing happens.
    for (int i = used; i < MAX_FILE_SLOTS / 2 + 1; i++)
        ASSERT_TRUE(vfs_write("/ram/f" + std::to_string(i), "")) << i;
    EXPECT_TRUE(find_mount_by_point("/g.q64"));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(vfs_write("/ram/one_more", ""));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("@@@@ early clearing; 8193 -> "), std::string::npos) << out;
    EXPECT_FALSE(find_mount_by_point("/g.q64"));
    EXPECT_TRUE(find_mount_by_point("/h.q64"));
    EXPECT_EQ(std::string((const char*)held->contents->bytes), "held");
    pfclose(held);
    EXPECT_EQ(vfs_read("/g.q64/main.lua").value_or("?"), "keep");  // mounted again from its file
    testing::internal::CaptureStdout();
    prune_mounts();  // the pending prune runs once
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("pruned "), std::string::npos);
}

TEST_F(VfsFiles, EarlyClearingKeepsTheMountAnOpenWentThrough) {
    host_write(host + "/g.q64", text_cart("m"));
    ASSERT_TRUE(vfs_read("/g.q64/main.lua"));
    for (int i = MAX_FILE_SLOTS - pdisk_count_slots_by_kind(0); i < MAX_FILE_SLOTS / 2 + 1; i++)
        ASSERT_TRUE(vfs_write("/ram/f" + std::to_string(i), ""));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(vfs_write("/g.q64/new.txt", "fresh"));  // clears early while taking its slot
    EXPECT_NE(testing::internal::GetCapturedStdout().find("@@@@ early clearing"), std::string::npos);
    EXPECT_EQ(vfs_read("/g.q64/new.txt").value_or("?"), "fresh");
    fake_now += 1000;
    flush_dirty_mounts_delayed();
    EXPECT_NE(host_read(host + "/g.q64").find(":: new.txt\nfresh\n"), std::string::npos);
}

TEST_F(VfsFiles, FullSlotTable) {
    testing::internal::CaptureStdout();
    int made = 0;
    while (vfs_write("/ram/f" + std::to_string(made), "")) made++;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(made, MAX_FILE_SLOTS);
    EXPECT_NE(out.find("** too many files **"), std::string::npos);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pmkdir("/ram/dir"), 2);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("** too many files (during mkdir) **"), std::string::npos);
    EXPECT_EQ(vfs_read("/ram/f0").value_or("?"), "");  // existing files still open
}

TEST_F(VfsFiles, MountTableNeverOverflows) {
    int added = 0;
    while (mount_p_path(("/m" + std::to_string(added)).c_str(), "/ram")) added++;
    EXPECT_EQ(pmounts, MOUNT_ADD_LIMIT);
    EXPECT_FALSE(mount_q64_path("/ram/c.q64"));
    testing::internal::CaptureStdout();
    prune_mounts();  // nothing to prune, but no fatal exit either
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pmounts, MOUNT_ADD_LIMIT);
    EXPECT_FALSE(mount_p_path("/x", "/a b"));  // an illegal path is refused
}

TEST_F(VfsFiles, MountOfAPathMapsItsOrigin) {
    mkdir((host + "/real").c_str(), 0755);
    host_write(host + "/real/f.txt", "r");
    host_write(host + "/g.q64", text_cart("cart"));
    ASSERT_TRUE(mount_p_path("/cm", "/g.q64"));  // onto the cartridge's folder, not its file
    EXPECT_EQ(vfs_read("/cm/main.lua").value_or("?"), "cart");
    ASSERT_TRUE(mount_p_path("/alias", "/real"));
    EXPECT_EQ(vfs_read("/alias/f.txt").value_or("?"), "r");
    EXPECT_STREQ(get_mount_description("/alias"), ("host:" + host + "/real").c_str());
    EXPECT_STREQ(get_mount_description("/ram"), "/ram");
    EXPECT_EQ(get_mount_description("/real"), nullptr);
}

TEST_F(VfsFiles, RamFilesStopAtTheirLimitAndRefusedWritesChangeNothing) {
    const int64_t base = ram_files_bytes();
    const std::string chunk(RAM_FILES_LIMIT / 5, 'c');
    ASSERT_TRUE(vfs_write("/ram/keep.txt", "old"));
    ASSERT_TRUE(vfs_write("/ram/grow.txt", "start"));
    int kept = 0;
    testing::internal::CaptureStdout();
    while (kept < 10 && vfs_write("/ram/big" + std::to_string(kept), chunk)) kept++;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(kept, 4);
    EXPECT_NE(out.find("** RAM is full: /ram/big4 was not written (RAM files may hold 256 MB) **"), std::string::npos)
        << out;
    EXPECT_LE(ram_files_bytes(), RAM_FILES_LIMIT);
    // A refused write leaves no new file, an old file as it was, an append undone.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(vfs_read("/ram/big4"));
    EXPECT_FALSE(vfs_write("/ram/keep.txt", chunk));
    EXPECT_EQ(vfs_read("/ram/keep.txt").value_or("?"), "old");
    EXPECT_FALSE(vfs_write("/ram/grow.txt", chunk, "a"));
    EXPECT_EQ(vfs_read("/ram/grow.txt").value_or("?"), "start");
    EXPECT_EQ(pmkdir(("/ram/d" + std::string(200, 'd')).c_str()), 0);  // small things still fit
    testing::internal::GetCapturedStdout();
    // Deleting gives the room back.
    for (int i = 0; i < kept; i++) delete_path(("/ram/big" + std::to_string(i)).c_str());
    EXPECT_TRUE(vfs_write("/ram/keep.txt", chunk));
    delete_path("/ram/keep.txt");
    delete_path("/ram/grow.txt");
    delete_path(("/ram/d" + std::string(200, 'd')).c_str());
    EXPECT_EQ(ram_files_bytes(), base);
}

TEST_F(VfsFiles, FullRamDropsCleanCartridgeMountsFirst) {
    const std::string chunk(RAM_FILES_LIMIT / 3, 'c');
    host_write(host + "/g.q64", text_cart(std::string(RAM_FILES_LIMIT / 3, 'g')));
    ASSERT_TRUE(vfs_read("/g.q64/main.lua"));
    ASSERT_TRUE(vfs_write("/ram/a", chunk));
    ASSERT_TRUE(find_mount_by_point("/g.q64"));
    ASSERT_TRUE(vfs_write("/ram/b", chunk));  // room made by unmounting the clean cartridge
    EXPECT_FALSE(find_mount_by_point("/g.q64"));
    EXPECT_EQ(vfs_read("/ram/b")->size(), chunk.size());
}

// A file that full RAM can't take while a cartridge is unpacked leaves the mount
// incomplete, so a later change is never written back over the cartridge without it.
TEST_F(VfsFiles, CartridgeUnpackedIntoFullRamIsNotWrittenBack) {
    const std::string big(2 << 20, 'g');
    ASSERT_EQ(pmkdir("/ram/src"), 0);
    ASSERT_TRUE(vfs_write("/ram/src/main.lua", big));
    ByteBuffer* rom = create_buffer_2(16, 0);
    ByteBuffer* origin = create_buffer_from_str("/ram/src");
    ASSERT_EQ(write_q64_rom_from_ram_files(rom, origin, 0), 0);
    host_write(host + "/r.q64.rom", std::string((const char*)rom->bytes, (size_t)rom->length));
    destroy_buffer(rom);
    destroy_buffer(origin);
    delete_path("/ram/src");
    host_write(host + "/t.q64", text_cart(big));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(vfs_write("/ram/fill", std::string(RAM_FILES_LIMIT - ram_files_bytes() - (1 << 20), 'f')));
    for (std::string cart : {"/r.q64.rom", "/t.q64"}) {
        const std::string before = host_read(host + cart);
        EXPECT_FALSE(vfs_read(cart + "/main.lua")) << cart;
        ASSERT_TRUE(vfs_write(cart + "/new.txt", "n")) << cart;
        fake_now += 1000;
        flush_dirty_mounts_immediately(1);
        EXPECT_EQ(host_read(host + cart), before) << cart;
    }
    testing::internal::GetCapturedStdout();
    delete_path("/ram/fill");
}

// A large ROM cartridge is compressed off the main thread; any immediate flush waits
// for it, so what a reader sees is never older than what was written.
TEST_F(VfsFiles, LargeCartridgesAreWrittenBackByAWorker) {
    std::string big(3 << 20, 'b');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = (char)(i * 2654435761u >> 13);
    for (const char* cart : {"/big.q64.rom", "/ram/big.q64.rom"}) {
        ASSERT_EQ(pmkdir(cart), 0) << cart;
        ASSERT_TRUE(vfs_write(std::string(cart) + "/a.bin", big));
        fake_now += 1000;
        flush_dirty_mounts_delayed();  // hands the work to the worker
        EXPECT_GT(pending_writeback_cost(), (int64_t)big.size());
        ASSERT_TRUE(vfs_write(std::string(cart) + "/b.txt", "later"));
        FileSlot* f = pfopen(cart, "rf");  // waits, then writes the later change too
        ASSERT_TRUE(f) << cart;
        ByteBuffer* image = create_buffer_from_buffer(f->contents);
        pfclose(f);
        EXPECT_EQ(pending_writeback_cost(), 0);
        ASSERT_EQ(populate_ram_folder_from_q64_rom_buffer("/ram/check", image), 0) << cart;
        destroy_buffer(image);
        EXPECT_EQ(vfs_read("/ram/check/a.bin").value_or("?"), big) << cart;
        EXPECT_EQ(vfs_read("/ram/check/b.txt").value_or("?"), "later") << cart;
        delete_ram_files_in_path("/ram/check");
    }
}

// Many cartridges due at once are written back a few a frame.
TEST_F(VfsFiles, DelayedWriteBacksAreBoundedPerFrame) {
    for (int i = 0; i < 10; i++) {
        std::string cart = "/c" + std::to_string(i) + ".q64";
        ASSERT_EQ(pmkdir(cart.c_str()), 0);
        ASSERT_TRUE(vfs_write(cart + "/main.lua", "print(" + std::to_string(i) + ")"));
    }
    fake_now += 1000;
    auto written = [&] {
        int n = 0;
        for (int i = 0; i < 10; i++) n += host_read(host + "/c" + std::to_string(i) + ".q64") != "<missing>";
        return n;
    };
    flush_dirty_mounts_delayed();
    EXPECT_EQ(written(), WRITEBACKS_PER_FRAME);
    flush_dirty_mounts_delayed();
    flush_dirty_mounts_delayed();
    EXPECT_EQ(written(), 10);
}
