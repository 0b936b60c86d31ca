#pragma once

// Byte channels and the streams on top of them.
//
// kivo::IOContext is the abstract byte channel that files, caller buffers,
// shared-memory objects and the page cache implement. Every operation has a
// harmless default, so a bare IOContext is a channel on which everything
// fails or does nothing.
//
// kivo::Stream adds a failure flag and a binary/text mode to a context and
// serialises the arithmetic types and strings: in binary mode as the raw
// bytes of the value (native byte order), in text mode as decimal tokens
// separated by ',', ' ' or '\n' (the writer puts no separator: the caller
// does). A Read or Write that moves fewer bytes than asked turns the stream
// failed until SetFail(false); while failed, reads and writes return -1
// without touching the context.
//
// kivo::StreamBuff is a stream over the caller's memory buffer.
//
// Nothing here locks: a stream and its context belong to one thread at a
// time (contexts shared between threads lock inside themselves).

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "kivo/base/kivo_types.h"
#include "kivo/base/noncopyable.h"
#include "kivo/common/shared_ptr.h"
#include "kivo/common/string_view.h"

namespace kivo {

// The target of a seek, base + offset, clamped to [0, limit] (limit >= 0)
// without ever overflowing: every context's Seek computes its target here.
int64_t SeekTarget(int64_t base, int64_t offset, int64_t limit);

// whence of Seek: 0 from the start, 2 from the end, anything else from the
// current position.
class IOContext {
public:
    IOContext() {}
    virtual ~IOContext();

    virtual bool IsValid() const;                                              // false
    virtual void Close();                                                      // nothing
    virtual bool SetOption(const StringView& key, const StringView& value);    // false
    virtual bool GetOption(const StringView& key, std::string& value);         // false
    virtual bool SetLength(int64_t length);                                    // false
    virtual int64_t GetLength() const;                                         // 0
    virtual int64_t Seek(int64_t offset, int32_t whence);                      // -1
    virtual int64_t GetPos() const;                                            // -1
    // The bytes moved, or -1. err may be null; the base leaves it untouched.
    virtual ssize_t Read(void* buffer, size_t count, kivo_err_t* err);         // -1
    virtual ssize_t Write(const void* buffer, size_t count, kivo_err_t* err);  // -1
    virtual void Flush();                                                      // nothing
};

class Stream {
public:
    // Longest string or token the text and string readers take in one go.
    static constexpr size_t kMaxString = 10240;

    // Binary mode on a process-wide bare context: everything fails.
    Stream();
    // Does not own ctx (asserted non-null): the caller keeps it alive as long
    // as the stream and its copies.
    Stream(IOContext* ctx, bool binary);
    // Shares ownership of ctx.
    Stream(const SharedPtr<IOContext>& ctx, bool binary);

    void Swap(Stream& other);

    void SetFail(bool failed) { _failed = failed ? 1 : 0; }
    bool IsFail() const { return _failed != 0; }
    bool IsBinary() const { return _binary != 0; }

    bool SetOption(const StringView& key, const StringView& value);
    bool GetOption(const StringView& key, std::string& value);
    // The option's value; empty when the context has none.
    std::string GetOption(const StringView& key);
    bool SetLength(int64_t length);
    int64_t GetLength() const;
    int64_t GetPos() const;
    void Flush();
    // While failed: reports GetPos() and does not move.
    int64_t Seek(int64_t offset, int32_t whence);

    // -1 while failed; otherwise the context's result, and the stream turns
    // failed when that differs from count.
    ssize_t Read(void* buffer, size_t count, kivo_err_t* err = 0);
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err = 0);

    // Binary: sizeof(T) bytes (long double travels as a double, its width on
    // the device). Text: the decimal text, with the range rules of the
    // number parsers on the way in (a narrow type is clamped); an empty
    // token (end of input) reads as 0.
    Stream& operator<<(bool v);
    Stream& operator<<(signed char v);
    Stream& operator<<(unsigned char v);
    Stream& operator<<(wchar_t v);
    Stream& operator<<(short v);
    Stream& operator<<(unsigned short v);
    Stream& operator<<(int v);
    Stream& operator<<(unsigned int v);
    Stream& operator<<(long v);
    Stream& operator<<(unsigned long v);
    Stream& operator<<(long long v);
    Stream& operator<<(unsigned long long v);
    Stream& operator<<(float v);
    Stream& operator<<(double v);
    Stream& operator<<(long double v);
    // A pointer would silently become a bool: texts go through WriteBlock.
    template <typename P>
    Stream& operator<<(P*) = delete;

    Stream& operator>>(bool& v);
    Stream& operator>>(signed char& v);
    Stream& operator>>(unsigned char& v);
    Stream& operator>>(wchar_t& v);
    Stream& operator>>(short& v);
    Stream& operator>>(unsigned short& v);
    Stream& operator>>(int& v);
    Stream& operator>>(unsigned int& v);
    Stream& operator>>(long& v);
    Stream& operator>>(unsigned long& v);
    Stream& operator>>(long long& v);
    Stream& operator>>(unsigned long long& v);
    Stream& operator>>(float& v);
    Stream& operator>>(double& v);
    Stream& operator>>(long double& v);

    // Binary: a 32-bit length, then that many bytes when it is below
    // kMaxString. A longer one is not read: s stays unchanged and the stream
    // turns failed. A failed length read empties s.
    // Text: the next token (at most kMaxString bytes); an empty one leaves
    // s unchanged.
    Stream& operator>>(std::string& s);

    // Binary: the 32-bit length, then the bytes; text: only the bytes.
    Stream& WriteBlock(const void* data, size_t len);

    // The next token: delimiter bytes before it are skipped; it ends after
    // max_len bytes (the next byte stays unread), at the end of the input,
    // or at a delimiter, which is consumed and sets *ended_by_delimiter.
    // Bytes come straight from the context, so running out of input does
    // not fail the stream. Empty when the stream is failed or max_len is 0.
    std::string ReadToken(const char* delimiters, size_t max_len, bool* ended_by_delimiter);

private:
    template <typename T>
    Stream& _Put(T v);
    template <typename T>
    Stream& _Get(T& v);

    SharedPtr<IOContext> _context;
    uint8_t _failed;
    uint8_t _binary;
};

// A stream over a caller's buffer of buff_len bytes whose first data_len
// bytes hold data. Reads stop at the data, writes at the buffer's end.
class StreamBuff : public Stream, public NonCopyable {
public:
    class Context : public IOContext {
    public:
        Context();  // no buffer
        // Asserts "buff != 0 && data_len <= buff_len".
        Context(void* buff, size_t buff_len, size_t data_len);

        bool IsValid() const override;
        // data_len = length clamped to [0, buff_len].
        bool SetLength(int64_t length) override;
        int64_t GetLength() const override;
        // The target is clamped to [0, buff_len]; the data grows to it.
        int64_t Seek(int64_t offset, int32_t whence) override;
        int64_t GetPos() const override;
        ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override;
        ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override;

        size_t BuffLen() const { return _buff_len; }
        size_t DataLen() const { return _data_len; }

    private:
        void* _buff;
        size_t _buff_len;
        size_t _pos;
        size_t _data_len;
    };

    // Text mode, no buffer.
    StreamBuff();
    StreamBuff(void* buff, size_t buff_len, size_t data_len, bool binary);

    size_t BuffLen() const { return _ctx.BuffLen(); }
    size_t DataLen() const { return _ctx.DataLen(); }

private:
    Context _ctx;
};

// Reads another context through one buffer of its own: a small read, and a
// seek that lands inside the bytes it holds, cost no call of the context; a
// read larger than the buffer goes straight through. For the same
// calls it returns what the context itself would (a read gives what one read
// of the context gives: for a file, everything up to its end), only the
// context is called less often. A failed call of the context changes
// nothing: no byte is taken from the buffer, the position stays.
//
// Writes, SetLength and whence values other than 0, 1 and 2 go to the context
// at this position, after the buffer was dropped; the position after a write
// is then asked of the context when needed (a context in append mode decides
// it). The context's own position runs ahead of this one by the bytes held
// and not yet read; destroying the buffer puts it back.
//
// Does not own the context (asserted non-null): the caller keeps it alive
// longer than the buffer, and closes it (Close here closes it too).
class ReadBuffer : public IOContext, private NonCopyable {
public:
    static const size_t kDefaultSize = 4096;

    // Asserts "ctx != 0 && size > 0".
    explicit ReadBuffer(IOContext* ctx, size_t size = kDefaultSize);
    ~ReadBuffer() override;

    bool IsValid() const override;
    void Close() override;
    bool SetOption(const StringView& key, const StringView& value) override;
    bool GetOption(const StringView& key, std::string& value) override;
    bool SetLength(int64_t length) override;
    int64_t GetLength() const override;
    int64_t Seek(int64_t offset, int32_t whence) override;
    int64_t GetPos() const override;
    ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override;
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override;
    void Flush() override;

private:
    // The context's position, when not known yet, from the context: false
    // when it cannot say.
    bool _Locate() const;
    // Puts the context at this position and empties the buffer.
    bool _Drop();

    IOContext* _ctx;
    char* _buf;
    size_t _size;
    size_t _len;  // bytes held
    size_t _off;  // bytes of them already read
    // Position of the first byte held; the context stands at _base + _len.
    // Unknown (false) until a seek or GetPos, and again after a write.
    mutable int64_t _base;
    mutable bool _known;
};

}  // namespace kivo
