#pragma once

// Reference counting of the framework, in two forms:
//
// - intrusive: the object derives from kivo::RefObject and carries its own
//   count; kivo::IntrusivePtr<T> holds it. Used for the framework's own
//   objects and for any value wrapped in a kivo::ObjectAnyWrap<T>.
// - external: kivo::SharedPtr<T> holds any object (also a byte buffer or an
//   abstract interface) through a separately allocated control object that
//   knows how to dispose of it, by delete or by a deleter function.
//
// Both pointers are one word. Every count change is an atomic add whose
// returned previous value decides whether a release was the last one, so
// copies of one pointer may be made and released on different threads. A
// single pointer object is not protected: using the same pointer object on
// two threads at once needs the caller's lock. There are no weak pointers and
// cycles are not detected.

#include <assert.h>
#include <stdint.h>

#include <new>
#include <type_traits>

#include "kivo/base/noncopyable.h"

namespace kivo {

// Base of intrusively counted objects. A new object has count 0 and belongs
// to nobody until the first IntrusivePtr takes it; the IntrusivePtr that
// drops the last reference deletes it through the virtual destructor. An
// object that no IntrusivePtr ever held is destroyed by its owner as usual.
class RefObject : public NonCopyable {
public:
    RefObject();
    virtual ~RefObject();

    // Adds one reference.
    void AddRef();
    // Drops one reference; true when the caller dropped the last one (the
    // count held 1 before). It never deletes: the caller does.
    bool Release();
    // The current count, read without ordering: only a snapshot for checks
    // and diagnostics.
    int32_t GetRefCnt() const;
    // The count read with acquire ordering. A holder that sees 1 also sees
    // everything the former holders did before they let go, so copy-on-write
    // users may then change the object in place.
    int32_t GetRefCntAcquire() const;

private:
    volatile int32_t _ref_cnt;
};

// Holder of one intrusively counted T (T derives from RefObject).
template <typename T>
class IntrusivePtr {
public:
    IntrusivePtr() : _ptr(0) {}

    IntrusivePtr(T* p) : _ptr(p)
    {
        if (_ptr != 0)
            _ptr->AddRef();
    }

    IntrusivePtr(const IntrusivePtr& rhs) : _ptr(rhs._ptr)
    {
        if (_ptr != 0)
            _ptr->AddRef();
    }

    // Destructors are noexcept: an exception thrown while the last holder
    // destroys the object terminates the program.
    ~IntrusivePtr()
    {
        static_assert(std::is_base_of<RefObject, T>::value, "IntrusivePtr holds RefObject types only");
        if (_ptr != 0 && _ptr->Release())
            delete _ptr;
    }

    // Copy and swap: the new object is referenced before the old one is
    // released, so self-assignment is harmless.
    IntrusivePtr& operator=(const IntrusivePtr& rhs)
    {
        IntrusivePtr(rhs).Swap(*this);
        return *this;
    }

    IntrusivePtr& operator=(T* p)
    {
        IntrusivePtr(p).Swap(*this);
        return *this;
    }

    void Swap(IntrusivePtr& rhs)
    {
        T* t = _ptr;
        _ptr = rhs._ptr;
        rhs._ptr = t;
    }

    bool Empty() const { return _ptr == 0; }
    T* Get() const { return _ptr; }

    T& operator*() const
    {
        assert(!Empty());
        return *_ptr;
    }

    T* operator->() const
    {
        assert(!Empty());
        return _ptr;
    }

    // 0 when empty, otherwise the object's count (a snapshot).
    int UseCount() const { return _ptr == 0 ? 0 : _ptr->GetRefCnt(); }

private:
    T* _ptr;
};

// Control object of SharedPtr. The use count counts the SharedPtr copies;
// the weak count is held by the use count as a whole, so the control object
// is freed right after the object was disposed.
class RefCountedBase : public NonCopyable {
public:
    RefCountedBase();
    virtual ~RefCountedBase();

    // Destroys or releases the held object; called exactly once.
    virtual void Dispose() = 0;

    void AddRef();
    // Drops one use; the last one disposes the object, then drops the weak
    // reference.
    void Release();
    // Drops one weak reference; the last one deletes this control object.
    void WeakRelease();
    // Plain snapshot of the use count.
    int32_t UseCount() const;

private:
    volatile int32_t _use_cnt;
    volatile int32_t _weak_cnt;
};

namespace impl {

// Scalar delete of the static type given at construction. Byte buffers are
// raw storage: their creators take them with ::operator new(size) (as many
// bytes as needed), so they go back with the matching unsized
// ::operator delete; a scalar delete of one byte would not match that
// allocation.
template <typename Y>
inline void SharedDelete(Y* p)
{
    delete p;
}

inline void SharedDelete(char* p) { ::operator delete(static_cast<void*>(p)); }
inline void SharedDelete(signed char* p) { ::operator delete(static_cast<void*>(p)); }
inline void SharedDelete(unsigned char* p) { ::operator delete(static_cast<void*>(p)); }

}  // namespace impl

// Shared ownership of any T through a control object. The object's address
// lives only in the control object, so a SharedPtr is one word.
template <typename T>
class SharedPtr {
public:
    // Control object with the held object's pointer.
    class AnyBase : public RefCountedBase {
    public:
        explicit AnyBase(T* p) : _ptr(p) {}
        T* Ptr() const { return _ptr; }

    protected:
        T* _ptr;
    };

    // Disposes by delete of Y, the type the pointer had at construction (a
    // null pointer is allowed and does nothing).
    template <typename Y>
    class AnyWrap : public AnyBase {
    public:
        explicit AnyWrap(Y* p) : AnyBase(p) {}
        void Dispose() override { impl::SharedDelete(static_cast<Y*>(this->_ptr)); }
    };

    // Disposes by calling the deleter once with the pointer given at
    // construction, also when it is null; the deleter's result is ignored.
    template <typename Y, typename D>
    class AnyWrapDel : public AnyBase {
    public:
        AnyWrapDel(Y* p, D d) : AnyBase(p), _del(d) {}
        void Dispose() override { (void)_del(static_cast<Y*>(this->_ptr)); }

    private:
        D _del;
    };

    SharedPtr() : _base(0) {}

    // Owns p, to be deleted as a Y. A null p still gives a control object:
    // the pointer is then not empty and disposes nothing.
    template <typename Y>
    explicit SharedPtr(Y* p) : _base(_Make(p))
    {
        assert(_base != 0);
    }

    // Owns p, to be disposed by d(p). A deleter that does nothing makes a
    // pointer that does not own the object.
    template <typename Y, typename D>
    SharedPtr(Y* p, D d) : _base(_Make(p, d))
    {
        assert(_base != 0);
    }

    SharedPtr(const SharedPtr& rhs) : _base(rhs._base)
    {
        if (_base != 0)
            _base->AddRef();
    }

    // noexcept: an exception thrown while the object is disposed terminates
    // the program.
    ~SharedPtr()
    {
        if (_base != 0)
            _base->Release();
    }

    SharedPtr& operator=(const SharedPtr& rhs)
    {
        SharedPtr(rhs).Swap(*this);
        return *this;
    }

    void Reset()
    {
        if (_base != 0) {
            AnyBase* b = _base;
            _base = 0;
            b->Release();
        }
    }

    // Takes p as a new object; the old one loses this reference afterwards.
    template <typename Y>
    void Reset(Y* p)
    {
        SharedPtr(p).Swap(*this);
    }

    void Swap(SharedPtr& rhs)
    {
        AnyBase* t = _base;
        _base = rhs._base;
        rhs._base = t;
    }

    // True only without a control object: a pointer made from a null object
    // pointer is not empty.
    bool Empty() const { return _base == 0; }

    T& operator*() const
    {
        assert(!Empty());
        return *_base->Ptr();
    }

    T* operator->() const
    {
        assert(!Empty());
        return _base->Ptr();
    }

    // 0 when empty, otherwise the control object's use count (a snapshot).
    int UseCount() const { return _base == 0 ? 0 : _base->UseCount(); }

private:
    // If the control object cannot be allocated, the object is disposed as
    // the control object would have done, so it is not lost, and the
    // allocator's exception goes on to the caller.
    template <typename Y>
    static AnyBase* _Make(Y* p)
    {
        try {
            return new AnyWrap<Y>(p);
        } catch (...) {
            impl::SharedDelete(p);
            throw;
        }
    }

    template <typename Y, typename D>
    static AnyBase* _Make(Y* p, D d)
    {
        try {
            return new AnyWrapDel<Y, D>(p, d);
        } catch (...) {
            (void)d(p);
            throw;
        }
    }

    AnyBase* _base;
};

// An intrusively counted holder of one T by value, through which a value type
// that is not itself a RefObject is shared with an IntrusivePtr.
template <typename T>
class ObjectAnyWrap : public RefObject {
public:
    explicit ObjectAnyWrap(const T& v) : value(v) {}
    ~ObjectAnyWrap() override {}

    T value;
};

}  // namespace kivo
