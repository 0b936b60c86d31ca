#include "kivo/utils/ini_file.h"

#include <errno.h>

#include "kivo/base/kivo_vfs.h"
#include "kivo/common/number.h"
#include "kivo/utils/iniparser.h"

namespace kivo {

namespace {

std::string _Join(const std::string& section, const std::string& key)
{
    return section + ":" + key;
}

}  // namespace

IniFile::IniFile(const char* path) : _dict(nullptr), _unparsed(false)
{
    Load(path, false);
}

IniFile::~IniFile()
{
    Close();
}

bool IniFile::Load(const char* path, bool mustExist)
{
    if (_dict)
        return false;
    _path = path ? path : "";
    _dict = iniparser_load(_path.c_str());
    // A file that is there but did not parse holds what the empty start
    // does not: saving over it would lose that.
    kivo_stat_t st;
    _unparsed = !_dict && kivo_file_stat(_path.c_str(), &st) == 0;
    if (!_dict && !mustExist)
        _dict = dictionary_new(0);
    return _dict != nullptr;
}

bool IniFile::Save(const char* path, kivo_err_t* err)
{
    kivo_err_t e = 0;
    const std::string target = path ? path : _path;
    // Only while the file that did not parse is there: once it is gone
    // (an installer removes a record it cannot read) nothing is lost, and
    // refusing would leave the record unwritable for good.
    kivo_stat_t st;
    if (!_dict)
        e = EINVAL;
    else if (_unparsed && target == _path && kivo_file_stat(target.c_str(), &st) == 0)
        e = EEXIST;
    else if (iniparser_store(_dict, target.c_str(), &e) == 0 && target == _path)
        _unparsed = false;
    if (err)
        *err = e;
    return e == 0;
}

void IniFile::Close()
{
    if (_dict) {
        iniparser_freedict(_dict);
        _dict = nullptr;
    }
}

int IniFile::GetInt(const std::string& section, const std::string& key, int def) const
{
    if (!_dict)
        return def;
    return iniparser_getint(_dict, _Join(section, key).c_str(), def);
}

std::string IniFile::GetString(const std::string& section, const std::string& key, const std::string& def) const
{
    if (!_dict)
        return def;
    const char* v = iniparser_getstring(_dict, _Join(section, key).c_str(), nullptr);
    return v ? std::string(v) : def;
}

bool IniFile::SetInt(const std::string& section, const std::string& key, int value)
{
    return SetString(section, key, IntToString(value));
}

bool IniFile::SetString(const std::string& section, const std::string& key, const std::string& value)
{
    // A NUL byte would cut a text short, and the rest would be lost.
    if (!_dict)
        return false;
    for (const std::string* s : {&section, &key, &value}) {
        if (s->find('\0') != std::string::npos)
            return false;
    }
    // ':' joins section and key: where "x:y" is already the key y of
    // section x, making it a section would drop that key's value.
    if (section.find(':') != std::string::npos && iniparser_getstring(_dict, section.c_str(), nullptr))
        return false;
    // An existing section keeps its null value and its spelling.
    iniparser_set(_dict, section.c_str(), nullptr);
    return iniparser_set(_dict, _Join(section, key).c_str(), value.c_str()) == 0;
}

bool IniFile::GetSections(std::vector<std::string>& list) const
{
    list.clear();
    if (!_dict)
        return false;
    int n = iniparser_getnsec(_dict);
    for (int i = 0; i < n; ++i) {
        const char* name = iniparser_getsecname(_dict, i);
        if (name)
            list.push_back(name);
    }
    return true;
}

bool IniFile::GetKeys(const std::string& section, std::vector<std::string>& list) const
{
    list.clear();
    if (!_dict)
        return false;
    const char** keys = iniparser_getseckeys(_dict, section.c_str());
    if (!keys)
        return false;
    int n = iniparser_getsecnkeys(_dict, section.c_str());
    for (int i = 0; i < n; ++i)
        list.push_back(std::string(keys[i]).substr(section.size() + 1));
    iniparser_freeseckeys(keys);
    return true;
}

int IniGetInt(const std::string& section, const std::string& key, int def, const char* path)
{
    return IniFile(path).GetInt(section, key, def);
}

std::string IniGetString(const std::string& section, const std::string& key, const std::string& def,
                         const char* path)
{
    return IniFile(path).GetString(section, key, def);
}

bool IniSetInt(const std::string& section, const std::string& key, int value, const char* path)
{
    IniFile ini(path);
    return ini.SetInt(section, key, value) && ini.Save(path);
}

bool IniSetString(const std::string& section, const std::string& key, const std::string& value,
                  const char* path)
{
    IniFile ini(path);
    return ini.SetString(section, key, value) && ini.Save(path);
}

bool IniGetSections(std::vector<std::string>& list, const char* path)
{
    return IniFile(path).GetSections(list);
}

bool IniGetKeys(const std::string& section, std::vector<std::string>& list, const char* path)
{
    return IniFile(path).GetKeys(section, list);
}

}  // namespace kivo
