#pragma once

// Function objects and binders: every callback of the framework.
//
// kivo::Function0<R>, kivo::Function1<R, P1> and kivo::Function2<R, P1, P2>
// own one heap-allocated invoker holding the real target: a plain function
// pointer, a callable object (such as a kivo::Bi::BindFunc) or a member-
// function pointer with the object to call it on. kivo::Function<R(P1)> is
// another spelling of kivo::Function1<R, P1>.
//
// kivo::Bind turns a function or a member function plus bound items into a
// kivo::Bi::BindFunc of smaller arity. An item is a value (copied into the
// binder) or a placeholder, kivo::PlaceHolder::_1 or _2, standing for the
// first or second call argument:
//
//   kivo::Function2<void, const char*, bool> walk =
//       kivo::Bind(&Update::OnEntry, this, kivo::PlaceHolder::_1, kivo::PlaceHolder::_2, src, dst);
//
// A parameter of value type receives a copy of its item; a parameter of
// reference type receives the binder's own stored copy, or for a placeholder
// the caller's argument itself. Function objects own their targets and bound
// values; the object a member function is called on is not owned and must
// outlive the callback.
//
// No internal locking: a function object may be called from several threads
// at once when its target allows it, but copying, assigning or destroying it
// must not overlap with other uses of the same object.

#include <assert.h>
#include <stdint.h>
#include <string.h>

#include <type_traits>
#include <typeinfo>

namespace kivo {

namespace PlaceHolder {

// Marks the K-th call argument among a binder's items.
template <int K>
struct Arg {};

// The placeholders callers pass to kivo::Bind; binders store them as
// pointers to these functions.
inline Arg<1> _1() { return Arg<1>(); }
inline Arg<2> _2() { return Arg<2>(); }

}  // namespace PlaceHolder

namespace Fn {
namespace impl {

template <typename F>
struct IsFunctionPointer
    : std::integral_constant<bool, std::is_pointer<F>::value && std::is_function<typename std::remove_pointer<F>::type>::value> {};

// Identity of a callable: the address of its type's run-time name.
template <typename F>
inline uintptr_t TypeNameWord()
{
    return reinterpret_cast<uintptr_t>(typeid(F).name());
}

// Two stored function pointers designate the same target when they are
// equal; two stored callable objects only when they are the same object.
template <typename F>
inline bool SameCallable(const F& a, const F& b, std::true_type)
{
    return a == b;
}

template <typename F>
inline bool SameCallable(const F& a, const F& b, std::false_type)
{
    return &a == &b;
}

template <typename F>
inline bool SameCallable(const F& a, const F& b)
{
    return SameCallable(a, b, IsFunctionPointer<F>());
}

// The code-address word of a member-function pointer (its first word as the
// compiler lays it out).
template <typename MF>
inline uintptr_t CodeWord(const MF& mf)
{
    static_assert(sizeof(MF) >= sizeof(uintptr_t), "member pointer smaller than a word");
    uintptr_t w;
    memcpy(&w, &mf, sizeof(w));
    return w;
}

}  // namespace impl

template <typename R>
class Function0InvokerBase {
public:
    virtual ~Function0InvokerBase() {}
    // Calls the target.
    virtual R Invoke() = 0;
    // A new invoker of the same class holding a copy of the target.
    virtual Function0InvokerBase* Clone() const = 0;
    // A word that identifies the target in diagnostic dumps.
    virtual uintptr_t Identity() const = 0;
    // True when `other` is of the same class and designates the same target.
    virtual bool Equals(const Function0InvokerBase& other) const = 0;
};

template <typename R, typename F>
class Function0CCfuncInvoker : public Function0InvokerBase<R> {
public:
    explicit Function0CCfuncInvoker(const F& f) : _f(f) {}

    R Invoke() override { return _f(); }

    Function0InvokerBase<R>* Clone() const override { return new Function0CCfuncInvoker(_f); }

    uintptr_t Identity() const override { return impl::TypeNameWord<F>(); }

    bool Equals(const Function0InvokerBase<R>& other) const override
    {
        const Function0CCfuncInvoker* o = dynamic_cast<const Function0CCfuncInvoker*>(&other);
        return o != 0 && impl::SameCallable(_f, o->_f);
    }

private:
    F _f;
};

template <typename R, typename OP, typename MF>
class Function0MemObjectInvoker : public Function0InvokerBase<R> {
public:
    Function0MemObjectInvoker(MF mf, OP obj) : _mf(mf), _obj(obj) {}

    R Invoke() override { return (_obj->*_mf)(); }

    Function0InvokerBase<R>* Clone() const override { return new Function0MemObjectInvoker(_mf, _obj); }

    uintptr_t Identity() const override { return impl::CodeWord(_mf); }

    bool Equals(const Function0InvokerBase<R>& other) const override
    {
        const Function0MemObjectInvoker* o = dynamic_cast<const Function0MemObjectInvoker*>(&other);
        return o != 0 && _mf == o->_mf && _obj == o->_obj;
    }

private:
    MF _mf;
    OP _obj;
};

}  // namespace Fn

// Function object without call arguments (thread bodies, timers).
template <typename R>
class Function0 {
public:
    typedef R result_type;
    typedef Fn::Function0InvokerBase<R> Invoker;

    Function0() : _base(0) {}

    // From a function pointer or a callable object; a copy of it is kept.
    template <typename F, typename = typename std::enable_if<!std::is_same<F, Function0>::value>::type>
    Function0(F f) : _base(new Fn::Function0CCfuncInvoker<R, F>(f))
    {
    }

    // From a member-function pointer and the object to call it on. The
    // object is not owned and must outlive this function object.
    template <typename MF, typename T>
    Function0(MF mf, T* obj) : _base(new Fn::Function0MemObjectInvoker<R, T*, MF>(mf, obj))
    {
    }

    Function0(const Function0& rhs) : _base(rhs._base != 0 ? rhs._base->Clone() : 0) {}

    ~Function0() { delete _base; }

    // Copy and swap: a failed clone leaves this object as it was.
    Function0& operator=(const Function0& rhs)
    {
        Function0(rhs).Swap(*this);
        return *this;
    }

    void Swap(Function0& rhs)
    {
        Invoker* t = _base;
        _base = rhs._base;
        rhs._base = t;
    }

    R operator()() const
    {
        assert(_base != 0);
        return _base->Invoke();
    }

    // 0 when empty, otherwise the invoker's identity word.
    uintptr_t TargetIdentity() const { return _base != 0 ? _base->Identity() : 0; }

private:
    Invoker* _base;
};

}  // namespace kivo

#define KIVO_FN_N 1
#define KIVO_FN_TPARAMS typename P1
#define KIVO_FN_TARGS P1
#define KIVO_FN_PARAMS P1 a1
#define KIVO_FN_ARGS a1
#include "kivo/common/function_temp.h"
#undef KIVO_FN_ARGS
#undef KIVO_FN_PARAMS
#undef KIVO_FN_TARGS
#undef KIVO_FN_TPARAMS
#undef KIVO_FN_N

#define KIVO_FN_N 2
#define KIVO_FN_TPARAMS typename P1, typename P2
#define KIVO_FN_TARGS P1, P2
#define KIVO_FN_PARAMS P1 a1, P2 a2
#define KIVO_FN_ARGS a1, a2
#include "kivo/common/function_temp.h"
#undef KIVO_FN_ARGS
#undef KIVO_FN_PARAMS
#undef KIVO_FN_TARGS
#undef KIVO_FN_TPARAMS
#undef KIVO_FN_N

namespace kivo {

namespace Fn {
namespace impl {

template <typename Sig>
struct FunctionOfSignature;

template <typename R, typename P1>
struct FunctionOfSignature<R(P1)> {
    typedef Function1<R, P1> type;
};

}  // namespace impl
}  // namespace Fn

// kivo::Function<void(const X&)> is kivo::Function1<void, const X&>.
template <typename Sig>
using Function = typename Fn::impl::FunctionOfSignature<Sig>::type;

namespace Bi {

// The arguments of one call of a binder. The lists refer to the caller's
// arguments rather than copying them, so a reference parameter reaches the
// target as the caller's own object. Indexing with a placeholder gives that
// call argument; indexing with any other stored item gives the item itself.
class List0 {
public:
    template <typename T>
    T& operator[](T& item) const
    {
        return item;
    }

    void operator[](PlaceHolder::Arg<1> (*)()) const = delete;
    void operator[](PlaceHolder::Arg<2> (*)()) const = delete;
};

template <typename A1>
class List1 {
public:
    explicit List1(A1& a1) : _a1(a1) {}

    template <typename T>
    T& operator[](T& item) const
    {
        return item;
    }

    A1& operator[](PlaceHolder::Arg<1> (*)()) const { return _a1; }
    void operator[](PlaceHolder::Arg<2> (*)()) const = delete;

private:
    A1& _a1;
};

template <typename A1, typename A2>
class List2 {
public:
    List2(A1& a1, A2& a2) : _a1(a1), _a2(a2) {}

    template <typename T>
    T& operator[](T& item) const
    {
        return item;
    }

    A1& operator[](PlaceHolder::Arg<1> (*)()) const { return _a1; }
    A2& operator[](PlaceHolder::Arg<2> (*)()) const { return _a2; }

private:
    A1& _a1;
    A2& _a2;
};

namespace impl {

// The object a member function is called on: a stored pointer, or a stored
// (or passed) object itself.
template <typename T>
inline typename std::enable_if<std::is_pointer<T>::value, T>::type ObjectPointer(T& p)
{
    return p;
}

template <typename T>
inline typename std::enable_if<!std::is_pointer<T>::value, T*>::type ObjectPointer(T& o)
{
    return &o;
}

template <typename MF>
struct MemberResult;

template <typename R, typename C, typename... B>
struct MemberResult<R (C::*)(B...)> {
    typedef R type;
};

template <typename R, typename C, typename... B>
struct MemberResult<R (C::*)(B...) const> {
    typedef R type;
};

}  // namespace impl

// Call descriptions of plain functions: the function pointer, then the items.
template <typename R, typename Fp, typename A1>
class CCFunc1 {
public:
    typedef R result_type;
    CCFunc1(Fp f, const A1& a1) : _f(f), _a1(a1) {}

    template <typename L>
    R Call(const L& l)
    {
        return _f(l[_a1]);
    }

private:
    Fp _f;
    A1 _a1;
};

template <typename R, typename Fp, typename A1, typename A2>
class CCFunc2 {
public:
    typedef R result_type;
    CCFunc2(Fp f, const A1& a1, const A2& a2) : _f(f), _a1(a1), _a2(a2) {}

    template <typename L>
    R Call(const L& l)
    {
        return _f(l[_a1], l[_a2]);
    }

private:
    Fp _f;
    A1 _a1;
    A2 _a2;
};

template <typename R, typename Fp, typename A1, typename A2, typename A3>
class CCFunc3 {
public:
    typedef R result_type;
    CCFunc3(Fp f, const A1& a1, const A2& a2, const A3& a3) : _f(f), _a1(a1), _a2(a2), _a3(a3) {}

    template <typename L>
    R Call(const L& l)
    {
        return _f(l[_a1], l[_a2], l[_a3]);
    }

private:
    Fp _f;
    A1 _a1;
    A2 _a2;
    A3 _a3;
};

template <typename R, typename Fp, typename A1, typename A2, typename A3, typename A4>
class CCFunc4 {
public:
    typedef R result_type;
    CCFunc4(Fp f, const A1& a1, const A2& a2, const A3& a3, const A4& a4)
        : _f(f), _a1(a1), _a2(a2), _a3(a3), _a4(a4)
    {
    }

    template <typename L>
    R Call(const L& l)
    {
        return _f(l[_a1], l[_a2], l[_a3], l[_a4]);
    }

private:
    Fp _f;
    A1 _a1;
    A2 _a2;
    A3 _a3;
    A4 _a4;
};

// Call descriptions of member functions: the object item, the member
// pointer, then the items.
template <typename R, typename O, typename MF, typename A1, typename A2>
class MEMFunc2 {
public:
    typedef R result_type;
    MEMFunc2(const O& obj, MF mf, const A1& a1, const A2& a2) : _obj(obj), _mf(mf), _a1(a1), _a2(a2) {}

    template <typename L>
    R Call(const L& l)
    {
        return (impl::ObjectPointer(l[_obj])->*_mf)(l[_a1], l[_a2]);
    }

private:
    O _obj;
    MF _mf;
    A1 _a1;
    A2 _a2;
};

template <typename R, typename O, typename MF, typename A1, typename A2, typename A3>
class MEMFunc3 {
public:
    typedef R result_type;
    MEMFunc3(const O& obj, MF mf, const A1& a1, const A2& a2, const A3& a3)
        : _obj(obj), _mf(mf), _a1(a1), _a2(a2), _a3(a3)
    {
    }

    template <typename L>
    R Call(const L& l)
    {
        return (impl::ObjectPointer(l[_obj])->*_mf)(l[_a1], l[_a2], l[_a3]);
    }

private:
    O _obj;
    MF _mf;
    A1 _a1;
    A2 _a2;
    A3 _a3;
};

template <typename R, typename O, typename MF, typename A1, typename A2, typename A3, typename A4>
class MEMFunc4 {
public:
    typedef R result_type;
    MEMFunc4(const O& obj, MF mf, const A1& a1, const A2& a2, const A3& a3, const A4& a4)
        : _obj(obj), _mf(mf), _a1(a1), _a2(a2), _a3(a3), _a4(a4)
    {
    }

    template <typename L>
    R Call(const L& l)
    {
        return (impl::ObjectPointer(l[_obj])->*_mf)(l[_a1], l[_a2], l[_a3], l[_a4]);
    }

private:
    O _obj;
    MF _mf;
    A1 _a1;
    A2 _a2;
    A3 _a3;
    A4 _a4;
};

// A call description with its bound values, callable with 0, 1 or 2 call
// arguments. Copying copies every bound value; destroying destroys them.
template <typename F>
class BindFunc {
public:
    typedef typename F::result_type result_type;

    explicit BindFunc(const F& f) : _f(f) {}

    result_type operator()() { return _f.Call(List0()); }

    template <typename X1>
    result_type operator()(X1&& x1)
    {
        return _f.Call(List1<typename std::remove_reference<X1>::type>(x1));
    }

    template <typename X1, typename X2>
    result_type operator()(X1&& x1, X2&& x2)
    {
        return _f.Call(List2<typename std::remove_reference<X1>::type, typename std::remove_reference<X2>::type>(x1, x2));
    }

private:
    F _f;
};

}  // namespace Bi

// Binders of plain functions with 1 to 4 items.
template <typename R, typename B1, typename A1>
inline Bi::BindFunc<Bi::CCFunc1<R, R (*)(B1), typename std::decay<A1>::type>> Bind(R (*f)(B1), A1&& a1)
{
    typedef Bi::CCFunc1<R, R (*)(B1), typename std::decay<A1>::type> F;
    return Bi::BindFunc<F>(F(f, a1));
}

template <typename R, typename B1, typename B2, typename A1, typename A2>
inline Bi::BindFunc<Bi::CCFunc2<R, R (*)(B1, B2), typename std::decay<A1>::type, typename std::decay<A2>::type>>
Bind(R (*f)(B1, B2), A1&& a1, A2&& a2)
{
    typedef Bi::CCFunc2<R, R (*)(B1, B2), typename std::decay<A1>::type, typename std::decay<A2>::type> F;
    return Bi::BindFunc<F>(F(f, a1, a2));
}

template <typename R, typename B1, typename B2, typename B3, typename A1, typename A2, typename A3>
inline Bi::BindFunc<Bi::CCFunc3<R, R (*)(B1, B2, B3), typename std::decay<A1>::type, typename std::decay<A2>::type,
                                typename std::decay<A3>::type>>
Bind(R (*f)(B1, B2, B3), A1&& a1, A2&& a2, A3&& a3)
{
    typedef Bi::CCFunc3<R, R (*)(B1, B2, B3), typename std::decay<A1>::type, typename std::decay<A2>::type,
                        typename std::decay<A3>::type>
        F;
    return Bi::BindFunc<F>(F(f, a1, a2, a3));
}

template <typename R, typename B1, typename B2, typename B3, typename B4, typename A1, typename A2, typename A3,
          typename A4>
inline Bi::BindFunc<Bi::CCFunc4<R, R (*)(B1, B2, B3, B4), typename std::decay<A1>::type,
                                typename std::decay<A2>::type, typename std::decay<A3>::type,
                                typename std::decay<A4>::type>>
Bind(R (*f)(B1, B2, B3, B4), A1&& a1, A2&& a2, A3&& a3, A4&& a4)
{
    typedef Bi::CCFunc4<R, R (*)(B1, B2, B3, B4), typename std::decay<A1>::type, typename std::decay<A2>::type,
                        typename std::decay<A3>::type, typename std::decay<A4>::type>
        F;
    return Bi::BindFunc<F>(F(f, a1, a2, a3, a4));
}

// Binders of member functions (const or not) with an object item (usually
// the object's pointer) and 2 to 4 items.
template <typename MF, typename O, typename A1, typename A2,
          typename = typename std::enable_if<std::is_member_function_pointer<MF>::value>::type>
inline Bi::BindFunc<Bi::MEMFunc2<typename Bi::impl::MemberResult<MF>::type, typename std::decay<O>::type, MF,
                                 typename std::decay<A1>::type, typename std::decay<A2>::type>>
Bind(MF mf, O&& obj, A1&& a1, A2&& a2)
{
    typedef Bi::MEMFunc2<typename Bi::impl::MemberResult<MF>::type, typename std::decay<O>::type, MF,
                         typename std::decay<A1>::type, typename std::decay<A2>::type>
        F;
    return Bi::BindFunc<F>(F(obj, mf, a1, a2));
}

template <typename MF, typename O, typename A1, typename A2, typename A3,
          typename = typename std::enable_if<std::is_member_function_pointer<MF>::value>::type>
inline Bi::BindFunc<Bi::MEMFunc3<typename Bi::impl::MemberResult<MF>::type, typename std::decay<O>::type, MF,
                                 typename std::decay<A1>::type, typename std::decay<A2>::type,
                                 typename std::decay<A3>::type>>
Bind(MF mf, O&& obj, A1&& a1, A2&& a2, A3&& a3)
{
    typedef Bi::MEMFunc3<typename Bi::impl::MemberResult<MF>::type, typename std::decay<O>::type, MF,
                         typename std::decay<A1>::type, typename std::decay<A2>::type, typename std::decay<A3>::type>
        F;
    return Bi::BindFunc<F>(F(obj, mf, a1, a2, a3));
}

template <typename MF, typename O, typename A1, typename A2, typename A3, typename A4,
          typename = typename std::enable_if<std::is_member_function_pointer<MF>::value>::type>
inline Bi::BindFunc<Bi::MEMFunc4<typename Bi::impl::MemberResult<MF>::type, typename std::decay<O>::type, MF,
                                 typename std::decay<A1>::type, typename std::decay<A2>::type,
                                 typename std::decay<A3>::type, typename std::decay<A4>::type>>
Bind(MF mf, O&& obj, A1&& a1, A2&& a2, A3&& a3, A4&& a4)
{
    typedef Bi::MEMFunc4<typename Bi::impl::MemberResult<MF>::type, typename std::decay<O>::type, MF,
                         typename std::decay<A1>::type, typename std::decay<A2>::type, typename std::decay<A3>::type,
                         typename std::decay<A4>::type>
        F;
    return Bi::BindFunc<F>(F(obj, mf, a1, a2, a3, a4));
}

}  // namespace kivo
