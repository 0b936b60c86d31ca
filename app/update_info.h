#pragma once

// The two records that pass between the modules: the request that Gui posts
// on "update.run" and one report that Update sends on "update_info".

#include <stdint.h>

#include <string>
#include <vector>

#include "kivo/common/variant.h"

// One directory-map entry: a package directory name and the board directory
// it stands for ("sys" -> "/opt/sys_disk").
struct _update_dir_entry {
    std::string name;
    std::string board_dir;
};

// Request of "update.run"; travels in the message's Var as a heap copy
// (kivo::MakeHeapValue).
struct _update_info_st {
    std::string zip_file;                       // the code file
    std::string unzip_dir;                      // work directory
    std::string hw_version;                     // "/dev/hwversion.bin", first 64 bytes
    std::string serial;                         // "/dev/serial.bin", first 64 bytes
    std::vector<_update_dir_entry> dir_map;     // package directory -> board directory
    std::vector<std::string> pre_update_files;  // package-relative paths
};

// One "update_info" report. Kinds: 0 info, 1 warning, 2 error (texts);
// 3 start (0) or end (1) of rewriting; 4 a file's copy starts (file name);
// 5 a file's copy has finished (board directory + "/" + file name);
// 6 percentage of the file in hand. Travels in the message's Var as a heap
// copy (kivo::MakeHeapValue); read it back with kivo::var_trains::FromVar.
struct _update_output_info {
    int32_t kind;
    kivo::Var value;
};

// The check stage's list of package files to install first is shared under
// "/update/PreUpdateList" as a std::vector<std::string>
// (kivo::GetShared<std::vector<std::string>>); Update reads it in that type.
