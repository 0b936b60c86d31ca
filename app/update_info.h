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

// Kinds of an "update_info" report. The numbers travel in the record and
// are what the status mailbox and the tests see, so they are fixed.
enum UpdateInfoKind : int32_t {
    kInfoText = 0,       // a line of information
    kInfoWarning = 1,    // a warning line
    kInfoError = 2,      // an error line
    kInfoRewriting = 3,  // rewriting starts or has ended (UpdateRewriting)
    kInfoFileStart = 4,  // a file's copy starts (file name)
    kInfoFileDone = 5,   // a file's copy has finished (board directory + "/" + name)
    kInfoProgress = 6,   // percentage of the file in hand
};
static_assert(kInfoText == 0 && kInfoWarning == 1 && kInfoError == 2 && kInfoRewriting == 3 &&
                  kInfoFileStart == 4 && kInfoFileDone == 5 && kInfoProgress == 6,
              "report kinds are part of the record");

// Value of a kInfoRewriting report.
enum UpdateRewriting : int32_t {
    kRewritingStarts = 0,
    kRewritingEnded = 1,
};
static_assert(kRewritingStarts == 0 && kRewritingEnded == 1, "rewriting values are part of the record");

// Status of one "update.run", the answer to the request and the value of
// "update_end".
enum UpdateStatus : int32_t {
    kStatusDone = 0,           // rewriting reported, nothing counted as rewritten
    kStatusBadRequest = 1,     // package path of 2 characters or less, or no directory map
    kStatusNothingDone = 2,    // the check refused, or no file needed an update
    kStatusUnpackFailed = 3,   // the package could not be unpacked
    kStatusRewritten = 5,      // at least one file was rewritten: reboot
};
static_assert(kStatusDone == 0 && kStatusBadRequest == 1 && kStatusNothingDone == 2 &&
                  kStatusUnpackFailed == 3 && kStatusRewritten == 5,
              "statuses are what the end handlers compare with");

// One "update_info" report: an UpdateInfoKind and its value. Travels in the
// message's Var as a heap copy (kivo::MakeHeapValue); read it back with
// kivo::var_trains::FromVar.
struct _update_output_info {
    int32_t kind;
    kivo::Var value;
};

// The check stage's list of package files to install first is shared under
// "/update/PreUpdateList" as a std::vector<std::string>
// (kivo::GetShared<std::vector<std::string>>); Update reads it in that type.
