#pragma once

// INI text to and from a dictionary (dictionary.h), reading and writing
// through the framework's file layer (kivo_vfs.h).
//
// Entries are stored flat: a section is an entry with a null value (or
// whose key holds no ':'), a value sits under "section:key". Names keep their
// case and are looked up ignoring it.
//
// Dialect read:
//   [Section]          the name between the brackets, stripped (it may hold
//                      ':', as in [new:kernel.bin])
//   key = value        key and value stripped; a value in double or single
//                      quotes is the text between them, stripped again
//                      (";" and "#" allowed, a doubled quote inside stands
//                      for one), otherwise it ends before the first ';' or
//                      '#'; "" and '' unquoted are the empty value
//   # ... / ; ...      comments; blank lines are skipped
//   ... \              a line ending in a backslash joins the next one
// Lines are cut at 1023 characters (a joined line too); the rest of a cut
// line is dropped. A line holding a NUL byte, and anything else, is a
// syntax error: it is reported on
// standard output and skipped, but a file whose last stored line is followed
// only by errors does not load.
//
// Dialect written: "[section]\r\n" then "key=value\r\n" per entry, no blanks
// around '=', no blank lines. A value is written as it is, unless it holds a
// ';' or '#' or begins with a quote: then it goes between double quotes (or
// single ones when it holds a double quote). Every line is checked against
// the reader: when that form would not read back as the same entry (a value
// ending in '\\', a line that would look like a
// section, a value with both kinds of quote), the first form that does is
// written instead: bare, in double quotes, in single quotes, or in double
// quotes with its double quotes doubled. An entry that no line can hold (a
// line end in a name or value, a line longer than the reader keeps, a name
// or value with blanks at its ends, a key with '=' or that would begin a
// comment)
// fails the output, and so does a dictionary whose text would not read back
// as the same entries (a key under a missing section, a section holding a
// value).

#include <stdint.h>

#include "kivo/utils/dictionary.h"

// Characters of one line of text, without the terminator: every line buffer
// (and every output buffer of iniparser_line) holds INI_LINE_MAX + 1 bytes.
#define INI_LINE_MAX 1024

// Result of iniparser_line.
typedef enum _line_status_ {
    LINE_UNPROCESSED = 0,
    LINE_ERROR = 1,
    LINE_EMPTY = 2,
    LINE_COMMENT = 3,
    LINE_SECTION = 4,
    LINE_VALUE = 5,
} line_status;

// ---- files

// Parses the file at `path`; null when it cannot be opened or read, when
// memory is short, or when a syntax error follows the last stored line.
dictionary* iniparser_load(const char* path);
// Writes `d` with iniparser_dump_ini to `path` (created or truncated). 0, or
// -1 when d or path is null, the text would not read back as d (checked
// before the file is touched), the file cannot be opened, a write fails or
// the close fails. The cause through err when given: 0, EINVAL for the
// first two, otherwise the file layer's result of the first call that
// failed (open, write, flush, close).
int iniparser_store(const dictionary* d, const char* path, kivo_err_t* err = nullptr);
void iniparser_freedict(dictionary* d);

// ---- sections

int iniparser_getnsec(const dictionary* d);
// Name of the n-th section (0-based, slot order), or null.
const char* iniparser_getsecname(const dictionary* d, int n);
// Keys stored under "section:" (0 when the section is missing).
int iniparser_getsecnkeys(const dictionary* d, const char* section);
// A heap array of iniparser_getsecnkeys(d, section) pointers to the full
// keys ("section:key", owned by the dictionary, valid while it is unchanged),
// in slot order; null when the section is missing or memory is short. Free it
// with iniparser_freeseckeys.
const char** iniparser_getseckeys(const dictionary* d, const char* section);
void iniparser_freeseckeys(const char** keys);

// ---- values ("section:key")

// The value, or `def` when the key is missing (a section's null value too
// comes back as null).
const char* iniparser_getstring(const dictionary* d, const char* key, const char* def);
// strtol with base 0 ("0x10" is 16, "010" is 8), clamped to the int range;
// `def` for a missing key or a null value.
int iniparser_getint(const dictionary* d, const char* key, int def);
// atof; `def` for a missing key or a null value.
double iniparser_getdouble(const dictionary* d, const char* key, double def);
// 1 for a first character of y, Y, 1, t, T; 0 for n, N, 0, f, F; else `def`.
int iniparser_getboolean(const dictionary* d, const char* key, int def);
// 1 when the key exists (also with a null value), else 0.
int iniparser_find_entry(const dictionary* d, const char* key);
// dictionary_set: 0 or -1.
int iniparser_set(dictionary* d, const char* key, const char* val);
void iniparser_unset(dictionary* d, const char* key);

// ---- output to an open file handle; each gives 0, or -1 when a write
// failed or an entry cannot be written (writing stops there) or an argument
// is null. iniparser_dump cuts a line longer than INI_LINE_MAX characters
// (it ends in '\n'); the INI forms refuse it instead.

// "[%s]=[%s]\r\n" per entry, "[%s]=UNDEF\r\n" for a null value.
int iniparser_dump(const dictionary* d, int32_t handle);
// Keys before any section first ("%s=%s\r\n"), then every section in slot
// order, each key under the longest section name that begins it ("x:y:k"
// under [x:y], not [x]). Nothing is written when the text would not read
// back as d.
int iniparser_dump_ini(const dictionary* d, int32_t handle);
// "[%s]\r\n", then "%s=%s\r\n" for each entry under "section:" with the key
// after that prefix (a null value as an empty text).
int iniparser_dumpsection_ini(const dictionary* d, const char* section, int32_t handle);

// ---- one line

// Classifies one line (cut at INI_LINE_MAX characters). On LINE_SECTION the
// name is written to `section`, on LINE_VALUE the key and value to `key` and
// `value`; each must hold INI_LINE_MAX + 1 bytes.
line_status iniparser_line(const char* input, char* section, char* key, char* value);
