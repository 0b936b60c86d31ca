#include "kivo/common/document.h"

#include <string.h>

#include "kivo/common/stream.h"
#include "kivo/common/variant.h"

namespace kivo {

namespace {

const size_t kNone = static_cast<size_t>(-1);

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

inline bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

inline bool IsIdentStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

inline bool IsIdentByte(char c)
{
    return IsIdentStart(c) || (c >= '0' && c <= '9');
}

// A NUL byte of the text is in no set.
inline bool InSet(const char* set, char c)
{
    return c != 0 && strchr(set, c) != 0;
}

// End (one past the closing quote) of the quoted text that opens at p, or
// kNone when it is not closed; *open gets the quote's width (1 or 3).
size_t SkipQuoted(const char* s, size_t p, size_t end, size_t* open)
{
    if (s[p] == '"') {
        for (size_t i = p + 1; i < end; ++i) {
            if (s[i] == '\\') {
                ++i;  // the escaped byte is ordinary
                continue;
            }
            if (s[i] == '"') {
                *open = 1;
                return i + 1;
            }
        }
        return kNone;
    }
    if (p + 2 < end && s[p + 1] == '\'' && s[p + 2] == '\'') {
        for (size_t i = p + 3; i + 2 < end; ++i) {
            if (s[i] == '\'' && s[i + 1] == '\'' && s[i + 2] == '\'') {
                *open = 3;
                return i + 3;
            }
        }
        return kNone;
    }
    for (size_t i = p + 1; i < end; ++i) {
        if (s[i] == '\'') {
            *open = 1;
            return i + 1;
        }
    }
    return kNone;
}

// End (one past the closing bracket) of the balanced token that opens at p
// with '[' or '{', or kNone. Strings and comments inside do not count.
size_t SkipBracket(const char* s, size_t p, size_t end)
{
    const char close = s[p] == '[' ? ']' : '}';
    long depth = 0;
    size_t i = p;
    while (i < end) {
        const char c = s[i];
        if (c == '"' || c == '\'') {
            size_t open;
            const size_t e = SkipQuoted(s, i, end, &open);
            if (e == kNone)
                return kNone;
            i = e;
            continue;
        }
        if (c == '#') {
            while (i < end && s[i] != '\n')
                ++i;
            continue;
        }
        if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            --depth;
            if (depth == 0 && c == close)
                return i + 1;
        }
        ++i;
    }
    return kNone;
}

StringView TrimBlanks(const StringView& v)
{
    size_t first = 0;
    size_t n = v.Size();
    while (n > 0 && IsBlank(v.Data()[first])) {
        ++first;
        --n;
    }
    while (n > 0 && IsBlank(v.Data()[first + n - 1]))
        --n;
    return StringView(v.Data() + first, n);
}

bool IsBlankText(const StringView& v)
{
    return TrimBlanks(v).Size() == 0;
}

void Deliver(DocDictProc callback, void* context, const StringView& key, const StringView& value, int32_t kind)
{
    if (!IsBlankText(key))
        callback(context, key.Data(), key.Size(), value.Data(), value.Size(), kind);
}

// True when the next byte is c.
bool At(const DocSlice& sl, char c)
{
    return !sl.AtEnd() && sl.Peek() == c;
}

bool IsQuoteOrBracket(char c)
{
    return c == '\'' || c == '"' || c == '[' || c == '{';
}

bool ParseBraced(DocSlice& sl, DocDictProc callback, void* context)
{
    sl.SetPos(sl.Pos() + 1);
    for (;;) {
        StringView key;
        StringView value;
        int32_t kind;
        if (!sl.ReadItem(DocSlice::kWord, &key, &kind))
            return At(sl, '}');  // "{}" or a trailing ','
        if (kind != kDocQuoted || key.Size() == 0)
            return false;
        sl.SkipBlanks();
        if (!At(sl, ':'))
            return false;
        sl.SetPos(sl.Pos() + 1);
        if (!sl.ReadItem(DocSlice::kWord, &value, &kind))
            return false;
        Deliver(callback, context, key, value, kind);
        sl.SkipBlanks();
        if (!At(sl, ','))
            return At(sl, '}');
        sl.SetPos(sl.Pos() + 1);
    }
}

bool ParseSections(DocSlice& sl, DocDictProc callback, void* context)
{
    const char* s = sl.Text().Data();
    const uint32_t end = sl.End();
    sl.SetPos(sl.Pos() + 1);
    for (;;) {
        StringView name;
        int32_t kind;
        if (!sl.ReadItem(DocSlice::kWord, &name, &kind) || kind < kDocInteger || kind > kDocIdent)
            return false;
        sl.SkipBlanks();
        if (!At(sl, ']'))
            return false;
        const uint32_t body = sl.Pos() + 1;
        // The body runs to the start of the next line whose first non-blank
        // byte is '['.
        uint32_t body_end = end;
        uint32_t next = end;
        for (uint32_t i = body; i < end; ++i) {
            if (s[i] != '\n')
                continue;
            uint32_t k = i + 1;
            while (k < end && IsSpace(s[k]))
                ++k;
            if (k < end && s[k] == '[') {
                body_end = i + 1;
                next = k + 1;
                break;
            }
            i = k - 1;
        }
        Deliver(callback, context, name, StringView(s + body, body_end - body), kDocQuoted);
        if (next >= end)
            return body_end == end;  // a last "[" with nothing after it is no section
        sl.SetPos(next);
    }
}

bool ParseLines(DocSlice& sl, DocDictProc callback, void* context)
{
    for (;;) {
        for (;;) {
            sl.SkipBlanks();
            if (At(sl, ';')) {
                sl.SetPos(sl.Pos() + 1);
                continue;
            }
            break;
        }
        if (sl.AtEnd())
            return true;
        const uint32_t start = sl.Pos();
        const char first = sl.Peek();
        StringView key;
        int32_t key_kind;
        if (!sl.ReadItem("\n;=", &key, &key_kind)) {
            if (IsQuoteOrBracket(first))
                return false;  // unterminated: nothing after it can be read
            sl.SetPos(start + 1);  // a key that cannot be read: its '=' goes
            continue;
        }
        if (key_kind >= kDocInteger)
            key = TrimBlanks(key);
        sl.SkipSpaces();
        if (!At(sl, '='))
            continue;  // the line or item ended first: the key is dropped
        sl.SetPos(sl.Pos() + 1);
        sl.SkipSpaces();
        StringView value;
        int32_t value_kind = kDocRaw;
        if (sl.AtEnd() || sl.Peek() == '\n' || sl.Peek() == ';' || sl.Peek() == '#') {
            value = StringView(sl.Text().Data() + sl.Pos(), 0);
        } else {
            if (!sl.ReadItem(";\n", &value, &value_kind))
                return false;  // an unterminated quote or bracket
            if (value_kind >= kDocInteger)
                value = TrimBlanks(value);
        }
        Deliver(callback, context, key, value, value_kind);
    }
}

bool Put(io_base::WriteProc writer, void* context, const char* data, size_t length)
{
    return length == 0 || writer(context, data, length);
}

bool Put(io_base::WriteProc writer, void* context, const char* text)
{
    return Put(writer, context, text, strlen(text));
}

bool Put(io_base::WriteProc writer, void* context, const StringView& v)
{
    return Put(writer, context, v.Data(), v.Size());
}

// Whether quote + text + quote reads back as text by the quote rules.
bool QuoteFits(const StringView& text, const char* quote)
{
    std::string s(quote);
    s.append(text.Data(), text.Size());
    s.append(quote);
    size_t open = 0;
    return SkipQuoted(s.data(), 0, s.size(), &open) == s.size() && open == strlen(quote);
}

// A text in quotes: the plain quote when it carries the text (the usual
// bytes); else the first other form the reader knows that does: ''' for
// apostrophes, then the double quote. A text that none carries (a double
// quote, and an apostrophe at its end) is refused: false, nothing written.
bool PutQuoted(io_base::WriteProc writer, void* context, const StringView& text, char quote)
{
    const char plain[2] = {quote, 0};
    const char* form = plain;
    if (!QuoteFits(text, plain)) {
        static const char* const kOthers[] = {"'''", "\""};
        form = 0;
        for (const char* other : kOthers) {
            if (QuoteFits(text, other)) {
                form = other;
                break;
            }
        }
        if (!form)
            return false;
    }
    return Put(writer, context, form) && Put(writer, context, text) && Put(writer, context, form);
}

// Whether a word-mode reader gives the text back whole as one number or
// identifier ("-inf" begins a number that is none, so it is not).
bool IsOneWord(const StringView& text)
{
    DocSlice sl(text);
    StringView item;
    int32_t kind = 0;
    // The word must begin the text: blanks and comments before it do not
    // count.
    return sl.ReadItem(DocSlice::kWord, &item, &kind) && kind >= kDocInteger && item.Data() == text.Data() &&
           sl.AtEnd();
}

// A key of a "key=value" line: unchanged when the line reader gives it back
// as it is, else quoted (the reader takes quoted keys too).
bool PutLineKey(io_base::WriteProc writer, void* context, const StringView& key, char quote)
{
    // No form carries a blank key: the readers skip it.
    if (IsBlankText(key))
        return false;
    bool raw = !IsBlank(key.Data()[0]) && !IsBlank(key.Data()[key.Size() - 1]) && !IsQuoteOrBracket(key.Data()[0]);
    for (size_t i = 0; raw && i < key.Size(); ++i)
        raw = strchr("\n;=#", key.Data()[i]) == 0 || key.Data()[i] == 0;
    return raw ? Put(writer, context, key) : PutQuoted(writer, context, key, quote);
}

// A key in braces: quoted, and not blank (an empty one ends the reading, a
// blank one is skipped).
bool PutBracedKey(io_base::WriteProc writer, void* context, const StringView& key, char quote)
{
    return !IsBlankText(key) && PutQuoted(writer, context, key, quote);
}

// A section entry: "[key]", then the body on the lines after it. The reader
// gives back everything after ']' up to the next section, so line breaks
// the body already holds at its ends are not added again, and a body that
// opens with '[' stays on the name's line (on a line of its own it would
// begin the next section).
bool PutSection(io_base::WriteProc writer, void* context, const StringView& key, const StringView& body)
{
    // The reader takes a section name only as one identifier or number, and
    // a body line that opens with '[' as the next section (quotes or not).
    if (!IsOneWord(key))
        return false;
    for (size_t i = 0; i < body.Size(); ++i) {
        if (body.Data()[i] != '\n')
            continue;
        size_t k = i + 1;
        while (k < body.Size() && IsSpace(body.Data()[k]))
            ++k;
        if (k < body.Size() && body.Data()[k] == '[')
            return false;
    }
    size_t first = 0;
    while (first < body.Size() && IsSpace(body.Data()[first]))
        ++first;
    const bool lead = body.Size() > 0 && (body.Data()[0] == '\n' || (first < body.Size() && body.Data()[first] == '['));
    const bool tail = body.Size() > 0 && body.Data()[body.Size() - 1] == '\n';
    return Put(writer, context, "[") && Put(writer, context, key) && Put(writer, context, "]") &&
           (lead || Put(writer, context, "\n")) && Put(writer, context, body) && (tail || Put(writer, context, "\n"));
}

}  // namespace

// ---- DocSlice --------------------------------------------------------------------

const char* const DocSlice::kWord = "W";

DocSlice::DocSlice(const StringView& text) : _text(text), _pos(0), _end(static_cast<uint32_t>(text.Size())) {}

void DocSlice::SkipBlanks()
{
    const char* s = _text.Data();
    while (_pos < _end) {
        if (IsBlank(s[_pos])) {
            ++_pos;
        } else if (s[_pos] == '#') {
            while (_pos < _end && s[_pos] != '\n')
                ++_pos;
        } else {
            break;
        }
    }
}

void DocSlice::SkipSpaces()
{
    const char* s = _text.Data();
    while (_pos < _end && IsSpace(s[_pos]))
        ++_pos;
}

bool DocSlice::ReadItem(const char* terminators, StringView* item, int32_t* kind)
{
    SkipBlanks();
    if (AtEnd())
        return false;
    const char c = Peek();
    if (c == '\'' || c == '"') {
        *kind = kDocQuoted;
        return _ReadQuoted(item);
    }
    if (c == '[' || c == '{') {
        *kind = c == '[' ? kDocList : kDocDict;
        return _ReadBracket(item);
    }
    if (terminators == kWord || strcmp(terminators, kWord) == 0)
        return _ReadWord(item, kind);
    *kind = kDocRaw;
    return _ReadRaw(terminators, item);
}

bool DocSlice::_ReadQuoted(StringView* item)
{
    size_t open = 1;
    const size_t e = SkipQuoted(_text.Data(), _pos, _end, &open);
    if (e == kNone)
        return false;
    *item = StringView(_text.Data() + _pos + open, e - _pos - 2 * open);
    _pos = static_cast<uint32_t>(e);
    return true;
}

bool DocSlice::_ReadBracket(StringView* item)
{
    const size_t e = SkipBracket(_text.Data(), _pos, _end);
    if (e == kNone) {
        _pos = _end;
        return false;
    }
    *item = StringView(_text.Data() + _pos, e - _pos);
    _pos = static_cast<uint32_t>(e);
    return true;
}

bool DocSlice::_ReadWord(StringView* item, int32_t* kind)
{
    const char* s = _text.Data();
    const char c = s[_pos];
    if ((c >= '0' && c <= '9') || c == '-' || c == '+') {
        size_t consumed = 0;
        const int32_t number = _ClassifyNumber(s + _pos, _end - _pos, 0, 0, &consumed);
        if (number == 0 || consumed == 0)
            return false;
        *kind = number == 2 ? kDocReal : kDocInteger;
        *item = StringView(s + _pos, consumed);
        _pos += static_cast<uint32_t>(consumed);
        return true;
    }
    if (IsIdentStart(c)) {
        uint32_t e = _pos + 1;
        while (e < _end && IsIdentByte(s[e]))
            ++e;
        *kind = kDocIdent;
        *item = StringView(s + _pos, e - _pos);
        _pos = e;
        return true;
    }
    return false;
}

bool DocSlice::_ReadRaw(const char* terminators, StringView* item)
{
    const char* s = _text.Data();
    uint32_t e = _pos;
    while (e < _end && s[e] != '#' && !InSet(terminators, s[e]))
        ++e;
    if (e == _pos)
        return false;
    *item = StringView(s + _pos, e - _pos);
    _pos = e;
    return true;
}

// ---- parsers ---------------------------------------------------------------------

int32_t DocDetectKind(const StringView& text)
{
    const StringView t = TrimBlanks(text);
    if (t.Size() < 2)
        return 0;
    const char first = t.Data()[0];
    const char last = t.Data()[t.Size() - 1];
    if (first == '[' && last == ']')
        return 1;
    if (first == '{' && last == '}')
        return 2;
    return 0;
}

bool DocParseList(DocListProc callback, void* context, const StringView& text)
{
    DocSlice sl(text);
    sl.SkipBlanks();
    if (sl.AtEnd())
        return true;
    StringView item;
    int32_t kind;
    if (sl.Peek() == '[') {
        sl.SetPos(sl.Pos() + 1);
        for (;;) {
            if (!sl.ReadItem(DocSlice::kWord, &item, &kind))
                return At(sl, ']');  // "[]" or a trailing ','
            if (item.Size() > 0)
                callback(context, item.Data(), item.Size(), kind);
            sl.SkipBlanks();
            if (!At(sl, ','))
                return At(sl, ']');
            sl.SetPos(sl.Pos() + 1);
        }
    }
    for (;;) {
        sl.SkipBlanks();
        if (sl.AtEnd())
            return true;
        const uint32_t before = sl.Pos();
        const char first = sl.Peek();
        if (sl.ReadItem(" \t\n,", &item, &kind)) {
            if (item.Size() > 0)
                callback(context, item.Data(), item.Size(), kind);
        } else if (IsQuoteOrBracket(first)) {
            return false;  // unterminated
        }
        if (At(sl, ',') || At(sl, ']'))
            sl.SetPos(sl.Pos() + 1);
        if (sl.Pos() == before)
            return false;  // nothing could be read here
    }
}

bool DocParseDict(DocDictProc callback, void* context, const StringView& text)
{
    DocSlice sl(text);
    sl.SkipBlanks();
    if (sl.AtEnd())
        return true;
    const char c = sl.Peek();
    if (c == '{')
        return ParseBraced(sl, callback, context);
    if (c == '[')
        return ParseSections(sl, callback, context);
    return ParseLines(sl, callback, context);
}

bool DocParseAttributes(DocDictProc callback, void* context, const StringView& text)
{
    DocSlice sl(text);
    for (;;) {
        sl.SkipBlanks();
        if (sl.AtEnd())
            return true;
        StringView name;
        StringView value;
        int32_t kind;
        if (!sl.ReadItem(DocSlice::kWord, &name, &kind) || kind < kDocInteger || kind > kDocIdent)
            return false;
        sl.SkipBlanks();
        if (!At(sl, '='))
            return false;
        sl.SetPos(sl.Pos() + 1);
        if (!sl.ReadItem(DocSlice::kWord, &value, &kind) || kind != kDocQuoted)
            return false;
        Deliver(callback, context, name, value, kDocQuoted);
    }
}

// ---- writers -------------------------------------------------------------------------

bool DocWriteString(io_base::WriteProc writer, void* context, const StringView& text, char quote, int32_t mode)
{
    bool quoted = mode == 1;
    if (mode == 2) {
        // Unchanged only when the text reads back as itself: one balanced
        // bracket token with no blanks around it, or one number with no
        // blanks at all (the reader drops them, a line ends at '\n').
        const size_t n = text.Size();
        const bool bracket = n > 0 && (text.Data()[0] == '{' || text.Data()[0] == '[') &&
                             SkipBracket(text.Data(), 0, n) == n;
        bool blank_tail = false;
        size_t consumed = 0;
        bool blanks = false;
        for (size_t i = 0; i < n && !blanks; ++i)
            blanks = IsBlank(text.Data()[i]);
        const bool number =
            n > 0 && !blanks && _ClassifyNumber(text.Data(), n, &blank_tail, 0, &consumed) != 0 && consumed == n;
        quoted = !bracket && !number;
    }
    if (!quoted)
        return Put(writer, context, text);
    return PutQuoted(writer, context, text, quote);
}

namespace {

bool WriteVarList(std::string* out, const std::vector<Var>& items, bool bracketed);
bool WriteVarDict(std::string* out, const std::map<std::string, Var>& dict, int32_t style);

// One item of a list or value of a dictionary, appended to out. `word`: it
// is read in word mode (inside brackets or braces), where a number whose
// text is no number or identifier ("-inf", "-nan") would end the reading,
// so it is quoted; raw items and values give such a text back as it is.
// Containers are written in braces, and a refusal inside them is the
// whole tree's.
bool WriteVarItem(std::string* out, const Var& v, bool word)
{
    if (v.TypeId() == typeid(std::vector<Var>))
        return WriteVarList(out, *static_cast<const std::vector<Var>*>(v._Payload()), true);
    if (v.TypeId() == typeid(std::map<std::string, Var>))
        return WriteVarDict(out, *static_cast<const std::map<std::string, Var>*>(v._Payload()), 1);
    if (word && v.GetType() <= Var::TYPE_DOUBLE) {
        const std::string text = v.ToString(0);
        if (!IsOneWord(StringView(text)))
            return PutQuoted(io_base::StringWriteProc, out, StringView(text), '\'');
    }
    return Var::WriteText(io_base::StringWriteProc, out, v, '\'');
}

bool WriteVarList(std::string* out, const std::vector<Var>& items, bool bracketed)
{
    const size_t start = out->size();
    if (bracketed)
        out->push_back('[');
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out->push_back(',');
        if (!WriteVarItem(out, items[i], bracketed))
            return false;
    }
    if (bracketed)
        out->push_back(']');
    // Bare items that open with '[' would read back as that list alone:
    // such a list is written in brackets.
    if (!bracketed && out->size() > start && (*out)[start] == '[') {
        out->resize(start);
        return WriteVarList(out, items, true);
    }
    return true;
}

bool WriteVarDict(std::string* out, const std::map<std::string, Var>& dict, int32_t style)
{
    if (style == 1)
        out->push_back('{');
    bool first = true;
    for (std::map<std::string, Var>::const_iterator it = dict.begin(); it != dict.end(); ++it) {
        const StringView key(it->first);
        bool ok;
        if (style == 1) {
            if (!first)
                out->push_back(',');
            ok = PutBracedKey(io_base::StringWriteProc, out, key, '\'') && Put(io_base::StringWriteProc, out, ":") &&
                 WriteVarItem(out, it->second, true);
        } else if (style == 0) {
            ok = PutLineKey(io_base::StringWriteProc, out, key, '\'') && Put(io_base::StringWriteProc, out, "=") &&
                 WriteVarItem(out, it->second, false) && Put(io_base::StringWriteProc, out, "\n");
        } else {
            // A text is the body itself, as the reader gives it back.
            const Var& v = it->second;
            const bool text = v.GetType() >= Var::TYPE_STRING && v.TypeId() != typeid(std::vector<Var>) &&
                              v.TypeId() != typeid(std::map<std::string, Var>);
            std::string body;
            if (text)
                body = v.ToString(0);
            ok = (text || WriteVarItem(&body, v, false)) &&
                 PutSection(io_base::StringWriteProc, out, key, StringView(body));
        }
        if (!ok)
            return false;
        first = false;
    }
    if (style == 1)
        out->push_back('}');
    return true;
}

// Hands a text made whole to the writer: a refused tree writes nothing.
bool PutWhole(io_base::WriteProc writer, void* context, bool ok, const std::string& text)
{
    return ok && Put(writer, context, text.data(), text.size());
}

}  // namespace

bool DocWriteVarList(io_base::WriteProc writer, void* context, const std::vector<Var>& items, int32_t style)
{
    std::string text;
    const bool ok = WriteVarList(&text, items, style == 1);
    return PutWhole(writer, context, ok, text);
}

bool DocWriteVarDict(io_base::WriteProc writer, void* context, const std::map<std::string, Var>& dict, int32_t style)
{
    std::string text;
    const bool ok = WriteVarDict(&text, dict, style);
    return PutWhole(writer, context, ok, text);
}

bool DocWriteVar(io_base::WriteProc writer, void* context, const Var& v, int32_t style)
{
    if (v.TypeId() == typeid(std::vector<Var>))
        return DocWriteVarList(writer, context, *static_cast<const std::vector<Var>*>(v._Payload()), style);
    if (v.TypeId() == typeid(std::map<std::string, Var>))
        return DocWriteVarDict(writer, context, *static_cast<const std::map<std::string, Var>*>(v._Payload()), style);
    // A text alone is read back as itself, unchanged, unless it looks like a
    // container; quotes around it would stay in it.
    if (v.GetType() >= Var::TYPE_STRING) {
        const std::string text = v.ToString(0);
        if (DocDetectKind(StringView(text)) == 0)
            return Put(writer, context, StringView(text));
    }
    std::string text;
    const bool ok = Var::WriteText(io_base::StringWriteProc, &text, v, '\'');
    return PutWhole(writer, context, ok, text);
}

// ---- reading from a context ------------------------------------------------------------

bool DocReadAll(std::string& out, IOContext* io, size_t size)
{
    if (io == 0 || size == 0) {
        out.clear();
        return false;
    }
    out.resize(size);
    const ssize_t n = io->Read(&out[0], size, 0);
    if (n <= 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size);
    return true;
}

bool DocReadLine(std::string& out, IOContext* io, size_t max, bool* newline)
{
    if (max == 0)
        return false;
    if (newline)
        *newline = false;
    out.clear();
    if (io == 0)
        return false;
    while (out.size() < max) {
        char c;
        if (io->Read(&c, 1, 0) != 1)
            break;
        if (c == '\n') {
            if (newline)
                *newline = true;
            return true;
        }
        out.push_back(c);
    }
    return !out.empty();
}

// ---- DocList / DocDict -------------------------------------------------------------------

DocList::DocList(size_t reserve)
{
    _items.reserve(reserve);
}

DocList::DocList(const StringView& text, size_t reserve)
{
    _items.reserve(reserve);
    Parse(text);
}

void DocList::_OnItem(void* context, const char* data, size_t length, int32_t)
{
    static_cast<DocList*>(context)->_items.push_back(StringView(data, length));
}

bool DocList::Parse(const StringView& text)
{
    _items.clear();
    return DocParseList(&DocList::_OnItem, this, text);
}

int32_t DocList::Find(const StringView& item) const
{
    for (size_t i = 0; i < _items.size(); ++i) {
        if (_items[i] == item)
            return static_cast<int32_t>(i);
    }
    return -1;
}

bool DocList::ToString(std::string& out, int32_t style) const
{
    out.clear();
    const DocStyle st = {'\'', style == 1 ? 2 : 0};
    const bool bracketed = style == 1;
    if (bracketed)
        out.push_back('[');
    for (size_t i = 0; i < _items.size(); ++i) {
        if (i > 0)
            out.push_back(',');
        if (!DocWriteString(io_base::StringWriteProc, &out, _items[i], static_cast<char>(st.quote), st.mode)) {
            out.clear();
            return false;
        }
    }
    if (bracketed)
        out.push_back(']');
    // Bare items that open with '[' would read back as that list alone.
    if (!bracketed && !out.empty() && out[0] == '[')
        return ToString(out, 1);
    return true;
}

DocDict::DocDict(size_t reserve)
{
    _items.reserve(reserve);
}

DocDict::DocDict(const StringView& text, size_t reserve)
{
    _items.reserve(reserve);
    Parse(text);
}

void DocDict::_OnItem(void* context, const char* key, size_t key_length, const char* value, size_t value_length,
                      int32_t)
{
    static_cast<DocDict*>(context)->_items.push_back(Item(StringView(key, key_length), StringView(value, value_length)));
}

bool DocDict::Parse(const StringView& text)
{
    _items.clear();
    return DocParseDict(&DocDict::_OnItem, this, text);
}

bool DocDict::ToString(std::string& out, int32_t style) const
{
    out.clear();
    const DocStyle st = {'\'', style == 1 || style == 0 ? 2 : 0};
    const char quote = static_cast<char>(st.quote);
    if (style == 1)
        out.push_back('{');
    bool ok = true;
    for (size_t i = 0; i < _items.size() && ok; ++i) {
        const Item& it = _items[i];
        if (style == 1) {
            if (i > 0)
                out.push_back(',');
            ok = PutBracedKey(io_base::StringWriteProc, &out, it.first, quote) &&
                 Put(io_base::StringWriteProc, &out, ":") &&
                 DocWriteString(io_base::StringWriteProc, &out, it.second, quote, st.mode);
        } else if (style == 0) {
            ok = PutLineKey(io_base::StringWriteProc, &out, it.first, quote) &&
                 Put(io_base::StringWriteProc, &out, "=") &&
                 DocWriteString(io_base::StringWriteProc, &out, it.second, quote, st.mode) &&
                 Put(io_base::StringWriteProc, &out, "\n");
        } else {
            ok = PutSection(io_base::StringWriteProc, &out, it.first, it.second);
        }
    }
    if (!ok) {
        out.clear();
        return false;
    }
    if (style == 1)
        out.push_back('}');
    return true;
}

}  // namespace kivo
