// Feeds arbitrary package and device data to the readers of the update
// module: version texts, the boot image's header words, the check byte of
// "info.ini", info blocks, image records and the CRC-16 of packaged files,
// and runs the per-file decision on records made from the input.
//
// Input: the package's version text, a line end, the installed version
// text, a line end, then the bytes of a file (the board's boot image, an
// "info.ini", an info block, a packaged file). Bit 1 of the file's first
// word chooses the decision: on the boot image or on a recorded file. Besides crashes and sanitizer
// findings, each of these is a finding:
// - a reader that gives two answers for the same input, or a result its
//   words or bytes contradict;
// - a version that does not come back from its own decimal text;
// - a decision on a file that disagrees with the rule of the records (CRC,
//   then any greater component), or a rerun of the same package that
//   rewrites the file again;
// - a version record that does not read back as what was written into it.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/crc16_modbus.h"
#include "app/update.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/utils/ini_file.h"
#include "fuzz_sandbox.h"

namespace {

uint32_t Le32(const std::string& s, size_t at)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data()) + at;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(std::string& s, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool SetUpRoot()
{
    if (!MakeRoot("qlx-update-fuzz-"))
        return false;
    for (const char* d : {"/pkg", "/pkg/sys", "/board"})
        mkdir((Root() + d).c_str(), 0755);
    // The install flushes every block to the disk; here that only slows the
    // search down (nothing is read back across a crash).
    static kivo_fs_ops_t ops = platform_file_ops;
    ops.fsync = [](void*, intptr_t) -> kivo_err_t { return 0; };
    return kivo_mount("/system", &ops, (void*)Root().c_str(), nullptr) == 0;
}

void Put(const std::string& path, const std::string& bytes)
{
    std::ofstream f(Root() + path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

std::string Get(const std::string& path)
{
    std::ifstream f(Root() + path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// "info.ini" of a package directory: the INI text, a ';' (the byte before
// the check byte, which nothing covers) and the CRC-8 of the text.
std::string InfoIni(const std::string& text)
{
    std::string out = text + ";";
    out += static_cast<char>(Crc8I432(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    return out;
}

// Non-empty '.'-separated parts, as the version text counts them.
size_t VersionParts(const std::string& text)
{
    size_t parts = 0;
    bool in_part = false;
    for (char c : text) {
        if (c == '.') {
            in_part = false;
        } else if (!in_part) {
            in_part = true;
            ++parts;
        }
    }
    return parts;
}

// The version text: deterministic, leaves components beyond the text
// alone, and a parsed version comes back from its decimal text. True with
// the components when it parsed.
bool FuzzVersion(const std::string& text, uint32_t ver[4])
{
    uint32_t a[4] = {0, 0, 0, 0};
    uint32_t b[4] = {7, 7, 7, 7};
    const int32_t ra = Update::ParseVersion(text, a);
    const int32_t rb = Update::ParseVersion(text, b);
    Check(ra == rb && (ra == 0 || ra == 1), "a version text parses the same way twice");
    const size_t parts = VersionParts(text);
    if (parts == 0 || parts > 4)
        Check(ra == 0, "only one to four components parse");
    if (ra != 1) {
        Check(b[0] == 7 && b[1] == 7 && b[2] == 7 && b[3] == 7, "a text that does not parse leaves the components alone");
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (i < parts)
            Check(a[i] == b[i], "a component does not depend on what was there before");
        else
            Check(a[i] == 0 && b[i] == 7, "components beyond the text are left alone");
    }
    char canon[64];
    snprintf(canon, sizeof canon, "V%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    uint32_t c[4] = {1, 1, 1, 1};
    Check(Update::ParseVersion(canon, c) == 1 && memcmp(a, c, sizeof a) == 0,
          "a version comes back from its decimal text");

    uint32_t record[16];
    memset(record, 0xA5, sizeof record);
    Check(Update::BuildFlashRecord(record, text, 0x1000, 9) == 1, "a version that parses builds an image record");
    Check(record[7] == a[0] && record[8] == a[1] && record[9] == a[2] && record[10] == a[3] && record[2] == 0x1000 &&
              record[11] == 9,
          "the image record holds the version, size and extra word");
    Check(Update::RecordChecksum(record) == record[15], "the image record carries its own checksum");
    memcpy(ver, a, sizeof a);
    return true;
}

// The boot image's header words as the board file gives them.
void FuzzFlashHeader(const std::string& image)
{
    Put("/board/probe.bin", image);
    uint32_t crc = 0x5A5A5A5A;
    uint32_t ver = 0x5A5A5A5A;
    const int32_t r = Update::ReadFlashHeader("/board/probe.bin", &crc, &ver);
    Check(r == (image.size() >= 88 ? 1 : 0), "both header words are read exactly when the image holds them");
    if (r == 1)
        Check(crc == Le32(image, 80) && ver == Le32(image, 84), "the header words are the bytes at 80 and 84");
    Check(Update::ReadFlashHeader("/board/missing.bin", &crc, &ver) == 0, "a missing image has no header");
}

// The check byte of "info.ini": the last byte is the CRC-8 of all but the
// last two, within the size limit; a fixed-up copy must pass.
void FuzzInfoIniCrc(const std::string& bytes)
{
    const size_t n = bytes.size();
    const bool fits = n >= 2 && n <= static_cast<size_t>(Update::kInfoIniMaxLength);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
    Put("/pkg/probe.ini", bytes);
    const bool expected = fits && Crc8I432(p, n - 2) == p[n - 1];
    Check(Update::CheckInfoIniCrc("/pkg/probe.ini") == (expected ? 1 : 0), "the check byte decides alone");
    if (n >= 2) {
        std::string fixed = bytes;
        fixed[n - 1] = static_cast<char>(Crc8I432(p, n - 2));
        Put("/pkg/probe.ini", fixed);
        Check(Update::CheckInfoIniCrc("/pkg/probe.ini") == (fits ? 1 : 0), "a right check byte passes");
        // The byte before the check byte is covered by nothing.
        fixed[n - 2] = static_cast<char>(fixed[n - 2] ^ 0x5A);
        Put("/pkg/probe.ini", fixed);
        Check(Update::CheckInfoIniCrc("/pkg/probe.ini") == (fits ? 1 : 0), "the byte before the check byte is free");
    }
}

// Info blocks: a block read from the input agrees with its payload reader;
// a block built around the input passes, and any one changed byte fails it.
void FuzzInfoBlock(const std::string& bytes, uint32_t flip_at)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    const int32_t valid = Update::CheckInfoBlock(p, size);
    uint32_t length = size;
    const uint8_t* payload = Update::GetInfoBlockPayload(p, &length);
    Check((payload != nullptr) == (valid == 1), "the payload reader agrees with the block check");
    if (payload)
        Check(payload == p + 20 && length <= size - 20, "the payload lies inside the block");

    uint32_t sum = 0;
    for (unsigned char c : bytes)
        sum += c;
    std::string block = "info";
    PutLe32(block, size);
    PutLe32(block, ~sum);
    PutLe32(block, flip_at);
    const uint32_t head = static_cast<uint32_t>('i') + 'n' + 'f' + 'o' + size + ~sum + flip_at;
    PutLe32(block, ~head);
    block += bytes;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(block.data());
    Check(Update::CheckInfoBlock(b, static_cast<uint32_t>(block.size())) == 1, "a well-made block passes");
    length = static_cast<uint32_t>(block.size());
    Check(Update::GetInfoBlockPayload(b, &length) == b + 20 && length == size, "its payload is the input");
    Check(Update::CheckInfoBlock(b, static_cast<uint32_t>(block.size()) - 1) == 0, "a block cut short fails");
    std::string changed = block;
    const size_t at = flip_at % changed.size();
    changed[at] = static_cast<char>(changed[at] ^ (1u << (flip_at >> 29)));
    Check(Update::CheckInfoBlock(reinterpret_cast<const uint8_t*>(changed.data()),
                                 static_cast<uint32_t>(changed.size())) == 0,
          "one changed byte fails the block");
}

// The CRC-16 of packaged files: table-driven, block by block, as the bit
// by bit reference.
void FuzzCrc16(const std::string& bytes, size_t split)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
    split = bytes.empty() ? 0 : split % (bytes.size() + 1);
    uint16_t whole = Crc16ModbusUpdate(0xFFFF, p, bytes.size());
    uint16_t parts = Crc16ModbusUpdate(Crc16ModbusUpdate(0xFFFF, p, split), p + split, bytes.size() - split);
    Check(whole == parts && whole == Crc16Modbus(bytes), "the CRC-16 does not depend on the blocks");
}

// The package directory "sys", mapped to "/board", with only the named
// file: decided and maybe installed by the update module itself.
void Decide(Update& update, const std::string& name)
{
    _update_info_st info;
    info.dir_map.push_back(_update_dir_entry{"sys", "/board"});
    update.ProcessDir("/pkg/sys", true, info, &name);
}

// The decision on a file recorded in a version file: equal CRCs leave it
// to the versions (any greater component), a usable package record is
// needed, a missing installed record forces the install. Installing writes
// a record that reads back as the package's and makes a rerun a no-op.
void FuzzRecordDecision(const std::string& zip_ver, const std::string& flash_ver, const std::string& data)
{
    const std::string name = "f.img";
    const uint32_t crc = Crc16Modbus(data);
    // The CRC is the packaged file's, or (after a byte of the input says so)
    // another one, as a damaged package would state.
    const uint32_t stated = !data.empty() && (data[0] & 1) ? crc : (crc + 1) & 0xFFFF;
    const uint32_t flash_crc = data.size() > 1 && (data[1] & 1) ? stated : (stated ^ 0x100);
    Put("/pkg/sys/info.ini", InfoIni("[" + name + "]\r\nversion=" + zip_ver + "\r\ncheck_crc=" +
                                     std::to_string(stated) + "\r\n"));
    Put("/pkg/sys/" + name, data);
    Put("/board/" + name, data + "old");
    Put("/board/f-info.ini", "[" + name + "]\r\nversion=" + flash_ver + "\r\ncheck_crc=" + std::to_string(flash_crc) +
                                 "\r\n");

    // What the records say, as the INI reader gives them (a version text
    // holding '\r' may well write further lines of its own).
    std::string zv_text;
    std::string fv_text;
    uint32_t zc = 0;
    uint32_t fc = 0;
    {
        kivo::IniFile zip_ini("/pkg/sys/info.ini");
        kivo::IniFile flash_ini("/board/f-info.ini");
        zv_text = zip_ini.GetString(name, "version", "");
        fv_text = flash_ini.GetString(name, "version", "");
        zc = static_cast<uint32_t>(zip_ini.GetInt(name, "check_crc", 0));
        fc = static_cast<uint32_t>(flash_ini.GetInt(name, "check_crc", 0));
    }
    uint32_t zv[4] = {0, 0, 0, 0};
    uint32_t fv[4] = {0, 0, 0, 0};
    const bool zip_ok = zc != 0 && !zv_text.empty() && FuzzVersion(zv_text, zv);
    const bool flash_missing = fc == 0 || fv_text.empty();
    const bool flash_ok = !flash_missing && FuzzVersion(fv_text, fv);
    bool newer = zc != fc;
    for (int i = 0; i < 4; ++i)
        newer = newer || zv[i] > fv[i];
    const bool expected = zip_ok && (flash_missing || (flash_ok && newer)) && zc == crc;

    Update update;
    Decide(update, name);
    const bool rewritten = Get("/board/" + name) == data;
    Check(rewritten == expected, "the file is rewritten exactly when its records say so");
    if (!rewritten) {
        Check(Get("/board/" + name) == data + "old", "a file not rewritten is left as it was");
        return;
    }
    {
        kivo::IniFile record("/board/f-info.ini");
        Check(record.GetString(name, "version", "<none>") == zv_text, "the record keeps the package's version");
        Check(static_cast<uint32_t>(record.GetInt(name, "check_crc", 0)) == zc, "the record keeps the CRC");
    }
    Put("/board/" + name, data + "old");
    Decide(update, name);
    Check(Get("/board/" + name) == data + "old", "a rerun of the same package rewrites nothing");
}

// The boot image's decision: its own header words against the package's
// record, without a CRC-16 of the packaged file.
void FuzzBootDecision(const std::string& zip_ver, const std::string& image)
{
    const std::string name = "boot.bin";
    const uint32_t stated = image.size() >= 2 ? (static_cast<uint8_t>(image[0]) | static_cast<uint8_t>(image[1]) << 8)
                                              : 1u;
    Put("/pkg/sys/info.ini", InfoIni("[" + name + "]\r\nversion=" + zip_ver + "\r\ncheck_crc=" +
                                     std::to_string(stated) + "\r\n"));
    const std::string packaged = "P" + image;
    Put("/pkg/sys/" + name, packaged);
    Put("/board/" + name, image);

    std::string zv_text;
    uint32_t zc = 0;
    {
        kivo::IniFile zip_ini("/pkg/sys/info.ini");
        zv_text = zip_ini.GetString(name, "version", "");
        zc = static_cast<uint32_t>(zip_ini.GetInt(name, "check_crc", 0));
    }
    uint32_t zv[4] = {0, 0, 0, 0};
    const bool zip_ok = zc != 0 && !zv_text.empty() && FuzzVersion(zv_text, zv);
    // A header that cannot be read counts as CRC 0, version 0.
    const uint32_t hc = image.size() >= 88 ? Le32(image, 80) : 0;
    const uint32_t hv = image.size() >= 88 ? Le32(image, 84) : 0;
    const bool expected = zip_ok && (zc != hc || zv[0] > hv || zv[1] > 0 || zv[2] > 0 || zv[3] > 0);

    Update update;
    Decide(update, name);
    const std::string board = Get("/board/" + name);
    const bool rewritten = board.compare(0, packaged.size(), packaged) == 0;
    Check(rewritten == expected, "the boot image is rewritten exactly when its header and record say so");
    if (rewritten)
        Check(board.size() >= packaged.size() && board.find_first_not_of('\xFF', packaged.size()) == std::string::npos,
              "the rewritten image is the packaged one, blank behind it");
    else
        Check(board == image, "an image not rewritten is left as it was");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = SetUpRoot();
    if (!ready)
        abort();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nl1 = input.find('\n');
    const size_t nl2 = nl1 == std::string::npos ? std::string::npos : input.find('\n', nl1 + 1);
    const std::string zip_ver = input.substr(0, nl1);
    const std::string flash_ver = nl1 == std::string::npos ? std::string() : input.substr(nl1 + 1, nl2 - nl1 - 1);
    const std::string bytes = nl2 == std::string::npos ? std::string() : input.substr(nl2 + 1);
    const uint32_t word = bytes.size() >= 4 ? Le32(bytes, 0) : static_cast<uint32_t>(size);

    uint32_t ver[4];
    FuzzVersion(zip_ver, ver);
    FuzzVersion(flash_ver, ver);
    FuzzFlashHeader(bytes);
    FuzzInfoIniCrc(bytes);
    FuzzInfoBlock(bytes, word);
    FuzzCrc16(bytes, word);
    // One decision per input: each allocates the install's large buffers.
    if (word & 2)
        FuzzBootDecision(zip_ver, bytes);
    else
        FuzzRecordDecision(zip_ver, flash_ver, bytes);
    return 0;
}
