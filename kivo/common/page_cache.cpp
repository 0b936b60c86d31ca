#include "kivo/common/page_cache.h"

#include <assert.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "kivo/base/kivo_pool.h"

namespace kivo {

// ---- BlockContext -----------------------------------------------------------------

BlockContext::~BlockContext() {}

bool BlockContext::IsValid() const
{
    return false;
}

void BlockContext::Close() {}

bool BlockContext::SetOption(const StringView&, const StringView&)
{
    return false;
}

bool BlockContext::GetOption(const StringView&, std::string&)
{
    return false;
}

bool BlockContext::SetLength(int64_t)
{
    return false;
}

int64_t BlockContext::GetLength() const
{
    return 0;
}

int64_t BlockContext::GetBlockSize() const
{
    return 0;
}

ssize_t BlockContext::Read(int64_t, void*, size_t, kivo_err_t*)
{
    return -1;
}

ssize_t BlockContext::Write(int64_t, const void*, size_t, kivo_err_t*)
{
    return -1;
}

void BlockContext::Flush() {}

// ---- RandomAccess -----------------------------------------------------------------

namespace {

void NoDelete(BlockContext*) {}

SharedPtr<unsigned char> PageBuffer(uint32_t page_size, uint32_t align)
{
    if (align < 9)
        return SharedPtr<unsigned char>(static_cast<unsigned char*>(::operator new(page_size)));
    assert(align <= 0x8000);
    void* p = kivo_align_alloc(page_size, static_cast<uint16_t>(align));
    if (p == 0)
        throw std::bad_alloc();
    return SharedPtr<unsigned char>(static_cast<unsigned char*>(p), kivo_align_free);
}

// Positions live in [0, INT64_MAX] and results are ssize_t: a transfer at
// pos is cut where either would overflow.
size_t FitCount(int64_t pos, size_t count)
{
    const uint64_t room = static_cast<uint64_t>(INT64_MAX - pos);
    if (count > room)
        count = static_cast<size_t>(room);
    if (count > static_cast<size_t>(SSIZE_MAX))
        count = static_cast<size_t>(SSIZE_MAX);
    return count;
}

// The bytes a transfer may move (FitCount): 0 when there is nothing to
// move, -1 with 22 in *err for a negative position.
ssize_t TransferSize(int64_t pos, const void* buffer, size_t count, kivo_err_t* err)
{
    if (buffer == 0 || count == 0)
        return 0;
    if (pos < 0) {
        if (err != 0)
            *err = 22;
        return -1;
    }
    return static_cast<ssize_t>(FitCount(pos, count));
}

}  // namespace

RandomAccess::RandomAccess(BlockContext* ctx, int64_t base, const Cache& cache)
    : _base(0), _length(0), _page_size(0), _align(0), _group_mask(0)
{
    assert(ctx != 0 && ctx->IsValid());
    _Construct(SharedPtr<BlockContext>(ctx, NoDelete), base, cache);
}

RandomAccess::RandomAccess(const SharedPtr<BlockContext>& ctx, int64_t base, const Cache& cache)
    : _base(0), _length(0), _page_size(0), _align(0), _group_mask(0)
{
    _Construct(ctx, base, cache);
}

RandomAccess::~RandomAccess()
{
    Close();
}

void RandomAccess::_Construct(const SharedPtr<BlockContext>& c, int64_t base, const Cache& cache)
{
    BlockContext* ctx = c.Empty() ? 0 : &*c;
    assert(ctx != 0 && ctx->IsValid());
    _ctx = c;
    _base = base;
    _length = ctx->GetLength();
    _page_size = cache.page_size;
    _align = cache.align;
    _group_mask = cache.group_num == 0 ? 0 : cache.group_num - 1;
    if (cache.group_num == 0 || cache.lines_per_group == 0 || cache.page_size == 0)
        return;
    assert(((cache.group_num - 1) & cache.group_num) == 0);
    _groups.resize(cache.group_num);
    for (size_t g = 0; g < _groups.size(); ++g) {
        _groups[g].clock = 0;
        _groups[g].line.resize(cache.lines_per_group);
        for (size_t i = 0; i < _groups[g].line.size(); ++i) {
            Line& l = _groups[g].line[i];
            l.status = PAGE_FREE;
            l.lock_cnt = 0;
            l.page = 0;
            l.last_access = 0;
            l.size = 0;
            l.buffer = PageBuffer(_page_size, _align);
        }
    }
}

bool RandomAccess::IsValid() const
{
    return !_ctx.Empty() && _ctx->IsValid();
}

void RandomAccess::Close()
{
    if (!IsValid())
        return;
    WriteBackAll(0);
    _ctx->Close();
}

int32_t RandomAccess::CheckHit(uint64_t page, int32_t& victim) const
{
    const Group& group = _groups[page & _group_mask];
    int32_t lines = static_cast<int32_t>(group.line.size());
    for (int32_t i = 0; i < lines; ++i) {
        const Line& l = group.line[i];
        if (l.status != PAGE_FREE && l.page == page)
            return i;
    }
    // A pinned line is never reused, free (invalidated) or not: its holder
    // still uses its memory.
    int32_t recovery_page = -1;
    for (int32_t i = lines - 1; i >= 0; --i) {
        if (group.line[i].status == PAGE_FREE && group.line[i].lock_cnt == 0) {
            recovery_page = i;
            break;
        }
    }
    if (recovery_page < 0) {
        uint64_t best_age = 0;
        for (int32_t i = 0; i < lines; ++i) {
            const Line& l = group.line[i];
            if (l.lock_cnt != 0)
                continue;
            uint64_t age = group.clock - l.last_access;
            if (recovery_page < 0 || age > best_age) {
                recovery_page = i;
                best_age = age;
            }
        }
    }
    if (recovery_page < 0)
        recovery_page = 0;  // every line pinned: the check below stops here
    assert(group.line[recovery_page].lock_cnt == 0);
    victim = recovery_page;
    return -1;
}

bool RandomAccess::_WriteBack(Line& page, kivo_err_t* err)
{
    kivo_err_t code = 0;
    ssize_t r = _ctx->Write(static_cast<int64_t>(page.page * _page_size), &*page.buffer, static_cast<size_t>(page.size),
                            &code);
    if (r == page.size) {
        page.status = PAGE_VALID;
        return true;
    }
    if (r >= 0)
        code = 27;
    else if (code == 0)
        code = 5;  // the store failed without saying why: still a failure
    printf("page write error, code = %d\n", code);
    if (err != 0)
        *err = code;
    return false;
}

int32_t RandomAccess::_FillCache(uint64_t page_index, bool fill, kivo_err_t* err)
{
    // A page whose byte offset does not fit a position is no page of the store.
    if (page_index > static_cast<uint64_t>(INT64_MAX) / _page_size)
        return -1;
    int32_t victim = -1;
    int32_t hit = CheckHit(page_index, victim);
    if (hit >= 0)
        return hit;
    Line& page = _GroupOf(page_index).line[victim];
    if (page.status == PAGE_MODIFY) {
        assert(page.status == PAGE_MODIFY ? page.size > 0 : true);
        // On failure the line keeps its dirty page: nothing is dropped.
        if (!_WriteBack(page, err))
            return -1;
    }
    if (fill) {
        ssize_t r = _ctx->Read(static_cast<int64_t>(page_index * _page_size), &*page.buffer, _page_size, err);
        if (r < 0) {
            // The buffer may be half overwritten: it no longer holds the old page.
            page.status = PAGE_FREE;
            page.size = 0;
            return -1;
        }
        page.size = static_cast<int32_t>(std::min<ssize_t>(r, _page_size));
    } else {
        page.size = 0;
    }
    page.status = PAGE_VALID;
    page.page = page_index;
    return victim;
}

bool RandomAccess::PreparePage(uint64_t page)
{
    if (_Direct())
        return false;
    Group& g = _GroupOf(page);
    ++g.clock;
    int32_t li = _FillCache(page, false, 0);
    if (li < 0)
        return false;
    Line& l = g.line[li];
    // A dirty hit stays dirty: making it clean would drop its data.
    if (l.status != PAGE_MODIFY)
        l.status = PAGE_VALID;
    l.last_access = g.clock;
    return true;
}

void RandomAccess::InvalidatePages(uint64_t first, uint64_t count)
{
    for (size_t g = 0; g < _groups.size(); ++g) {
        for (size_t i = 0; i < _groups[g].line.size(); ++i) {
            Line& l = _groups[g].line[i];
            if (l.status != PAGE_FREE && l.page >= first && l.page - first < count)
                l.status = PAGE_FREE;
        }
    }
}

bool RandomAccess::WriteBackPages(uint64_t first, uint64_t count, kivo_err_t* err)
{
    for (size_t g = 0; g < _groups.size(); ++g) {
        for (size_t i = 0; i < _groups[g].line.size(); ++i) {
            Line& l = _groups[g].line[i];
            if (l.status == PAGE_MODIFY && l.page >= first && l.page - first < count && !_WriteBack(l, err))
                return false;
        }
    }
    return true;
}

void RandomAccess::InvalidateAll()
{
    InvalidatePages(0, UINT64_MAX);
}

bool RandomAccess::WriteBackAll(kivo_err_t* err)
{
    return WriteBackPages(0, UINT64_MAX, err);
}

ssize_t RandomAccess::Read(int64_t pos, void* buffer, size_t count, kivo_err_t* err)
{
    const ssize_t fit = TransferSize(pos, buffer, count, err);
    if (fit <= 0)
        return fit;
    count = static_cast<size_t>(fit);
    if (_Direct())
        return _ctx->Read(pos, buffer, count, err);
    unsigned char* dst = static_cast<unsigned char*>(buffer);
    uint64_t page = static_cast<uint64_t>(pos) / _page_size;
    size_t offset = static_cast<size_t>(static_cast<uint64_t>(pos) % _page_size);
    size_t done = 0;
    while (done < count) {
        Group& g = _GroupOf(page);
        ++g.clock;
        int32_t li = _FillCache(page, true, err);
        if (li < 0)
            break;
        Line& l = g.line[li];
        l.last_access = ++g.clock;
        size_t size = static_cast<size_t>(l.size);
        if (offset < size) {
            size_t n = std::min(count - done, size - offset);
            memcpy(dst + done, &*l.buffer + offset, n);
            done += n;
        }
        if (size < _page_size)
            break;  // a short page ends the data
        ++page;
        offset = 0;
    }
    return static_cast<ssize_t>(done);
}

ssize_t RandomAccess::Write(int64_t pos, const void* buffer, size_t count, kivo_err_t* err, bool direct)
{
    const ssize_t fit = TransferSize(pos, buffer, count, err);
    if (fit <= 0)
        return fit;
    count = static_cast<size_t>(fit);
    if (_Direct())
        return _ctx->Write(pos, buffer, count, err);
    const unsigned char* src = static_cast<const unsigned char*>(buffer);
    uint64_t page = static_cast<uint64_t>(pos) / _page_size;
    size_t offset = static_cast<size_t>(static_cast<uint64_t>(pos) % _page_size);
    uintptr_t align = _align == 0 ? 1 : _align;
    size_t done = 0;
    while (done < count) {
        size_t rest = count - done;
        if (direct && offset == 0 && rest >= _page_size && reinterpret_cast<uintptr_t>(src + done) % align == 0) {
            ssize_t r = _ctx->Write(static_cast<int64_t>(page * _page_size), src + done, _page_size, err);
            if (r != static_cast<ssize_t>(_page_size)) {
                if (r >= 0 && err != 0)
                    *err = 27;
                break;
            }
            InvalidatePages(page, 1);
            done += _page_size;
            ++page;
            continue;
        }
        Group& g = _GroupOf(page);
        ++g.clock;
        bool fill = offset > 0 || rest < _page_size;
        int32_t li = _FillCache(page, fill, err);
        if (li < 0)
            break;
        Line& l = g.line[li];
        l.last_access = ++g.clock;
        l.status = PAGE_MODIFY;
        size_t n = std::min(rest, _page_size - offset);
        unsigned char* data = &*l.buffer;
        size_t size = static_cast<size_t>(l.size);
        // Bytes between the valid data and the write hold whatever the line
        // cached before (another page): they must not reach the store.
        if (offset > size)
            memset(data + size, 0, offset - size);
        memcpy(data + offset, src + done, n);
        if (size < offset + n)
            l.size = static_cast<int32_t>(offset + n);
        done += n;
        ++page;
        offset = 0;
    }
    if (done > 0 && _length < pos + static_cast<int64_t>(done))
        _length = pos + static_cast<int64_t>(done);
    return static_cast<ssize_t>(done);
}

bool RandomAccess::SetLength(int64_t len)
{
    if (!_Direct()) {
        // Dropping pages that could not be written back would lose them.
        if (!WriteBackAll(0))
            return false;
        InvalidateAll();
        _length = len < 0 ? 0 : len;
    }
    return _ctx->SetLength(len);
}

int64_t RandomAccess::GetLength() const
{
    return _Direct() ? _ctx->GetLength() : _length;
}

void RandomAccess::Flush()
{
    WriteBackAll(0);
    _ctx->Flush();
}

// ---- RandomAccess::ScopedLock -----------------------------------------------------

RandomAccess::ScopedLock::ScopedLock() : _acce(0), _group(0), _line(-1) {}

RandomAccess::ScopedLock::ScopedLock(RandomAccess* acce, uint64_t page, bool no_fill) : _acce(0), _group(0), _line(-1)
{
    Lock(acce, page, no_fill);
}

RandomAccess::ScopedLock::~ScopedLock()
{
    Unlock();
}

void* RandomAccess::ScopedLock::Lock(RandomAccess* acce, uint64_t page, bool no_fill)
{
    Unlock();
    if (acce == 0 || acce->_Direct())
        return 0;
    Group& g = acce->_GroupOf(page);
    ++g.clock;
    int32_t li = acce->_FillCache(page, !no_fill, 0);
    if (li < 0)
        return 0;
    Line& l = g.line[li];
    // A dirty page stays dirty: pinning must not drop its data.
    if (no_fill && l.status != PAGE_MODIFY)
        l.status = PAGE_VALID;
    l.last_access = g.clock;
    ++l.lock_cnt;
    _acce = acce;
    _group = static_cast<uint32_t>(page & acce->_group_mask);
    _line = li;
    return &*l.buffer;
}

void RandomAccess::ScopedLock::Unlock()
{
    if (_acce == 0)
        return;
    Line& l = _acce->_groups[_group].line[_line];
    if (l.lock_cnt > 0)
        --l.lock_cnt;
    _acce = 0;
    _line = -1;
}

void* RandomAccess::ScopedLock::Get() const
{
    assert(_acce != 0);
    return &*_acce->_groups[_group].line[_line].buffer;
}

// ---- RandomAccessContext ----------------------------------------------------------

RandomAccessContext::RandomAccessContext(BlockContext* ctx, const RandomAccess::Cache& cache)
    : _access(ctx, 0, cache), _pos(0)
{
}

RandomAccessContext::RandomAccessContext(const SharedPtr<BlockContext>& ctx, const RandomAccess::Cache& cache)
    : _access(ctx, 0, cache), _pos(0)
{
}

RandomAccessContext::~RandomAccessContext() {}

bool RandomAccessContext::IsValid() const
{
    return _access.IsValid();
}

void RandomAccessContext::Close()
{
    _access.Close();
}

bool RandomAccessContext::SetLength(int64_t length)
{
    bool ok = _access.SetLength(length);
    int64_t len = _access.GetLength();
    if (_pos > len)
        _pos = len < 0 ? 0 : len;
    return ok;
}

int64_t RandomAccessContext::GetLength() const
{
    return _access.GetLength();
}

int64_t RandomAccessContext::Seek(int64_t offset, int32_t whence)
{
    int64_t base = whence == 0 ? 0 : (whence == 2 ? _access.GetLength() : _pos);
    // No upper limit but the range's own.
    _pos = SeekTarget(base, offset, INT64_MAX);
    return _pos;
}

int64_t RandomAccessContext::GetPos() const
{
    return _pos;
}

ssize_t RandomAccessContext::Read(void* buffer, size_t count, kivo_err_t* err)
{
    ssize_t r = _access.Read(_pos, buffer, count, err);
    if (r > 0)
        _pos += r;
    return r;
}

ssize_t RandomAccessContext::Write(const void* buffer, size_t count, kivo_err_t* err)
{
    ssize_t r = _access.Write(_pos, buffer, count, err, false);
    if (r > 0)
        _pos += r;
    return r;
}

void RandomAccessContext::Flush()
{
    _access.Flush();
}

}  // namespace kivo
