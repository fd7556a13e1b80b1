// Every RAM file under a folder: relative path -> contents, folders as "<dir>".
#pragma once
#include <map>
#include <string>

#include "storage/pdisk.h"

inline std::map<std::string, std::string> ram_tree(const std::string& folder) {
    std::map<std::string, std::string> r;
    std::string pre = folder + "/";
    for (const FileSlot& f : pfile) {
        if (f.kind != 2 || !f.origin) continue;
        std::string o = (const char*)f.origin->bytes;
        if (o.compare(0, pre.size(), pre)) continue;
        r[o.substr(pre.size())] =
            (f.flags & 1) ? "<dir>" : std::string((const char*)f.contents->bytes, (size_t)f.contents->length);
    }
    return r;
}
