#pragma once

// Modules: the application's components, each a router living in one
// service. Static initialisers register a factory per module; at start-up
// kivo::Module::Init builds every enabled module inside its own service and
// calls its Init there, in order; kivo::Module::Destroy deletes them in
// reverse order. The runtime prints nothing itself: both steps log through
// the output function that the caller gives.

#include <stdint.h>

#include <string>

#include "kivo/common/string_view.h"
#include "kivo/service/service.h"

namespace kivo {

class ModuleBase : public MsgRouter {
public:
    ModuleBase() {}
    ~ModuleBase() override {}
    // Called once, in the module's service, after every module was built.
    virtual bool Init() { return true; }
};

// A module made on request rather than at start-up: built in its service by
// Module::_SingletonNew and deleted there by Module::SingletonDelete.
class ModuleSingleton : public ModuleBase {
public:
    ModuleSingleton() {}
    ~ModuleSingleton() override {}
};

// One static object per module. Records are kept sorted by ascending order;
// equal orders keep registration order.
class ModuleRegister {
public:
    typedef ModuleBase* (*Factory)();

    // factory null: the module is disabled.
    ModuleRegister(Factory factory, const char* module_name, const char* service_name, int32_t order);
    // Records are static; one that goes anyway leaves the list.
    ~ModuleRegister();

    ModuleRegister* next;
    ModuleRegister* prev;
    Factory factory;
    const char* name;
    int32_t order;
    ModuleBase* instance;
    const char* service;
};

class Stream;

// A registered test: one iteration per Run call.
class ModuleTestBase {
public:
    virtual ~ModuleTestBase() {}
    virtual void Run() = 0;
};

class Module {
public:
    typedef ModuleTestBase* (*TestFactory)();

    // One log piece; may be null (no logging).
    typedef void (*log_ouput)(const StringView& text);
    typedef void (*StartHook)();

    // What the construction and Init handlers get, inside a kivo::Var.
    struct ConstructContext {
        ModuleRegister* record;
    };

    // Clears the factory of the first record named module_name.
    static void Disable(const char* module_name);
    // Called after the Init pass, in registration order.
    static void AddStartHook(StartHook fn);

    // Builds, then initialises every enabled module, stopping at the first
    // failing Init; then runs the start hooks and writes 1 to
    // "@/flag/module/ready", whatever happened.
    static void Init(log_ouput log);
    // Deletes the modules in reverse order, each in its service.
    static void Destroy(log_ouput log);

    // Sends construct, with ctx as the message value, into the service named
    // service_name and waits for it. The handler builds the object there and
    // answers with it (a ModuleBase* or ModuleSingleton* value); null when
    // the answer holds neither or the service stopped before answering.
    static ModuleBase* _SingletonNew(const ConstructContext& ctx, const char* service_name,
                                     Service::MsgFunc construct);
    // Deletes m in its own service and waits for it; null does nothing.
    static void SingletonDelete(ModuleBase* m);

    // Registered tests, run in their service when it exists.
    static void AddTest(TestFactory factory, const char* test_name, const char* service_name);
    // One line per test: "%02d: %s\r\n", numbered from 1.
    static std::string ListTests();
    // Runs the tests whose name equals filter (or, with wildcard, matches
    // it with '*' and '?'). arg "<n>s" runs each for n seconds, otherwise it
    // is an iteration count. True when no iteration failed.
    static bool RunTests(const std::string& filter, const std::string& arg, Stream& out, bool wildcard);

    // For the running test: report a failed iteration, end the run, and
    // whether it runs only a few iterations.
    static void TestFail();
    static void TestStop();
    static bool TestFewIterations();
};

}  // namespace kivo
