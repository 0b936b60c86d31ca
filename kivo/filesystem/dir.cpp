#include "kivo/filesystem/dir.h"

#include <assert.h>
#include <string.h>

#include "kivo/base/kivo_vfs.h"

namespace kivo {
namespace filesystem {

Dir::Dir() : _err(0)
{
    memset(&_handle, 0, sizeof _handle);
}

Dir::Dir(const char* path) : _err(0)
{
    memset(&_handle, 0, sizeof _handle);
    Open(path);
}

Dir::~Dir()
{
    Close();
}

bool Dir::Open(const char* path)
{
    if (IsValid() || !path)
        return false;
    _path = path;
    _name.clear();
    _err = kivo_file_opendir(&_handle, path);
    return _err == 0;
}

void Dir::Close()
{
    if (IsValid())
        kivo_file_closedir(_handle);
    memset(&_handle, 0, sizeof _handle);
}

bool Dir::FindNext()
{
    assert(IsValid());
    kivo_err_t err = 0;
    kivo_dirent_t* entry = kivo_file_readdir(_handle, &err);
    if (!entry || !entry->name) {
        _name.clear();
        _err = entry ? 0 : err;
        return false;
    }
    _err = 0;
    _name = entry->name;
    return true;
}

bool Dir::IsDots() const
{
    assert(IsValid());
    // Only the two names a directory lists for itself and its parent: a
    // file named "notes." is an entry like any other.
    return _name == "." || _name == "..";
}

const std::string& Dir::GetFileName() const
{
    assert(IsValid());
    return _name;
}

std::string Dir::GetFilePath() const
{
    assert(IsValid());
    return _path + "/" + _name;
}

bool Dir::GetFileStatus(File::Status& st) const
{
    assert(IsValid());
    kivo_stat64_t s;
    if (kivo_file_stat64(GetFilePath().c_str(), &s) != 0)
        return false;
    detail::FillStatus(s, st);
    return true;
}

}  // namespace filesystem
}  // namespace kivo
