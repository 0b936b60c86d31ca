#pragma once

// A set-associative write-back cache of fixed-size pages in front of a block
// store (kivo::BlockContext, read and written at explicit byte offsets), and
// kivo::RandomAccessContext, the IOContext with a position over it, so that
// streams can use a slow block device with byte granularity.
//
// A page lives in the group (page index & (group_num - 1)); within its group
// any line may hold it, and the least recently used unpinned line is reused.
// Dirty pages reach the store only on eviction, Flush, Close and SetLength; a
// page whose write-back failed stays dirty (nothing is dropped) and the
// failure code comes back through err.
//
// Page offsets handed to the store are page index * page size; the base
// offset given at construction is kept with the object only.
//
// Not thread-safe: an object and its store belong to one thread at a time.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "kivo/base/kivo_types.h"
#include "kivo/base/noncopyable.h"
#include "kivo/common/shared_ptr.h"
#include "kivo/common/stream.h"
#include "kivo/common/string_view.h"

namespace kivo {

// A store addressed by byte offsets. Every operation has a harmless default
// (a bare BlockContext is invalid and fails everything).
class BlockContext {
public:
    BlockContext() {}
    virtual ~BlockContext();

    virtual bool IsValid() const;  // false
    virtual void Close();          // nothing
    // Store-specific settings; the cache never calls these three.
    virtual bool SetOption(const StringView& key, const StringView& value);  // false
    virtual bool GetOption(const StringView& key, std::string& value);       // false
    virtual bool SetLength(int64_t length);                                   // false
    virtual int64_t GetLength() const;                                        // 0
    // The store's native block size in bytes (0: unknown).
    virtual int64_t GetBlockSize() const;  // 0
    // Bytes moved, or -1 with the cause in *err (err may be null).
    virtual ssize_t Read(int64_t offset, void* buffer, size_t count, kivo_err_t* err);         // -1
    virtual ssize_t Write(int64_t offset, const void* buffer, size_t count, kivo_err_t* err);  // -1
    virtual void Flush();  // nothing
};

class RandomAccess : NonCopyable {
public:
    enum { PAGE_FREE = 0, PAGE_MODIFY = 1, PAGE_VALID = 2 };

    struct Cache {
        uint32_t group_num;        // 0 disables the cache; else a power of two
        uint32_t lines_per_group;  // 0 disables the cache
        uint32_t page_size;        // bytes; 0 disables the cache
        uint32_t align;            // page buffer alignment in bytes
    };

    struct Line {
        int32_t status;
        int32_t lock_cnt;
        uint64_t page;
        uint64_t last_access;
        int32_t size;  // valid bytes of the page
        SharedPtr<unsigned char> buffer;
    };

    struct Group {
        uint64_t clock;
        std::vector<Line> line;
    };

    // Pins one cached page (it is never evicted while pinned) and exposes
    // its page-size bytes. The RandomAccess must outlive the pin.
    class ScopedLock : NonCopyable {
    public:
        ScopedLock();
        // no_fill: the page is not read from the store (the caller is about
        // to overwrite it).
        ScopedLock(RandomAccess* acce, uint64_t page, bool no_fill);
        ~ScopedLock();

        // Releases the previous pin and pins page; its memory, or null when
        // the page could not be loaded (the lock is then empty).
        void* Lock(RandomAccess* acce, uint64_t page, bool no_fill);
        void Unlock();
        // Asserts "_acce != 0".
        void* Get() const;

    private:
        RandomAccess* _acce;
        uint32_t _group;
        int32_t _line;
    };

    // Asserts "ctx != 0 && ctx->IsValid()" and, with the cache enabled,
    // "((cache.group_num - 1) & cache.group_num) == 0". From a plain pointer
    // the context is not owned.
    RandomAccess(BlockContext* ctx, int64_t base, const Cache& cache);
    RandomAccess(const SharedPtr<BlockContext>& ctx, int64_t base, const Cache& cache);
    // Closes.
    ~RandomAccess();

    bool IsValid() const;
    // Writes back every dirty page, then closes the store.
    void Close();

    // Bytes transferred; -1 with *err = 22 for a negative position. A failed
    // page read or write-back ends the call with the bytes done so far.
    ssize_t Read(int64_t pos, void* buffer, size_t count, kivo_err_t* err);
    // direct: whole pages from a buffer aligned to align go straight to the
    // store (any cached copy is dropped).
    ssize_t Write(int64_t pos, const void* buffer, size_t count, kivo_err_t* err, bool direct);

    // Writes back and drops every page, then sets the length of the store.
    // False, with nothing changed, when a dirty page cannot be written back.
    bool SetLength(int64_t len);
    int64_t GetLength() const;
    // Writes back every dirty page, then flushes the store.
    void Flush();

    int64_t Base() const { return _base; }

    // The line of the page's group holding page, or -1 with victim set to
    // the line to reuse.
    int32_t CheckHit(uint64_t page, int32_t& victim) const;

    // Makes page cached without reading it (valid, clean, size 0); false
    // when no line could be had.
    bool PreparePage(uint64_t page);
    // Drops the cached copies of pages [first, first + count).
    void InvalidatePages(uint64_t first, uint64_t count);
    // Writes back the dirty pages of [first, first + count); false on the
    // first failure (that page stays dirty).
    bool WriteBackPages(uint64_t first, uint64_t count, kivo_err_t* err);
    void InvalidateAll();
    bool WriteBackAll(kivo_err_t* err);

private:
    void _Construct(const SharedPtr<BlockContext>& ctx, int64_t base, const Cache& cache);
    bool _Direct() const { return _groups.empty(); }
    Group& _GroupOf(uint64_t page) { return _groups[page & _group_mask]; }
    // The line index of page in its group, loaded from the store when fill
    // is set; -1 when the victim could not be written back or the read failed.
    int32_t _FillCache(uint64_t page, bool fill, kivo_err_t* err);
    bool _WriteBack(Line& page, kivo_err_t* err);

    SharedPtr<BlockContext> _ctx;
    int64_t _base;
    int64_t _length;
    std::vector<Group> _groups;
    uint32_t _page_size;
    uint32_t _align;
    uint64_t _group_mask;
};

class RandomAccessContext : public IOContext {
public:
    RandomAccessContext(BlockContext* ctx, const RandomAccess::Cache& cache);
    RandomAccessContext(const SharedPtr<BlockContext>& ctx, const RandomAccess::Cache& cache);
    ~RandomAccessContext() override;

    bool IsValid() const override;
    void Close() override;
    // Afterwards the position is pulled back to the new length.
    bool SetLength(int64_t length) override;
    int64_t GetLength() const override;
    // A negative target becomes 0; no upper limit.
    int64_t Seek(int64_t offset, int32_t whence) override;
    int64_t GetPos() const override;
    ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override;
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override;
    void Flush() override;

    RandomAccess& Access() { return _access; }

private:
    RandomAccess _access;
    int64_t _pos;
};

}  // namespace kivo
