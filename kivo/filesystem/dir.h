#pragma once

// kivo::filesystem::Dir: iterates over the entries of one directory of the
// virtual file system. Entries come in the file system's order, "." and
// ".." among them (IsDots tells them apart: it holds for every name that
// ends in '.').

#include <string>

#include "kivo/base/kivo_fs_types.h"
#include "kivo/base/noncopyable.h"
#include "kivo/filesystem/file.h"

namespace kivo {
namespace filesystem {

class Dir : private kivo::NonCopyable {
public:
    Dir();
    explicit Dir(const char* path);
    ~Dir();

    // False when already open; otherwise remembers the path and opens it.
    bool Open(const char* path);
    bool IsValid() const { return kivo_is_dir_handle_valid(_handle); }
    void Close();

    // The next entry becomes the current one (true); at the end the current
    // name is cleared (false).
    bool FindNext();
    // The current name ends in '.'.
    bool IsDots() const;
    const std::string& GetFileName() const;
    // Directory path + "/" + current name.
    std::string GetFilePath() const;
    // Status of the current entry (a symbolic link is followed); st is left
    // alone when it cannot be read.
    bool GetFileStatus(File::Status& st) const;

private:
    std::string _path;
    std::string _name;
    kivo_dir_handle_t _handle;
};

}  // namespace filesystem
}  // namespace kivo
