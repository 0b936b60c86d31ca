#pragma once

#include <stddef.h>
#include <stdint.h>

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace kivo {

class ByteArray;

// Tag: a byte array that borrows the caller's bytes instead of copying them.
struct ExternBuff {};
// Tag: a view that copies the bytes into a buffer of its own.
struct DeepCopy {};

namespace str_traines {

// Primitives on counted and NUL-terminated byte text. Comparisons treat bytes
// as unsigned and always return -1, 0 or 1.
struct Impl {
    static size_t Length(const char* s);
    // Bytes before the first NUL, at most n.
    static size_t BoundedLength(const char* s, size_t n);
    // Overlap-safe copy.
    static void Move(char* dst, const char* src, size_t n);
    static const char* Find(const char* s0, size_t n, char c);
    static int Compare(const char* a, size_t na, const char* b, size_t nb);
    static int ICompare(const char* a, size_t na, const char* b, size_t nb);
    // Case-insensitive, '\\' and '/' are one character and a trailing
    // separator does not count: "A\\B" equals "a/b/".
    static int ComparePath(const char* a, size_t na, const char* b, size_t nb);
    // Copies at most cap - 1 bytes and a NUL into d.
    static void Assign(char* d, size_t cap, const char* s, size_t n);
    // Appends to the NUL-terminated text in d within cap bytes; returns the
    // length d had before.
    static size_t Concat(char* d, size_t cap, const char* s, size_t n);
};

}  // namespace str_traines

// Read-only view of bytes. A view either borrows memory its user keeps alive
// (literals, caller memory, sub-ranges of other views and byte arrays) or
// holds one reference on a shared buffer, which it releases when it ends.
// Copies never copy bytes. Operations that build text (ToLower, Replace,
// Escape, ...) return a view on a new buffer, or the view itself when there
// was nothing to change.
class StringView {
public:
    typedef char value_type;
    static constexpr size_t npos = static_cast<size_t>(-1);

    class IMatch;
    class WildCard;

    StringView();
    StringView(const value_type* s, size_t n);
    StringView(const value_type* s);  // NUL-terminated, literals included
    StringView(const std::string& s);
    StringView(const ByteArray& b);  // shares b's buffer when b owns one
    StringView(const StringView& o);
    StringView(const StringView& o, DeepCopy);
    ~StringView();

    StringView& operator=(const StringView& o);

    size_t Size() const { return _num; }
    const value_type* Data() const { return _data; }
    std::string ToString() const;

    // Borrowed view of [pos, pos + n), clamped to the end.
    StringView Sub(size_t pos, size_t n = npos) const;

    const value_type& operator[](size_t p0) const;
    const value_type& At(size_t n) const;
    const value_type& Back() const;

    int _Compare(size_t p0, size_t len0, const value_type* s, size_t n) const;
    int _Compare(size_t p0, size_t len0, const value_type* s, size_t cap1, size_t p1, size_t len1) const;
    int _ICompare(size_t p0, size_t len0, const value_type* s, size_t n) const;
    int _ICompare(size_t p0, size_t len0, const value_type* s, size_t cap1, size_t p1, size_t len1) const;
    int Compare(const StringView& o) const;
    int Compare(const value_type* s) const;

    size_t _Find(const value_type* s, size_t pos, size_t n) const;
    size_t _RFind(const value_type* s, size_t pos, size_t n) const;
    size_t _FindFirstOf(const value_type* s, size_t pos, size_t n, bool negate) const;
    size_t _FindLastOf(const value_type* s, size_t pos, size_t n, bool negate) const;
    size_t Find(const StringView& s, size_t pos = 0) const;
    size_t FindFirstOf(const value_type* set, size_t pos = 0) const;
    size_t FindFirstNotOf(const value_type* set, size_t pos = 0) const;
    size_t FindLastNotOf(const value_type* set, size_t pos = npos) const;
    size_t FindChar(value_type c, size_t pos = 0, bool negate = false) const;

    // mode 0 trims the left, 1 the right, 2 both ends.
    void TrimRange(const value_type* set, int32_t mode, size_t& first, size_t& count) const;
    StringView Trim(const value_type* set, int32_t mode = 2) const;

    StringView ToLower() const;
    StringView ToUpper() const;
    // Replaces up to max_count occurrences of from, left to right; an empty
    // from matches nothing.
    StringView Replace(const StringView& from, const StringView& to, size_t max_count = npos) const;
    // Backslash escapes; quotes are escaped only when asked. Unescape reads
    // them back.
    StringView Escape(bool quotes = false) const;
    StringView Unescape() const;

    // Cuts the view at any of the separator bytes. Tokens borrow from this
    // view's memory. With trim_set each token is trimmed at both ends; with
    // skip_empty empty tokens are dropped. Split appends to out; both return
    // the number of tokens produced.
    size_t Split(std::vector<StringView>& out, const value_type* separators,
                 const value_type* trim_set = 0, bool skip_empty = false) const;
    template <typename Callback>
    size_t SplitEach(Callback&& on_token, const value_type* separators,
                     const value_type* trim_set = 0, bool skip_empty = false) const
    {
        size_t pos = 0;
        size_t count = 0;
        StringView token;
        while (_NextToken(pos, separators, trim_set, skip_empty, token)) {
            on_token(static_cast<const StringView&>(token));
            ++count;
        }
        return count;
    }

private:
    friend class ByteArray;

    // Longest view: the length shares its word with the reference flag.
    static constexpr size_t max_size = 0x7FFFFFFF;

    void _Set(const value_type* s, size_t n);
    bool _NextToken(size_t& pos, const value_type* separators, const value_type* trim_set,
                    bool skip_empty, StringView& token) const;

    const value_type* _data;
    uint32_t _num : 31;  // length
    uint32_t _ref : 1;   // holds one reference on the buffer at _data
};

bool operator==(const StringView& a, const StringView& b);
bool operator!=(const StringView& a, const StringView& b);
bool operator==(const StringView& a, const char* b);
bool operator!=(const StringView& a, const char* b);
// Honours the stream's width, fill and left adjustment.
std::ostream& operator<<(std::ostream& os, const StringView& v);

// Pattern matcher over views.
class StringView::IMatch {
public:
    virtual ~IMatch();
    virtual void SetPattern(const StringView& pattern) = 0;
    virtual bool Match(const StringView& text) const = 0;
};

// '*' matches any run of bytes, '?' any one byte; case-sensitive. An empty
// pattern matches nothing; a pattern of stars only matches everything.
class StringView::WildCard : public StringView::IMatch {
public:
    WildCard();
    explicit WildCard(const StringView& pattern);
    // The parts point into the stored pattern, so copies split their own.
    WildCard(const WildCard& o);
    WildCard& operator=(const WildCard& o);
    ~WildCard() override;

    void SetPattern(const StringView& pattern) override;
    bool Match(const StringView& text) const override;

private:
    std::string _pattern;
    std::vector<StringView> _parts;
    bool _set;
    bool _lead_star;
    bool _trail_star;
};

// Modifiable byte string with copy on write. The buffer is either borrowed
// (capacity 0: a static empty string or the caller's bytes, never written)
// or shared and reference-counted; every change first makes the buffer the
// array's own. Buffers are exact-fit: there is no growth factor. Bytes past
// size() are not kept NUL-terminated by in-place edits.
class ByteArray {
public:
    typedef char value_type;

    ByteArray();
    ByteArray(size_t n, value_type c);
    ByteArray(const void* s, size_t n);
    ByteArray(const void* s, size_t n, ExternBuff);
    ByteArray(const ByteArray& o);
    ByteArray(const StringView& v);
    ~ByteArray();

    ByteArray& operator=(const ByteArray& o);
    void Swap(ByteArray& o);

    size_t size() const { return _num; }
    size_t capacity() const { return _capa; }
    const value_type* data() const { return _data; }
    StringView View() const { return StringView(_data, _num); }
    value_type* WritableData();
    // Gives the array a buffer of its own (shared or borrowed ones are
    // copied). Returns true.
    bool MakeUnique();

    void Resize(size_t n);  // new bytes are not initialised
    ByteArray& Assign(size_t n, value_type c);
    ByteArray& Assign(const void* s, size_t n);  // s may lie inside the array
    ByteArray& Assign(const void* s, size_t n, ExternBuff);

    StringView SubStr(size_t pos, size_t n = StringView::npos) const;

    ByteArray& Replace(size_t p0, size_t len0, size_t count, value_type c);
    // s may lie inside the array.
    ByteArray& Replace(size_t p0, size_t len0, const void* s, size_t n);
    // Replaces up to max_count occurrences of from, left to right, going on
    // after each inserted text; an empty from matches nothing.
    ByteArray& Replace(const StringView& from, const StringView& to, size_t max_count = StringView::npos);
    ByteArray& Erase(size_t p0, size_t n = StringView::npos);

    ByteArray& Append(size_t n, value_type c);
    ByteArray& Append(const void* s, size_t n);  // s may lie inside the array
    ByteArray& Append(const StringView& v);

private:
    friend class StringView;

    // Makes the buffer writable for `need` bytes keeping the first `keep`;
    // returns the buffer the array let go of, to be released by the caller
    // once it has finished reading from it (or null).
    value_type* _Prepare(size_t need, size_t keep);
    size_t _MakeRoom(size_t p0, size_t len0, size_t len1);
    bool _Overlaps(const void* s, size_t n) const;

    value_type* _data;
    size_t _num;
    size_t _capa;
};

}  // namespace kivo
