#pragma once

// kivo::filesystem::Dir: iterates over the entries of one directory of the
// virtual file system. Entries come in the file system's order, "." and
// ".." among them (IsDots tells them apart). A read that fails ends the
// entries like the end of the directory; Error() tells the two apart.

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

    // The next entry becomes the current one (true); at the end, or when
    // the directory cannot be read further, the current name is cleared
    // (false).
    bool FindNext();
    // Why the last FindNext gave no entry: 0 at the end of the directory,
    // else the file system's error (the entries are not all seen).
    kivo_err_t Error() const { return _err; }
    // The current name is "." or "..".
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
    kivo_err_t _err;
};

}  // namespace filesystem
}  // namespace kivo
