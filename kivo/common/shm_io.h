#pragma once

// In-process shared-memory objects behind the kivo::IOContext interface.
//
// Each object is a thin handle holding a SharedPtr to a node; copies of a
// handle share the node, and everything that must be shared lives in the node
// under its mutex. Closing or destroying one handle never destroys data that
// other handles still use.
//
// - SMemFile: a fixed-capacity memory file; every handle has its own position.
// - SMemQueue: a byte ring written through its handles and read by any number
//   of SMemQueue::Slave readers, each with its own read position. Writers wait
//   while the slowest reader is a full ring behind, readers wait for data;
//   both with the time-outs set by the options "write timeout", "read timeout"
//   and "blocking" (0 after construction: never wait).
// - SMemAttribute: a string-to-string table reached through the option calls.
// - SMemVector: a growable array of fixed-size units whose storage is shared
//   between copies and copied before a change (takes no lock).
//
// Full and empty are not errors: reads and writes move fewer bytes (down to
// 0). The err out-parameter of Read and Write is never written.
//
// One handle object (its position, its node pointer) belongs to one thread at
// a time; any number of handles may be used on different threads at once.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "kivo/base/kivo_pthread.h"
#include "kivo/base/noncopyable.h"
#include "kivo/common/shared_ptr.h"
#include "kivo/common/stream.h"
#include "kivo/common/string_view.h"

namespace kivo {

// Condition variable over the kivo_cond_* calls, used with a kivo::Mutex that
// the caller holds.
class Cond : NonCopyable {
public:
    Cond();
    ~Cond();

    // Releases mutex while waiting and holds it again on return. True when
    // woken (also spuriously), false when timeout_ms ran out.
    // KIVO_WAIT_FOREVER waits without limit.
    bool Wait(Mutex& mutex, uint32_t timeout_ms);
    void Signal();

private:
    kivo_cond_t _cond;
};

struct _BinMemoryNode;
struct _SMemQueueNode;
struct _SMemQueueSlaveNode;
struct _SMemAttributeNode;

class SMemFile : public IOContext {
public:
    // No node: invalid.
    SMemFile();
    // A new node with data length 0 over buffer, which must hold capacity
    // bytes; an empty buffer makes the node allocate its own.
    SMemFile(size_t capacity, const SharedPtr<unsigned char>& buffer);
    ~SMemFile() override;

    bool IsValid() const override;
    void Close() override;
    // Data length = length clamped to [0, capacity].
    bool SetLength(int64_t length) override;
    int64_t GetLength() const override;
    // Target clamped to [0, capacity]; the data grows to it.
    int64_t Seek(int64_t offset, int32_t whence) override;
    int64_t GetPos() const override;
    ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override;
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override;

private:
    uint32_t _pos;
    SharedPtr<_BinMemoryNode> _node;
};

class SMemQueue : public IOContext {
public:
    // A reader of the ring with its own position; it keeps the ring alive.
    class Slave : public IOContext {
    public:
        // Invalid.
        Slave();
        // Attaches a new reader at the position of the slowest reader (an
        // invalid slave when the queue has no node).
        explicit Slave(const SMemQueue& queue);
        ~Slave() override;

        bool IsValid() const override;
        // Drops this handle's reference; the reader detaches when its last
        // handle goes.
        void Close() override;
        // Bytes not yet read by this reader.
        int64_t GetLength() const override;
        // Returns as soon as any data is there; waits (up to the read
        // time-out) only while there is none.
        ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override;

        // Skips everything not yet read.
        void Discard();

    private:
        SharedPtr<_SMemQueueSlaveNode> _node;
    };

    // Invalid.
    SMemQueue();
    // The ring holds at most capacity - 1 bytes; an empty buffer makes the
    // node allocate its own.
    SMemQueue(size_t capacity, const SharedPtr<unsigned char>& buffer);
    ~SMemQueue() override;

    bool IsValid() const override;
    void Close() override;
    // "write timeout" / "read timeout": milliseconds (radix detected),
    // 0xFFFFFFFF waits without limit; "blocking": both without limit when
    // the value is "true", else both 0. False for any other key.
    bool SetOption(const StringView& key, const StringView& value) override;
    // Bytes still held for the slowest reader.
    int64_t GetLength() const override;
    // Waits (up to the write time-out) for room; returns the bytes stored.
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override;

private:
    SharedPtr<_SMemQueueNode> _node;
};

class SMemAttribute : public IOContext {
public:
    // A new, empty node.
    SMemAttribute();
    ~SMemAttribute() override;

    bool IsValid() const override;
    void Close() override;
    // Stores the pair, replacing an existing value.
    bool SetOption(const StringView& key, const StringView& value) override;
    // False when the key is missing (value is then unchanged).
    bool GetOption(const StringView& key, std::string& value) override;
    // The number of pairs.
    int64_t GetLength() const override;

    void Remove(const StringView& key);
    void Clear();
    // Copies every pair into out, overwriting equal keys.
    void GetAll(std::map<std::string, std::string>& out);

private:
    SharedPtr<_SMemAttributeNode> _node;
};

class SMemVector {
public:
    // Each asserts "unit_nbyte > 0".
    explicit SMemVector(size_t unit_nbyte);
    SMemVector(size_t unit_nbyte, size_t capacity);
    // Sets the unit and empties the vector.
    void SetUnit(size_t unit_nbyte);

    // Reserve, Resize and Write return false and change nothing when the
    // units needed do not fit in memory (their byte count overflows, or no
    // storage can be had).
    bool Reserve(size_t n);
    // Units added by growing read as zero bytes.
    bool Resize(size_t n);
    // Stores count units at index; the vector grows to index + count (a gap
    // before index reads as zero bytes). Null data stores nothing (false);
    // a count of 0 stores nothing (true).
    bool Write(size_t index, const void* data, size_t count);
    // Units read: 0 when index >= Count(), else at most Count() - index.
    size_t Read(size_t index, void* out, size_t count) const;

    size_t Count() const { return _count; }
    size_t Capacity() const { return _capacity; }
    size_t UnitBytes() const { return _unit_nbyte; }

private:
    // Makes the storage private to this vector and able to hold needed units;
    // false (nothing changed) when they do not fit.
    bool _Prepare(size_t needed);

    SharedPtr<unsigned char> _storage;
    size_t _capacity;
    size_t _count;
    size_t _unit_nbyte;
};

}  // namespace kivo
