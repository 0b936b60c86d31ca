#include "kivo/utils/iniparser.h"

#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kivo/base/kivo_vfs.h"

namespace {

// Files are read in blocks of this many bytes.
const size_t kBlockSize = 1024;
// Characters kept of one (joined) line while loading: a line buffer's worth
// including the line end.
const size_t kAccMax = INI_LINE_MAX - 1;

bool _is_space(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// Whether a line begins, after white space, as a comment does.
bool _is_comment(const char* line)
{
    while (_is_space(*line))
        ++line;
    return *line == ';' || *line == '#';
}

// Copies s[0, n) without surrounding white space into out (n <= INI_LINE_MAX).
void _strip_into(char* out, const char* s, size_t n)
{
    while (n > 0 && _is_space(*s)) {
        ++s;
        --n;
    }
    while (n > 0 && _is_space(s[n - 1]))
        --n;
    memmove(out, s, n);  // out may be s itself
    out[n] = 0;
}


// A value that begins with a quote which a later one closes becomes the text
// between them, ';' and '#' included; false (value untouched) for any other.
// A quote right after the opening one opens nothing. Inside, a doubled quote
// stands for one quote character, so that a value holding both kinds of
// quote can be written; when no quote closes after such a pair, the first
// quote after the opening one closes, as it always did.
bool _unquote(char* value)
{
    const char q = value[0];
    if ((q != '"' && q != '\'') || value[1] == 0 || value[1] == q)
        return false;
    size_t close = 0;
    for (size_t i = 1; value[i] != 0; ++i) {
        if (value[i] != q)
            continue;
        if (value[i + 1] != q) {
            close = i;
            break;
        }
        ++i;
    }
    size_t n = 0;
    if (close == 0) {
        const char* first = strchr(value + 1, q);
        if (!first)
            return false;
        n = static_cast<size_t>(first - value - 1);
        memmove(value, value + 1, n);
    } else {
        for (size_t i = 1; i < close; ++i) {
            value[n++] = value[i];
            if (value[i] == q)
                ++i;  // the second of a pair
        }
    }
    value[n] = 0;
    return true;
}

// Formats one output line into bufw (INI_LINE_MAX + 1 bytes) and writes it;
// a line that does not fit is cut and ends in '\n'.
bool _write_line(int32_t handle, char* bufw, const char* format, const char* a, const char* b)
{
    int len = b ? snprintf(bufw, INI_LINE_MAX + 1, format, a, b) : snprintf(bufw, INI_LINE_MAX + 1, format, a);
    if (len < 0)
        return false;
    if (len > INI_LINE_MAX) {
        len = INI_LINE_MAX;
        bufw[len - 1] = '\n';
    }
    return dictionary_write_all(handle, bufw, static_cast<size_t>(len));
}

// The quote this writer always used: double quotes for a value that holds a
// ';' or '#' or begins with a quote, single ones when it holds a double
// quote; 0 for none.
char _legacy_quote(const char* v)
{
    if (!strpbrk(v, ";#") && v[0] != '"' && v[0] != '\'')
        return 0;
    if (!strchr(v, '"'))
        return '"';
    if (!strchr(v, '\''))
        return '\'';
    return 0;
}

// Whether the loader takes `line` (without its end) as one whole line that
// iniparser_line classifies as `want`, giving first (the section or key) and
// second (the value) back exactly: a line the loader would cut, or names and
// values whose blanks it would strip, do not read back.
bool _reads_back(const std::string& line, line_status want, const char* first, const char* second)
{
    if (line.size() > kAccMax || line.find('\n') != std::string::npos)
        return false;
    size_t end = line.size();
    while (end > 0 && _is_space(line[end - 1]))
        --end;
    if (end > 0 && line[end - 1] == '\\')
        return false;  // it would join the next line
    std::string a(INI_LINE_MAX + 1, '\0'), b(INI_LINE_MAX + 1, '\0'), c(INI_LINE_MAX + 1, '\0');
    if (iniparser_line(line.c_str(), &a[0], &b[0], &c[0]) != want)
        return false;
    if (want == LINE_SECTION)
        return strcmp(first, a.c_str()) == 0;
    return strcmp(first, b.c_str()) == 0 && strcmp(second, c.c_str()) == 0;
}

// "key=value" as it reads back: the form this writer always used when that
// reads back, else the first of bare, double-quoted, single-quoted,
// double-quoted with its double quotes doubled and single-quoted with its
// single quotes doubled that does. False when no line holds the entry (one
// longer than the loader keeps included).
bool _value_line(const char* key, const char* v, std::string* line)
{
    const std::string head = std::string(key) + "=";
    const char legacy = _legacy_quote(v);
    std::string forms[6];
    forms[0] = legacy ? head + legacy + v + legacy : head + v;
    forms[1] = head + v;
    if (!strchr(v, '"'))
        forms[2] = head + '"' + v + '"';
    if (!strchr(v, '\''))
        forms[3] = head + '\'' + v + '\'';
    // Doubled quotes inside: double ones, or single ones for a value that
    // itself begins with a double quote.
    for (int f = 4; f < 6; ++f) {
        const char q = f == 4 ? '"' : '\'';
        forms[f] = head + q;
        for (const char* p = v; *p; ++p) {
            forms[f] += *p;
            if (*p == q)
                forms[f] += q;
        }
        forms[f] += q;
    }
    for (const std::string& f : forms) {
        if (!f.empty() && _reads_back(f, LINE_VALUE, key, v)) {
            *line = f;
            return true;
        }
    }
    return false;
}

// Collects the output lines, each checked to read back as its entry.
struct _Out {
    std::string text;

    bool Line(const std::string& line)
    {
        text += line;
        text += "\r\n";
        return true;
    }

    bool Section(const char* name)
    {
        const std::string line = std::string("[") + name + "]";
        return _reads_back(line, LINE_SECTION, name, nullptr) && Line(line);
    }

    bool Value(const char* key, const char* v)
    {
        std::string line;
        return _value_line(key, v ? v : "", &line) && Line(line);
    }
};

// A section is an entry whose key holds no ':', or one with a null value
// (what a section line "[x:y]" makes: keys always hold a value).
bool _is_section(const dictionary* d, int32_t i)
{
    const char* key = d->key[i];
    return key && (!strchr(key, ':') || !d->val[i]);
}

// Whether key lies under the section prefix "name:" of length plen.
bool _under(const char* key, const char* prefix, size_t plen)
{
    return key && strncasecmp(key, prefix, plen) == 0;
}

// State of one load: the accumulated (joined) line and the current section.
struct _Loader {
    dictionary* d;
    const char* path;
    char* section;
    char* key;
    char* val;
    char* tmp;          // accumulator
    size_t acc_len;     // characters in tmp
    size_t line_start;  // where the current physical line begins in tmp
    bool line_open;     // bytes seen since the last '\n'
    bool any_text;      // the current physical line holds a non-blank byte
    char last_text;     // its last non-blank byte
    int lineno;
    int errs;
    bool nomem;
    bool has_nul;  // the accumulated line holds a NUL byte
    bool quiet;    // no messages (checking the writer's own text)

    void Byte(char c)
    {
        line_open = true;
        if (c == 0)
            has_nul = true;
        if (acc_len < kAccMax)
            tmp[acc_len++] = c;
        if (!_is_space(c)) {
            any_text = true;
            last_text = c;
        }
    }

    void EndLine()
    {
        ++lineno;
        bool text = any_text;
        bool joined = last_text == '\\';
        line_open = false;
        any_text = false;
        last_text = 0;
        while (acc_len > line_start && _is_space(tmp[acc_len - 1]))
            --acc_len;
        if (!text) {
            // Empty lines are skipped, inside a continuation too.
            acc_len = line_start;
            return;
        }
        if (joined) {
            if (acc_len > line_start && tmp[acc_len - 1] == '\\')
                --acc_len;
            line_start = acc_len;
            return;
        }
        Classify();
    }

    // At the end of the file: a last line without '\n' and a continuation
    // that never ended both still count.
    void Finish()
    {
        if (line_open)
            EndLine();
        if (acc_len > 0 && !nomem)
            Classify();
    }

    void Classify()
    {
        tmp[acc_len] = 0;
        acc_len = 0;
        line_start = 0;
        // A NUL byte would end the text early and hide the rest of the line,
        // except in a comment, whose rest is ignored anyway (a package's
        // "info.ini" ends in ';' and a check byte that may be NUL).
        // Such a line is never parsed: what it would leave in the section
        // buffer would name the section of the lines after it.
        const line_status status =
            !has_nul ? iniparser_line(tmp, section, key, val) : _is_comment(tmp) ? LINE_COMMENT : LINE_ERROR;
        has_nul = false;
        int rc = 0;
        switch (status) {
        case LINE_ERROR:
            if (!quiet) {
                printf("iniparser: syntax error in %s (%d):\n", path, lineno);
                printf("-> %s\n", tmp);
            }
            errs++;
            return;
        case LINE_SECTION:
            rc = dictionary_set(d, section, nullptr);
            break;
        case LINE_VALUE: {
            // Section and key may each be a full line long: no fixed buffer.
            std::string full(section);
            full += ':';
            full += key;
            rc = dictionary_set(d, full.c_str(), val);
            break;
        }
        default:
            return;
        }
        // A stored line clears the errors before it (the bad lines are
        // skipped); only trailing errors make the load fail.
        errs = rc;
        if (rc < 0) {
            if (!quiet)
                printf("iniparser: memory allocation failure\n");
            nomem = true;
        }
    }
};

}  // namespace

line_status iniparser_line(const char* input, char* section, char* key, char* value)
{
    assert(section && key && value);
    char* line = static_cast<char*>(calloc(INI_LINE_MAX + 1, 1));
    assert(line);
    size_t n = input ? strnlen(input, INI_LINE_MAX) : 0;
    _strip_into(line, input ? input : "", n);
    size_t len = strlen(line);

    line_status status = LINE_ERROR;
    const char* eq = strchr(line, '=');
    if (len == 0) {
        status = LINE_EMPTY;
    } else if (line[0] == '#' || line[0] == ';') {
        status = LINE_COMMENT;
    } else if (len >= 2 && line[0] == '[' && line[len - 1] == ']') {
        _strip_into(section, line + 1, len - 2);
        status = LINE_SECTION;
    } else if (eq && eq != line) {
        _strip_into(key, line, static_cast<size_t>(eq - line));
        if (key[0]) {
            _strip_into(value, eq + 1, strlen(eq + 1));
            // Quoted or not, the value is stripped: a package's
            // version = " V1.2 " is V1.2.
            if (_unquote(value)) {
                _strip_into(value, value, strlen(value));
            } else {
                value[strcspn(value, ";#")] = 0;
                _strip_into(value, value, strlen(value));
                if (strcmp(value, "\"\"") == 0 || strcmp(value, "''") == 0)
                    value[0] = 0;
            }
            status = LINE_VALUE;
        }
    }
    free(line);
    return status;
}

namespace {

// Parses the blocks that read(buf, max, &done) gives (false for a read
// error, done 0 at the end); path names the text in messages.
template <typename Read>
dictionary* _load(const char* path, bool quiet, Read read)
{
    _Loader ld;
    memset(&ld, 0, sizeof ld);
    ld.path = path;
    ld.quiet = quiet;
    ld.d = dictionary_new(0);
    char* line = static_cast<char*>(calloc(INI_LINE_MAX + 1, 1));
    ld.section = static_cast<char*>(calloc(INI_LINE_MAX + 1, 1));
    ld.key = static_cast<char*>(calloc(INI_LINE_MAX + 1, 1));
    ld.val = static_cast<char*>(calloc(INI_LINE_MAX + 1, 1));
    ld.tmp = static_cast<char*>(calloc(INI_LINE_MAX + 1, 1));
    {
        char* section = ld.section;
        char* key = ld.key;
        char* val = ld.val;
        char* tmp = ld.tmp;
        assert(line && section && key && val && tmp);
    }

    bool read_failed = false;
    if (!ld.d) {
        if (!quiet)
            printf("iniparser: memory allocation failure\n");
        ld.nomem = true;
    }
    while (!ld.nomem) {
        ssize_t done = 0;
        if (!read(line, kBlockSize, &done) || done < 0) {
            // A read error must not pass for the end of the file: the
            // dictionary would silently miss the rest.
            if (!quiet)
                printf("iniparser: cannot read %s\n", path);
            read_failed = true;
            break;
        }
        if (done == 0)
            break;
        for (ssize_t i = 0; i < done && !ld.nomem; ++i) {
            if (line[i] == '\n')
                ld.EndLine();
            else
                ld.Byte(line[i]);
        }
    }
    if (!ld.nomem && !read_failed)
        ld.Finish();

    free(line);
    free(ld.section);
    free(ld.key);
    free(ld.val);
    free(ld.tmp);
    if (ld.nomem || read_failed || ld.errs != 0) {
        dictionary_del(ld.d);
        return nullptr;
    }
    return ld.d;
}

}  // namespace

dictionary* iniparser_load(const char* path)
{
    int32_t h = kivo_file_handle_invalid;
    if (!path || kivo_file_open(&h, path, O_RDONLY) != 0) {
        printf("iniparser: cannot open %s\n", path ? path : "(null)");
        return nullptr;
    }
    dictionary* d = _load(path, false, [h](char* buf, size_t max, ssize_t* done) {
        return kivo_file_read(h, buf, max, done) == 0;
    });
    kivo_file_close(h);
    return d;
}

namespace {

int _dump_section(const dictionary* d, const char* section, _Out& out)
{
    size_t plen = strlen(section) + 1;
    char* keym = static_cast<char*>(malloc(plen + 1));
    assert(keym);
    memcpy(keym, section, plen - 1);
    keym[plen - 1] = ':';
    keym[plen] = 0;
    int rc = out.Section(section) ? 0 : -1;
    for (int32_t i = 0; i < d->size && rc == 0; ++i) {
        if (_under(d->key[i], keym, plen) && !out.Value(d->key[i] + plen, d->val[i]))
            rc = -1;
    }
    free(keym);
    return rc;
}

// Slot of the section whose line a key is written under: the longest
// section name that, with ':', begins the key ("x:y:k" lies under "x:y"
// before "x") and leaves it a name ("x:y:" is the key "y:" of "x", since
// no line holds an empty key); -1 for none.
int32_t _owner(const dictionary* d, int32_t key)
{
    int32_t best = -1;
    size_t best_len = 0;
    for (int32_t i = 0; i < d->size; ++i) {
        if (i == key || !_is_section(d, i))
            continue;
        const size_t len = strlen(d->key[i]);
        if ((best < 0 || len > best_len) && strncasecmp(d->key[key], d->key[i], len) == 0 && d->key[key][len] == ':' &&
            d->key[key][len + 1] != 0) {
            best = i;
            best_len = len;
        }
    }
    return best;
}

int _dump_ini(const dictionary* d, _Out& out)
{
    std::vector<int32_t> owner(static_cast<size_t>(d->size), -1);
    for (int32_t i = 0; i < d->size; ++i) {
        if (d->key[i] && !_is_section(d, i))
            owner[static_cast<size_t>(i)] = _owner(d, i);
    }
    // Keys read before any section line sit under the empty name (":key").
    // Unless a section "" holds them, they are written before the first
    // section line, without the ':', so that they read back as they were.
    // Any other key that no section holds is left out, and the check of
    // the whole text refuses the dictionary.
    for (int32_t i = 0; i < d->size; ++i) {
        if (d->key[i] && !_is_section(d, i) && owner[static_cast<size_t>(i)] < 0 && d->key[i][0] == ':' &&
            !out.Value(d->key[i] + 1, d->val[i]))
            return -1;
    }
    for (int32_t s = 0; s < d->size; ++s) {
        if (!_is_section(d, s))
            continue;
        if (!out.Section(d->key[s]))
            return -1;
        const size_t plen = strlen(d->key[s]) + 1;
        for (int32_t i = 0; i < d->size; ++i) {
            if (owner[static_cast<size_t>(i)] == s && !out.Value(d->key[i] + plen, d->val[i]))
                return -1;
        }
    }
    return 0;
}

const char* _text(const char* v)
{
    return v ? v : "";
}

// Whether `back` (the writer's text read again) holds exactly the entries
// of d: the same names (ignoring case, as lookups do), sections without a
// value, and the same value of every key (null is written as empty).
bool _same(const dictionary* d, const dictionary* back)
{
    if (!back || back->n != d->n)
        return false;
    for (int32_t i = 0; i < d->size; ++i) {
        if (!d->key[i])
            continue;
        const int32_t j = _dictionary_find(back, d->key[i]);
        if (j < 0)
            return false;
        if (_is_section(d, i) ? d->val[i] || back->val[j] : strcmp(_text(d->val[i]), _text(back->val[j])) != 0)
            return false;
    }
    return true;
}

// The text of d as iniparser_dump_ini writes it, checked to read back as d
// as a whole: a key under a missing section, a section holding a value or a
// key the flat form would change are not written by any line.
int _render(const dictionary* d, std::string* text)
{
    _Out out;
    if (_dump_ini(d, out) != 0)
        return -1;
    size_t pos = 0;
    dictionary* back = _load("(output)", true, [&](char* buf, size_t max, ssize_t* done) {
        const size_t n = std::min(max, out.text.size() - pos);
        memcpy(buf, out.text.data() + pos, n);
        pos += n;
        *done = static_cast<ssize_t>(n);
        return true;
    });
    const bool same = _same(d, back);
    dictionary_del(back);
    if (!same)
        return -1;
    text->swap(out.text);
    return 0;
}

// Writes text line by line, stopping at the first failed write, whose cause
// goes through err when given (0 when all was written).
bool _write_text(int32_t handle, const std::string& text, kivo_err_t* err = nullptr)
{
    if (err)
        *err = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        if (!dictionary_write_all(handle, text.data() + pos, end - pos, err))
            return false;
        pos = end;
    }
    return true;
}

}  // namespace

int iniparser_store(const dictionary* d, const char* path, kivo_err_t* err)
{
    kivo_err_t e = 0;
    // What would not read back fails the store before the old file is
    // truncated.
    std::string text;
    int32_t h = kivo_file_handle_invalid;
    if (!d || !path || _render(d, &text) != 0)
        e = EINVAL;
    else
        e = kivo_file_open(&h, path, KIVO_FILE_CREATE_FLAGS);
    if (e == 0) {
        _write_text(h, text, &e);
        // A record is stored only once it is on the medium: a full disk may
        // show only at the flush.
        if (e == 0)
            e = kivo_file_fsync(h);
        const kivo_err_t closed = kivo_file_close(h);
        if (e == 0)
            e = closed;
    }
    if (err)
        *err = e;
    return e == 0 ? 0 : -1;
}

void iniparser_freedict(dictionary* d)
{
    dictionary_del(d);
}

int iniparser_getnsec(const dictionary* d)
{
    if (!d)
        return -1;
    int count = 0;
    for (int32_t i = 0; i < d->size; ++i) {
        if (_is_section(d, i))
            ++count;
    }
    return count;
}

const char* iniparser_getsecname(const dictionary* d, int n)
{
    if (!d || n < 0)
        return nullptr;
    for (int32_t i = 0; i < d->size; ++i) {
        if (_is_section(d, i) && n-- == 0)
            return d->key[i];
    }
    return nullptr;
}

int iniparser_getsecnkeys(const dictionary* d, const char* section)
{
    if (!d || !section || _dictionary_find(d, section) < 0)
        return 0;
    std::string prefix(section);
    prefix += ':';
    int count = 0;
    for (int32_t i = 0; i < d->size; ++i) {
        if (_under(d->key[i], prefix.c_str(), prefix.size()))
            ++count;
    }
    return count;
}

const char** iniparser_getseckeys(const dictionary* d, const char* section)
{
    if (!d || !section || _dictionary_find(d, section) < 0)
        return nullptr;
    int nkeys = iniparser_getsecnkeys(d, section);
    // At least one slot, so that a section without keys is not mistaken for
    // a missing one.
    const char** keys = static_cast<const char**>(calloc(static_cast<size_t>(nkeys) + 1, sizeof(char*)));
    if (!keys)
        return nullptr;
    std::string prefix(section);
    prefix += ':';
    int j = 0;
    for (int32_t i = 0; i < d->size && j < nkeys; ++i) {
        if (_under(d->key[i], prefix.c_str(), prefix.size()))
            keys[j++] = d->key[i];
    }
    return keys;
}

void iniparser_freeseckeys(const char** keys)
{
    free(keys);
}

const char* iniparser_getstring(const dictionary* d, const char* key, const char* def)
{
    return dictionary_get(d, key, def);
}

int iniparser_getint(const dictionary* d, const char* key, int def)
{
    const char* s = dictionary_get(d, key, nullptr);
    if (!s)
        return def;
    long v = strtol(s, nullptr, 0);
    // long is wider than int on some targets: clamp, so that every target
    // reads the same number.
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

double iniparser_getdouble(const dictionary* d, const char* key, double def)
{
    const char* s = dictionary_get(d, key, nullptr);
    return s ? atof(s) : def;
}

int iniparser_getboolean(const dictionary* d, const char* key, int def)
{
    const char* s = dictionary_get(d, key, nullptr);
    if (!s)
        return def;
    switch (s[0]) {
    case 'y': case 'Y': case '1': case 't': case 'T':
        return 1;
    case 'n': case 'N': case '0': case 'f': case 'F':
        return 0;
    default:
        return def;
    }
}

int iniparser_find_entry(const dictionary* d, const char* key)
{
    return _dictionary_find(d, key) >= 0 ? 1 : 0;
}

int iniparser_set(dictionary* d, const char* key, const char* val)
{
    return dictionary_set(d, key, val);
}

void iniparser_unset(dictionary* d, const char* key)
{
    dictionary_unset(d, key);
}

int iniparser_dump(const dictionary* d, int32_t handle)
{
    if (!d)
        return -1;
    char* bufw = static_cast<char*>(calloc(INI_LINE_MAX + 1, 1));
    assert(bufw);
    int rc = 0;
    for (int32_t i = 0; i < d->size && rc == 0; ++i) {
        if (!d->key[i])
            continue;
        bool ok = d->val[i] ? _write_line(handle, bufw, "[%s]=[%s]\r\n", d->key[i], d->val[i])
                            : _write_line(handle, bufw, "[%s]=UNDEF\r\n", d->key[i], nullptr);
        if (!ok)
            rc = -1;
    }
    free(bufw);
    return rc;
}

int iniparser_dumpsection_ini(const dictionary* d, const char* section, int32_t handle)
{
    if (!d || !section)
        return -1;
    _Out out;
    if (_dump_section(d, section, out) != 0)
        return -1;
    return _write_text(handle, out.text) ? 0 : -1;
}

int iniparser_dump_ini(const dictionary* d, int32_t handle)
{
    if (!d)
        return -1;
    std::string text;
    if (_render(d, &text) != 0)
        return -1;
    return _write_text(handle, text) ? 0 : -1;
}
