// rompack: packs the system's files (Lua and data files in subfolders) into sysrom.dat.
//   rompack [-font] [-add NAME FOLDER]... OUT ROM_FOLDER [EXTRA_CART]
// Record 0 is the export name (empty), record 1 a ROM image holding every file of
// ROM_FOLDER under system/, and record 2, when given, the bytes of an extra cartridge
// (a ROM image, mounted at /ram/expcart). Records are big-endian u32 length-prefixed.
// Each -add puts the files of another folder under system/NAME/ (the bundled
// example programs go to system/examples/).
// With -font the ROM also gets the default font as a stored u8 array,
// system/fonts/lil.orb, from which the system's Lua code gives processes their
// font at 0x4000.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "arrays/typed_array.h"
#include "graphics/print.h"
#include "lauxlib.h"
#include "storage/cart.h"
#include "storage/orb.h"
#include "storage/pdisk.h"

static bool read_file(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[16384];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    fclose(f);
    return true;
}

// Files under root/rel with a dot in their name, as paths relative to root;
// subfolders are walked too (names beginning with a dot are left out).
static bool list_files(const std::string& root, const std::string& rel, std::vector<std::string>* names) {
    DIR* d = opendir((root + "/" + rel).c_str());
    if (!d) return false;
    bool ok = true;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n[0] == '.') continue;
        std::string path = rel.empty() ? n : rel + "/" + n;
        struct stat st;
        if (stat((root + "/" + path).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            ok = ok && list_files(root, path, names);
        else if (n.find('.') != std::string::npos)
            names->push_back(path);
    }
    closedir(d);
    return ok;
}

static void put_record(std::string* dat, const void* bytes, size_t n) {
    unsigned char h[4] = {(unsigned char)(n >> 24), (unsigned char)(n >> 16), (unsigned char)(n >> 8),
                          (unsigned char)n};
    dat->append((const char*)h, 4);
    dat->append((const char*)bytes, n);
}

// Copies every file of the host folder into the pack folder dest (made as needed).
static bool pack_folder(const std::string& folder, const std::string& dest) {
    std::vector<std::string> names;
    if (!list_files(folder, "", &names)) {
        fprintf(stderr, "rompack: can not read %s\n", folder.c_str());
        return false;
    }
    std::sort(names.begin(), names.end());
    pmkdir(dest.c_str());
    for (const std::string& n : names) {
        std::string text;
        if (!read_file(folder + "/" + n, &text)) {
            fprintf(stderr, "rompack: can not read %s\n", n.c_str());
            return false;
        }
        for (size_t slash = n.find('/'); slash != std::string::npos; slash = n.find('/', slash + 1))
            pmkdir((dest + "/" + n.substr(0, slash)).c_str());
        FileSlot* f = pfopen((dest + "/" + n).c_str(), "w");
        if (!f) {
            fprintf(stderr, "rompack: illegal file name %s\n", n.c_str());
            return false;
        }
        bappend_bytes(f->contents, text.data(), (int64_t)text.size());
        pfclose(f);
    }
    return true;
}

int main(int argc, char** argv) {
    bool with_font = false;
    std::vector<std::pair<std::string, std::string>> added;  // name, host folder
    while (argc > 1) {
        if (strcmp(argv[1], "-font") == 0) {
            with_font = true;
            argc--;
            argv++;
        } else if (strcmp(argv[1], "-add") == 0 && argc > 3) {
            added.push_back({argv[2], argv[3]});
            argc -= 3;
            argv += 3;
        } else {
            break;
        }
    }
    if (argc < 3) {
        fprintf(stderr, "usage: rompack [-font] [-add NAME FOLDER]... OUT ROM_FOLDER [EXTRA_CART]\n");
        return 2;
    }

    pfile_init();
    pfile_reset();
    mount_ram_folder("/pack");
    if (!pack_folder(argv[2], "/pack/system")) return 1;
    for (const auto& [name, folder] : added)
        if (!pack_folder(folder, "/pack/system/" + name)) return 1;
    if (with_font) {
        lua_State* L = luaL_newstate();
        add_userdata_metatable_functions(L);
        TypedArray* a = create_typed_array(L, UT_U8, 1, LIL_FONT_SIZE, 1);
        if (!a) {
            fprintf(stderr, "rompack: can not make the font array\n");
            return 1;
        }
        memcpy(ta_data(a), lil_font_dat.data(), LIL_FONT_SIZE);
        pmkdir("/pack/system/fonts");
        FileSlot* f = pfopen("/pack/system/fonts/lil.orb", "w");
        if (!f) {
            fprintf(stderr, "rompack: can not write the font\n");
            return 1;
        }
        orb_store_text(L, -1, nullptr, f->contents);
        pfclose(f);
        lua_close(L);
    }
    ByteBuffer* rom = create_buffer_2(65536, 0);
    ByteBuffer* origin = create_buffer_from_str("/pack");
    if (write_q64_rom_from_ram_files(rom, origin, 0) != 0) {
        fprintf(stderr, "rompack: can not write the ROM image\n");
        return 1;
    }
    pfile_reset();  // the pack folder's files are in the image now
    std::string dat;
    put_record(&dat, "", 0);
    put_record(&dat, rom->bytes, (size_t)rom->length);
    destroy_buffer(rom);
    destroy_buffer(origin);
    if (argc > 3) {
        std::string cart;
        if (!read_file(argv[3], &cart)) {
            fprintf(stderr, "rompack: can not read %s\n", argv[3]);
            return 1;
        }
        put_record(&dat, cart.data(), cart.size());
    }
    std::string tmp = std::string(argv[1]) + ".tmp";
    FILE* out = fopen(tmp.c_str(), "wb");
    if (!out || fwrite(dat.data(), 1, dat.size(), out) != dat.size() || fclose(out) != 0 ||
        rename(tmp.c_str(), argv[1]) != 0) {
        fprintf(stderr, "rompack: can not write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
