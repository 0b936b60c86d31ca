#pragma once

// An INI file held in memory: the path it was loaded from and its
// dictionary (iniparser.h). Values are addressed by section and key, joined
// as "section:key"; names are matched ignoring case and written back as
// they were first written.
//
//     kivo::IniFile ini("/opt/sys_disk/uImage-info.ini");
//     std::string v = ini.GetString("uImage", "version", "V0.0");
//     ini.SetInt("uImage", "check_crc", 0x1234);
//     ini.Save();
//
// A missing or malformed file loads as an empty dictionary unless Load is
// asked for an existing one, so a record can be written from scratch.

#include <string>
#include <vector>

#include "kivo/base/kivo_types.h"
#include "kivo/base/noncopyable.h"
#include "kivo/utils/dictionary.h"

namespace kivo {

class IniFile : public NonCopyable {
public:
    // Load(path, false).
    explicit IniFile(const char* path);
    ~IniFile();

    // False at once when a dictionary is held already (it is kept).
    // Otherwise remembers the path and parses the file; when that gives
    // nothing and mustExist is false an empty dictionary is started. True
    // when a dictionary is held afterwards.
    bool Load(const char* path, bool mustExist);
    // Writes the dictionary to path, or to the loaded path when path is
    // null. True when a dictionary is held and every byte was written.
    // False, leaving the file as it is, for the loaded path of a file that
    // exists but did not parse (a missing one is created). The cause of a
    // failure through err when given (0 on success): EINVAL without a
    // dictionary, EEXIST for the file kept, else the INI writer's
    // (iniparser_store).
    bool Save(const char* path = nullptr, kivo_err_t* err = nullptr);
    // Drops the dictionary (the path stays).
    void Close();

    // The value through strtol with base 0 ("0x10" is 16); def without a
    // dictionary or key.
    int GetInt(const std::string& section, const std::string& key, int def) const;
    std::string GetString(const std::string& section, const std::string& key, const std::string& def) const;
    // The value in decimal, stored like SetString.
    bool SetInt(const std::string& section, const std::string& key, int value);
    // Makes sure the section exists, then stores the value. False without a
    // dictionary, for a section name holding ':' that is already a key with
    // a value ("x:y" over "[x]\ny=1"), a text holding a NUL byte or when
    // memory is short.
    bool SetString(const std::string& section, const std::string& key, const std::string& value);

    // Section names in slot order; false without a dictionary.
    bool GetSections(std::vector<std::string>& list) const;
    // Key names of the section (without "section:"); false without a
    // dictionary or when the section is missing.
    bool GetKeys(const std::string& section, std::vector<std::string>& list) const;

    const std::string& Path() const { return _path; }

private:
    std::string _path;
    dictionary* _dict;
    bool _unparsed;  // _path exists but did not parse
};

// One-shot forms: each opens the file at `path` as IniFile(path) does, does
// one thing and drops it. The setters save to the same path and return
// false when the set or that save failed.
int IniGetInt(const std::string& section, const std::string& key, int def, const char* path);
std::string IniGetString(const std::string& section, const std::string& key, const std::string& def,
                         const char* path);
bool IniSetInt(const std::string& section, const std::string& key, int value, const char* path);
bool IniSetString(const std::string& section, const std::string& key, const std::string& value,
                  const char* path);
bool IniGetSections(std::vector<std::string>& list, const char* path);
bool IniGetKeys(const std::string& section, std::vector<std::string>& list, const char* path);

}  // namespace kivo
