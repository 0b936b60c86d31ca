#pragma once

// Text documents: one small syntax for lists, dictionaries and INI-style
// section texts, read without copying and written back in three styles.
//
// Lists:        [1, -2.5e1, abc, 'x y', [3], {k:1}]     or bare items: a b,c
// Dictionaries: {'k': 1, 'v': [1,2]}                    (keys quoted)
//               key = value; other = 'text' # comment   (line form)
//               [section]\nbody...\n[next]\nbody...     (section form)
//
// Blanks are ' ', '\t', '\r', '\n'; a '#' where a blank may stand starts a
// comment up to the next '\n'. Each item goes to a callback as a slice of
// the text with its token kind:
//   0 quoted text (the content between the quotes; escapes stay as they
//     are; ''' opens a text that only ''' closes)
//   1 a balanced "[...]" with its brackets     2 a balanced "{...}"
//   3 an integer      4 a real number          5 an identifier
//   6 raw text (bare items up to a terminator)
// The parsers never fail loudly and never read past the text: malformed
// input (an unterminated quote or bracket, a byte that cannot start an item)
// ends the parse, and what was delivered before stays delivered.

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kivo/common/number.h"
#include "kivo/common/string_view.h"

namespace kivo {

class IOContext;
class Var;

enum : int32_t {
    kDocQuoted = 0,
    kDocList = 1,
    kDocDict = 2,
    kDocInteger = 3,
    kDocReal = 4,
    kDocIdent = 5,
    kDocRaw = 6,
};

// The text being read and the reading position. Reading a byte at or past
// the end is the assertion "n < _num" of StringView::At; the readers below
// never do.
class DocSlice {
public:
    // The terminator set that selects word mode for ReadItem.
    static const char* const kWord;

    explicit DocSlice(const StringView& text);

    bool AtEnd() const { return _pos >= _end; }
    char Peek() const { return _text.At(_pos); }
    uint32_t Pos() const { return _pos; }
    uint32_t End() const { return _end; }
    void SetPos(uint32_t pos) { _pos = pos < _end ? pos : _end; }
    const StringView& Text() const { return _text; }

    // Skips blanks and comments.
    void SkipBlanks();
    // Skips ' ', '\t' and '\r' only (stays on the line).
    void SkipSpaces();

    // Reads one item after blanks and comments. By its first byte: a quote
    // gives kind 0, '[' kind 1, '{' kind 2; otherwise a bare token: in word
    // mode (terminators == kWord) a number (3 or 4) or an identifier (5);
    // else raw text (6) up to a byte of terminators, a '#' or the end.
    // False when no item could be read: an unterminated quote, a byte that
    // starts nothing and an empty raw token leave the position where the
    // item would have begun; an unterminated bracket moves it to the end.
    bool ReadItem(const char* terminators, StringView* item, int32_t* kind);

private:
    bool _ReadQuoted(StringView* item);
    bool _ReadBracket(StringView* item);
    bool _ReadWord(StringView* item, int32_t* kind);
    bool _ReadRaw(const char* terminators, StringView* item);

    StringView _text;
    uint32_t _pos;
    uint32_t _end;
};

// Style of a value text in the writers: the quote character and the mode
// (see DocWriteString).
struct DocStyle {
    int32_t quote;
    int32_t mode;
};

typedef void (*DocListProc)(void* context, const char* data, size_t length, int32_t kind);
typedef void (*DocDictProc)(void* context, const char* key, size_t key_length, const char* value, size_t value_length,
                            int32_t kind);

// 1 when the text, trimmed of " \r\t\n", begins with '[' and ends with ']';
// 2 for '{' and '}'; else 0.
int32_t DocDetectKind(const StringView& text);

// The parsers hand every item to the callback and return true when they
// read the text to its proper end; false when malformed input (an
// unterminated quote or bracket, a byte that cannot stand where it is)
// ended them early, after the items before it were delivered.

// Every non-empty item of a list. "[...]": items in word mode separated by
// ',' up to the closing ']' (text after it is not read). Other text: raw
// items separated by blanks or ',' up to the end.
bool DocParseList(DocListProc callback, void* context, const StringView& text);

// Every key/value pair of a dictionary whose key is not blank; the form is
// chosen by the first non-blank byte: '{' quoted keys, ':' and word-mode
// values up to the closing '}'; '[' section blocks, each section's body (the
// text up to the next line that starts with '[') as a kind 0 value;
// anything else key = value items separated by ';' or line ends (raw keys
// and values trimmed; a key without '=' is dropped).
bool DocParseDict(DocDictProc callback, void* context, const StringView& text);

// Attribute pairs name="value": a word-mode name, '=', a quoted value
// (kind 0), up to the end of the text.
bool DocParseAttributes(DocDictProc callback, void* context, const StringView& text);

// One value text: mode 0 unchanged; 1 in quotes (no escaping); 2 unchanged
// when it begins with '{' or '[' or is one number followed only by blanks,
// otherwise in quotes. Returns whether the writer took everything; false,
// with nothing written, for a text that no quote form carries (a double
// quote and an apostrophe at its end).
bool DocWriteString(io_base::WriteProc writer, void* context, const StringView& text, char quote, int32_t mode);

// Up to size bytes with one Read; false (and out emptied) when nothing came.
bool DocReadAll(std::string& out, IOContext* io, size_t size);
// One line: bytes up to '\n' (not stored; *newline set) or max bytes. True
// when a line ended or anything was read; false at once when max is 0.
bool DocReadLine(std::string& out, IOContext* io, size_t max, bool* newline);

// The items of a list text as slices; the text must outlive the list.
class DocList {
public:
    explicit DocList(size_t reserve = 20);
    DocList(const StringView& text, size_t reserve = 20);

    // Empties the list, then appends every item of text; the parser's result.
    bool Parse(const StringView& text);
    // Index of the first item equal to item, or -1.
    int32_t Find(const StringView& item) const;
    // Style 1: "[a,'b c',3]" (texts quoted unless numbers or brackets);
    // other styles: the items unchanged, separated by ',' (in brackets as in
    // style 1 when the first item opens with '['). False, out empty, for an
    // item that no quote form carries.
    bool ToString(std::string& out, int32_t style) const;

    size_t Size() const { return _items.size(); }
    const StringView& operator[](size_t i) const { return _items[i]; }
    const std::vector<StringView>& Items() const { return _items; }

private:
    static void _OnItem(void* context, const char* data, size_t length, int32_t kind);

    std::vector<StringView> _items;
};

// The key/value pairs of a dictionary text as slices, in text order; the
// text must outlive the dictionary.
class DocDict {
public:
    typedef std::pair<StringView, StringView> Item;

    explicit DocDict(size_t reserve = 20);
    DocDict(const StringView& text, size_t reserve = 20);

    bool Parse(const StringView& text);
    // Style 1: "{'a':1,'b':'x'}"; style 0: "a=1\nb='x'\n"; other styles:
    // "[a]\n1\n[b]\nx\n" (a section per entry, values unchanged). False,
    // out empty, when a text would not read back: a blank key, a text no
    // quote form carries, a section name that is no identifier or number, a
    // section body with a line that opens with '['.
    bool ToString(std::string& out, int32_t style) const;

    size_t Size() const { return _items.size(); }
    const Item& operator[](size_t i) const { return _items[i]; }
    const std::vector<Item>& Items() const { return _items; }

private:
    static void _OnItem(void* context, const char* key, size_t key_length, const char* value, size_t value_length,
                        int32_t kind);

    std::vector<Item> _items;
};

// Values to text in the three styles (1 braces, 0 key = value lines, other
// sections; lists: 1 with brackets, other without unless the first item is
// a list). Items and values are written by kivo::Var::WriteText with the
// quote "'", containers inside in braces, and inside brackets or braces a
// number that is no number word ("-inf") in quotes; a value that is no
// container is written alone the same way. A tree whose text would read
// back as something else (a blank key, a text no quote form carries, a
// section name that is no identifier or number, a section body with a line
// that opens with '[') is refused: false, and
// nothing written, so a container's own text is then empty.
bool DocWriteVarList(io_base::WriteProc writer, void* context, const std::vector<Var>& items, int32_t style);
bool DocWriteVarDict(io_base::WriteProc writer, void* context, const std::map<std::string, Var>& dict, int32_t style);
bool DocWriteVar(io_base::WriteProc writer, void* context, const Var& v, int32_t style);

}  // namespace kivo
