// One text for the function objects that take call arguments. It has no
// include guard on purpose: kivo/common/function.h includes it once per
// argument count, with these macros set:
//
//   KIVO_FN_N         the argument count (1, 2)
//   KIVO_FN_TPARAMS   typename P1, ... , typename Pn
//   KIVO_FN_TARGS     P1, ... , Pn
//   KIVO_FN_PARAMS    P1 a1, ... , Pn an
//   KIVO_FN_ARGS      a1, ... , an
//
// and gets kivo::Fn::FunctionNInvokerBase, FunctionNCCfuncInvoker,
// FunctionNMemObjectInvoker and kivo::FunctionN. Arguments are passed on as
// they were received, so a reference parameter reaches the target as the
// caller's own object.

#ifndef KIVO_FN_N
#error "include kivo/common/function.h instead"
#endif

#define KIVO_FN_CAT3_(a, b, c) a##b##c
#define KIVO_FN_CAT3(a, b, c) KIVO_FN_CAT3_(a, b, c)
#define KIVO_FN_INVOKER_BASE KIVO_FN_CAT3(Function, KIVO_FN_N, InvokerBase)
#define KIVO_FN_CC_INVOKER KIVO_FN_CAT3(Function, KIVO_FN_N, CCfuncInvoker)
#define KIVO_FN_MEM_INVOKER KIVO_FN_CAT3(Function, KIVO_FN_N, MemObjectInvoker)
#define KIVO_FN_FUNCTION KIVO_FN_CAT3(Function, KIVO_FN_N, )

namespace kivo {
namespace Fn {

// The small virtual interface through which a function object reaches its
// target.
template <typename R, KIVO_FN_TPARAMS>
class KIVO_FN_INVOKER_BASE {
public:
    virtual ~KIVO_FN_INVOKER_BASE() {}
    // Calls the target with the call arguments.
    virtual R Invoke(KIVO_FN_PARAMS) = 0;
    // A new invoker of the same class holding a copy of the target.
    virtual KIVO_FN_INVOKER_BASE* Clone() const = 0;
    // A word that identifies the target in diagnostic dumps.
    virtual uintptr_t Identity() const = 0;
    // True when `other` is of the same class and designates the same target.
    virtual bool Equals(const KIVO_FN_INVOKER_BASE& other) const = 0;
};

// Holds a plain function pointer or a callable object by value.
template <typename R, typename F, KIVO_FN_TPARAMS>
class KIVO_FN_CC_INVOKER : public KIVO_FN_INVOKER_BASE<R, KIVO_FN_TARGS> {
public:
    explicit KIVO_FN_CC_INVOKER(const F& f) : _f(f) {}

    R Invoke(KIVO_FN_PARAMS) override { return _f(KIVO_FN_ARGS); }

    KIVO_FN_INVOKER_BASE<R, KIVO_FN_TARGS>* Clone() const override { return new KIVO_FN_CC_INVOKER(_f); }

    uintptr_t Identity() const override { return impl::TypeNameWord<F>(); }

    bool Equals(const KIVO_FN_INVOKER_BASE<R, KIVO_FN_TARGS>& other) const override
    {
        const KIVO_FN_CC_INVOKER* o = dynamic_cast<const KIVO_FN_CC_INVOKER*>(&other);
        return o != 0 && impl::SameCallable(_f, o->_f);
    }

private:
    F _f;
};

// Holds a member-function pointer and the (not owned) object to call it on;
// virtual member functions dispatch to the object's most derived override.
template <typename R, typename OP, typename MF, KIVO_FN_TPARAMS>
class KIVO_FN_MEM_INVOKER : public KIVO_FN_INVOKER_BASE<R, KIVO_FN_TARGS> {
public:
    KIVO_FN_MEM_INVOKER(MF mf, OP obj) : _mf(mf), _obj(obj) {}

    R Invoke(KIVO_FN_PARAMS) override { return (_obj->*_mf)(KIVO_FN_ARGS); }

    KIVO_FN_INVOKER_BASE<R, KIVO_FN_TARGS>* Clone() const override { return new KIVO_FN_MEM_INVOKER(_mf, _obj); }

    uintptr_t Identity() const override { return impl::CodeWord(_mf); }

    bool Equals(const KIVO_FN_INVOKER_BASE<R, KIVO_FN_TARGS>& other) const override
    {
        const KIVO_FN_MEM_INVOKER* o = dynamic_cast<const KIVO_FN_MEM_INVOKER*>(&other);
        return o != 0 && _mf == o->_mf && _obj == o->_obj;
    }

private:
    MF _mf;
    OP _obj;
};

}  // namespace Fn

// A type-erased callable owning one invoker; copies clone the invoker, so no
// two function objects share one. Calling an empty one is a broken contract.
template <typename R, KIVO_FN_TPARAMS>
class KIVO_FN_FUNCTION {
public:
    typedef R result_type;
    typedef Fn::KIVO_FN_INVOKER_BASE<R, KIVO_FN_TARGS> Invoker;

    KIVO_FN_FUNCTION() : _base(0) {}

    // From a function pointer or a callable object (a binder, a class with a
    // call operator); a copy of it is kept.
    template <typename F, typename = typename std::enable_if<!std::is_same<F, KIVO_FN_FUNCTION>::value>::type>
    KIVO_FN_FUNCTION(F f) : _base(new Fn::KIVO_FN_CC_INVOKER<R, F, KIVO_FN_TARGS>(f))
    {
    }

    // From a member-function pointer and the object to call it on. The
    // object is not owned and must outlive this function object.
    template <typename MF, typename T>
    KIVO_FN_FUNCTION(MF mf, T* obj) : _base(new Fn::KIVO_FN_MEM_INVOKER<R, T*, MF, KIVO_FN_TARGS>(mf, obj))
    {
    }

    KIVO_FN_FUNCTION(const KIVO_FN_FUNCTION& rhs) : _base(rhs._base != 0 ? rhs._base->Clone() : 0) {}

    ~KIVO_FN_FUNCTION() { delete _base; }

    // Copy and swap: a failed clone leaves this object as it was.
    KIVO_FN_FUNCTION& operator=(const KIVO_FN_FUNCTION& rhs)
    {
        KIVO_FN_FUNCTION(rhs).Swap(*this);
        return *this;
    }

    void Swap(KIVO_FN_FUNCTION& rhs)
    {
        Invoker* t = _base;
        _base = rhs._base;
        rhs._base = t;
    }

    R operator()(KIVO_FN_PARAMS) const
    {
        assert(_base != 0);
        return _base->Invoke(KIVO_FN_ARGS);
    }

    // 0 when empty, otherwise the invoker's identity word.
    uintptr_t TargetIdentity() const { return _base != 0 ? _base->Identity() : 0; }

private:
    Invoker* _base;
};

}  // namespace kivo

#undef KIVO_FN_FUNCTION
#undef KIVO_FN_MEM_INVOKER
#undef KIVO_FN_CC_INVOKER
#undef KIVO_FN_INVOKER_BASE
#undef KIVO_FN_CAT3
#undef KIVO_FN_CAT3_
