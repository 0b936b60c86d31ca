#include "kivo/common/shm_io.h"

#include <assert.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <new>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/number.h"

namespace kivo {

// ---- Cond -------------------------------------------------------------------------

Cond::Cond()
{
    kivo_cond_init(&_cond);
}

Cond::~Cond()
{
    kivo_cond_destroy(&_cond);
}

bool Cond::Wait(Mutex& mutex, uint32_t timeout_ms)
{
    return kivo_cond_wait(&_cond, mutex.Handle(), timeout_ms) == 0;
}

void Cond::Signal()
{
    kivo_cond_signal(&_cond);
}

namespace {

// The caller's buffer, or capacity bytes of the node's own.
SharedPtr<unsigned char> NodeBuffer(size_t capacity, const SharedPtr<unsigned char>& buffer)
{
    if (!buffer.Empty())
        return buffer;
    return SharedPtr<unsigned char>(static_cast<unsigned char*>(::operator new(capacity)));
}

// Milliseconds left of a finite time-out after waiting since `start`.
uint32_t Remaining(uint32_t timeout, uint32_t start)
{
    if (timeout == KIVO_WAIT_FOREVER)
        return timeout;
    uint32_t elapsed = kivo_tick_ms() - start;
    return elapsed >= timeout ? 0 : timeout - elapsed;
}

}  // namespace

// ---- SMemFile ---------------------------------------------------------------------

struct _BinMemoryNode {
    _BinMemoryNode(size_t cap, const SharedPtr<unsigned char>& buff)
        : data_len(0), capacity(static_cast<uint32_t>(cap)), buffer(NodeBuffer(cap, buff)), data(&*buffer)
    {
    }

    Mutex lock;
    uint32_t data_len;
    uint32_t capacity;
    SharedPtr<unsigned char> buffer;
    unsigned char* data;
};

SMemFile::SMemFile() : _pos(0) {}

SMemFile::SMemFile(size_t capacity, const SharedPtr<unsigned char>& buffer)
    : _pos(0), _node(new _BinMemoryNode(capacity, buffer))
{
}

SMemFile::~SMemFile() {}

bool SMemFile::IsValid() const
{
    return !_node.Empty();
}

void SMemFile::Close()
{
    _node.Reset();
}

bool SMemFile::SetLength(int64_t length)
{
    if (_node.Empty())
        return false;
    Mutex::ScopedLock guard(_node->lock);
    if (length < 0)
        length = 0;
    _node->data_len = static_cast<uint32_t>(std::min<int64_t>(length, _node->capacity));
    return true;
}

int64_t SMemFile::GetLength() const
{
    if (_node.Empty())
        return 0;
    // Under the lock as well: another handle may be growing the data.
    Mutex::ScopedLock guard(_node->lock);
    return _node->data_len;
}

int64_t SMemFile::Seek(int64_t offset, int32_t whence)
{
    if (_node.Empty())
        return -1;
    _BinMemoryNode& n = *_node;
    Mutex::ScopedLock guard(n.lock);
    int64_t base = whence == 0 ? 0 : (whence == 2 ? int64_t(n.data_len) : int64_t(_pos));
    _pos = static_cast<uint32_t>(SeekTarget(base, offset, n.capacity));
    if (n.data_len < _pos)
        n.data_len = _pos;
    return _pos;
}

int64_t SMemFile::GetPos() const
{
    if (_node.Empty())
        return -1;
    Mutex::ScopedLock guard(_node->lock);
    return std::min(_pos, _node->data_len);
}

ssize_t SMemFile::Read(void* buffer, size_t count, kivo_err_t*)
{
    if (_node.Empty())
        return -1;
    _BinMemoryNode& n = *_node;
    Mutex::ScopedLock guard(n.lock);
    if (_pos > n.data_len)
        _pos = n.data_len;
    size_t avail = n.data_len - _pos;
    if (count > avail)
        count = avail;
    if (count > 0 && buffer != 0)
        memcpy(buffer, n.data + _pos, count);
    else
        count = 0;
    _pos += static_cast<uint32_t>(count);
    return static_cast<ssize_t>(count);
}

ssize_t SMemFile::Write(const void* buffer, size_t count, kivo_err_t*)
{
    if (_node.Empty())
        return -1;
    _BinMemoryNode& n = *_node;
    Mutex::ScopedLock guard(n.lock);
    if (_pos > n.data_len)
        _pos = n.data_len;
    size_t room = n.capacity - _pos;
    if (count > room)
        count = room;
    if (count > 0 && buffer != 0)
        memcpy(n.data + _pos, buffer, count);
    else
        count = 0;
    _pos += static_cast<uint32_t>(count);
    if (n.data_len < _pos)
        n.data_len = _pos;
    return static_cast<ssize_t>(count);
}

// ---- SMemQueue --------------------------------------------------------------------

struct _SMemQueueNode {
    _SMemQueueNode(size_t cap, const SharedPtr<unsigned char>& buff)
        : write_timeout(0),
          read_timeout(0),
          write_index(0),
          read_index(0),
          capacity(static_cast<uint32_t>(cap)),
          buffer(NodeBuffer(cap, buff)),
          data(&*buffer)
    {
    }

    // Bytes from p up to the write index.
    uint32_t Distance(uint32_t p) const { return p <= write_index ? write_index - p : write_index + capacity - p; }

    // Room for writing: a ring of capacity c holds c - 1 bytes (none for a
    // capacity below 2).
    uint32_t Free() const
    {
        uint32_t used = Distance(read_index);
        return capacity > used + 1 ? capacity - used - 1 : 0;
    }

    uint32_t Advance(uint32_t p, uint32_t n) const
    {
        p += n;
        if (p >= capacity)
            p -= capacity;
        return p;
    }

    void UpdateReadIndex();

    Mutex lock;
    Cond cond;
    // Set without the lock while others wait: atomic so that those loads are
    // well defined.
    std::atomic<uint32_t> write_timeout;
    std::atomic<uint32_t> read_timeout;
    uint32_t write_index;
    uint32_t read_index;
    uint32_t capacity;
    SharedPtr<unsigned char> buffer;
    unsigned char* data;
    std::list<_SMemQueueSlaveNode*> readers;
};

struct _SMemQueueSlaveNode {
    explicit _SMemQueueSlaveNode(const SharedPtr<_SMemQueueNode>& q) : pos(0), queue(q)
    {
        Mutex::ScopedLock guard(queue->lock);
        pos = queue->read_index;
        queue->readers.push_back(this);
    }

    ~_SMemQueueSlaveNode()
    {
        Mutex::ScopedLock guard(queue->lock);
        queue->readers.remove(this);
        queue->UpdateReadIndex();
    }

    uint32_t pos;
    Cond cond;
    SharedPtr<_SMemQueueNode> queue;
};

// The slowest reader (the largest distance; the later one on a tie) sets the
// read index; a writer waiting for room is told when it moved.
void _SMemQueueNode::UpdateReadIndex()
{
    if (readers.empty())
        return;
    uint32_t best = 0;
    uint32_t index = read_index;
    for (std::list<_SMemQueueSlaveNode*>::const_iterator it = readers.begin(); it != readers.end(); ++it) {
        uint32_t d = Distance((*it)->pos);
        if (d >= best) {
            best = d;
            index = (*it)->pos;
        }
    }
    if (index != read_index) {
        read_index = index;
        cond.Signal();
    }
}

SMemQueue::SMemQueue() {}

SMemQueue::SMemQueue(size_t capacity, const SharedPtr<unsigned char>& buffer)
    : _node(new _SMemQueueNode(capacity, buffer))
{
}

SMemQueue::~SMemQueue() {}

bool SMemQueue::IsValid() const
{
    return !_node.Empty();
}

void SMemQueue::Close()
{
    _node.Reset();
}

bool SMemQueue::SetOption(const StringView& key, const StringView& value)
{
    if (_node.Empty())
        return false;
    if (key.Compare("write timeout") == 0) {
        _node->write_timeout.store(StrToNum<uint32_t>(value, 0), std::memory_order_relaxed);
        return true;
    }
    if (key.Compare("read timeout") == 0) {
        _node->read_timeout.store(StrToNum<uint32_t>(value, 0), std::memory_order_relaxed);
        return true;
    }
    if (key.Compare("blocking") == 0) {
        uint32_t t = value.Compare("true") == 0 ? KIVO_WAIT_FOREVER : 0u;
        _node->write_timeout.store(t, std::memory_order_relaxed);
        _node->read_timeout.store(t, std::memory_order_relaxed);
        return true;
    }
    return false;
}

int64_t SMemQueue::GetLength() const
{
    if (_node.Empty())
        return 0;
    Mutex::ScopedLock guard(_node->lock);
    return _node->Distance(_node->read_index);
}

ssize_t SMemQueue::Write(const void* buffer, size_t count, kivo_err_t*)
{
    if (_node.Empty())
        return -1;
    if (buffer == 0)
        return 0;
    _SMemQueueNode& q = *_node;
    const unsigned char* src = static_cast<const unsigned char*>(buffer);
    Mutex::ScopedLock guard(q.lock);
    uint32_t timeout = q.write_timeout.load(std::memory_order_relaxed);
    size_t total = 0;
    for (;;) {
        size_t rest = count - total;
        uint32_t free = q.Free();
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(rest, free));
        if (n > 0) {
            uint32_t first = std::min(n, q.capacity - q.write_index);
            memcpy(q.data + q.write_index, src + total, first);
            if (n > first)
                memcpy(q.data, src + total + first, n - first);
            q.write_index = q.Advance(q.write_index, n);
            total += n;
            for (std::list<_SMemQueueSlaveNode*>::const_iterator it = q.readers.begin(); it != q.readers.end(); ++it)
                (*it)->cond.Signal();
        }
        if (timeout == 0 || rest <= free)
            break;
        uint32_t start = kivo_tick_ms();
        if (!q.cond.Wait(q.lock, timeout))
            break;
        timeout = Remaining(timeout, start);
    }
    // A condition signal wakes one writer only: pass it on while there is
    // room, so another waiting writer is not left asleep.
    if (q.Free() > 0)
        q.cond.Signal();
    return static_cast<ssize_t>(total);
}

// ---- SMemQueue::Slave -------------------------------------------------------------

SMemQueue::Slave::Slave() {}

SMemQueue::Slave::Slave(const SMemQueue& queue)
{
    if (!queue._node.Empty())
        _node = SharedPtr<_SMemQueueSlaveNode>(new _SMemQueueSlaveNode(queue._node));
}

SMemQueue::Slave::~Slave() {}

bool SMemQueue::Slave::IsValid() const
{
    return !_node.Empty();
}

void SMemQueue::Slave::Close()
{
    _node.Reset();
}

int64_t SMemQueue::Slave::GetLength() const
{
    if (_node.Empty())
        return 0;
    _SMemQueueNode& q = *_node->queue;
    Mutex::ScopedLock guard(q.lock);
    return q.Distance(_node->pos);
}

ssize_t SMemQueue::Slave::Read(void* buffer, size_t count, kivo_err_t*)
{
    if (_node.Empty())
        return -1;
    if (buffer == 0)
        return 0;
    _SMemQueueSlaveNode& r = *_node;
    _SMemQueueNode& q = *r.queue;
    unsigned char* dst = static_cast<unsigned char*>(buffer);
    Mutex::ScopedLock guard(q.lock);
    uint32_t timeout = q.read_timeout.load(std::memory_order_relaxed);
    size_t total = 0;
    for (;;) {
        size_t rest = count - total;
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(rest, q.Distance(r.pos)));
        if (n > 0) {
            uint32_t first = std::min(n, q.capacity - r.pos);
            memcpy(dst + total, q.data + r.pos, first);
            if (n > first)
                memcpy(dst + total + first, q.data, n - first);
            r.pos = q.Advance(r.pos, n);
            q.UpdateReadIndex();
            total += n;
        }
        if (n > 0 || rest == 0 || timeout == 0)
            break;
        uint32_t start = kivo_tick_ms();
        if (!r.cond.Wait(q.lock, timeout))
            break;
        timeout = Remaining(timeout, start);
    }
    return static_cast<ssize_t>(total);
}

void SMemQueue::Slave::Discard()
{
    if (_node.Empty())
        return;
    _SMemQueueNode& q = *_node->queue;
    Mutex::ScopedLock guard(q.lock);
    _node->pos = q.write_index;
    q.UpdateReadIndex();
}

// ---- SMemAttribute ----------------------------------------------------------------

struct _SMemAttributeNode {
    Mutex lock;
    std::map<std::string, std::string> table;
};

SMemAttribute::SMemAttribute() : _node(new _SMemAttributeNode) {}

SMemAttribute::~SMemAttribute() {}

bool SMemAttribute::IsValid() const
{
    return !_node.Empty();
}

void SMemAttribute::Close()
{
    _node.Reset();
}

bool SMemAttribute::SetOption(const StringView& key, const StringView& value)
{
    if (_node.Empty())
        return false;
    Mutex::ScopedLock guard(_node->lock);
    _node->table[key.ToString()] = value.ToString();
    return true;
}

bool SMemAttribute::GetOption(const StringView& key, std::string& value)
{
    if (_node.Empty())
        return false;
    Mutex::ScopedLock guard(_node->lock);
    std::map<std::string, std::string>::const_iterator it = _node->table.find(key.ToString());
    if (it == _node->table.end())
        return false;
    value = it->second;
    return true;
}

int64_t SMemAttribute::GetLength() const
{
    if (_node.Empty())
        return 0;
    Mutex::ScopedLock guard(_node->lock);
    return static_cast<int64_t>(_node->table.size());
}

void SMemAttribute::Remove(const StringView& key)
{
    if (_node.Empty())
        return;
    Mutex::ScopedLock guard(_node->lock);
    _node->table.erase(key.ToString());
}

void SMemAttribute::Clear()
{
    if (_node.Empty())
        return;
    Mutex::ScopedLock guard(_node->lock);
    _node->table.clear();
}

void SMemAttribute::GetAll(std::map<std::string, std::string>& out)
{
    if (_node.Empty())
        return;
    Mutex::ScopedLock guard(_node->lock);
    for (std::map<std::string, std::string>::const_iterator it = _node->table.begin(); it != _node->table.end(); ++it)
        out[it->first] = it->second;
}

// ---- SMemVector -------------------------------------------------------------------

SMemVector::SMemVector(size_t unit_nbyte) : _capacity(0), _count(0), _unit_nbyte(unit_nbyte)
{
    assert(unit_nbyte > 0);
}

SMemVector::SMemVector(size_t unit_nbyte, size_t capacity) : _capacity(0), _count(0), _unit_nbyte(unit_nbyte)
{
    assert(unit_nbyte > 0);
    _Prepare(capacity);
}

void SMemVector::SetUnit(size_t unit_nbyte)
{
    assert(unit_nbyte > 0);
    _storage.Reset();
    _capacity = 0;
    _count = 0;
    _unit_nbyte = unit_nbyte;
}

namespace {

// The bytes of n units, when they fit in one object.
bool FitBytes(size_t n, size_t unit, size_t* bytes)
{
    return !__builtin_mul_overflow(n, unit, bytes) && *bytes <= static_cast<size_t>(PTRDIFF_MAX);
}

}  // namespace

bool SMemVector::_Prepare(size_t needed)
{
    if (needed <= _capacity && (_storage.Empty() || _storage.UseCount() == 1))
        return true;
    size_t cap = std::max(_capacity, needed);
    if (cap == 0) {
        // Shared but empty: nothing to copy, just stop sharing.
        _storage.Reset();
        return true;
    }
    size_t bytes = 0;
    if (!FitBytes(cap, _unit_nbyte, &bytes))
        return false;
    unsigned char* block = static_cast<unsigned char*>(::operator new(bytes, std::nothrow));
    if (block == 0)
        return false;
    SharedPtr<unsigned char> fresh(block);
    if (_count > 0)
        memcpy(block, &*_storage, _count * _unit_nbyte);
    _storage.Swap(fresh);
    _capacity = cap;
    return true;
}

bool SMemVector::Reserve(size_t n)
{
    return _Prepare(n);
}

bool SMemVector::Resize(size_t n)
{
    if (!_Prepare(n))
        return false;
    if (n > _count)
        memset(&*_storage + _count * _unit_nbyte, 0, (n - _count) * _unit_nbyte);
    _count = n;
    return true;
}

bool SMemVector::Write(size_t index, const void* data, size_t count)
{
    if (count == 0)
        return true;
    size_t end = 0;
    if (data == 0 || __builtin_add_overflow(index, count, &end) || !_Prepare(std::max(_count, end)))
        return false;
    unsigned char* base = &*_storage;
    // Units between the old end and index were never written: zero, not
    // whatever the allocation held.
    if (index > _count)
        memset(base + _count * _unit_nbyte, 0, (index - _count) * _unit_nbyte);
    memcpy(base + index * _unit_nbyte, data, count * _unit_nbyte);
    if (end > _count)
        _count = end;
    return true;
}

size_t SMemVector::Read(size_t index, void* out, size_t count) const
{
    if (index >= _count || out == 0)
        return 0;
    count = std::min(count, _count - index);
    if (count > 0)
        memcpy(out, &*_storage + index * _unit_nbyte, count * _unit_nbyte);
    return count;
}

}  // namespace kivo
