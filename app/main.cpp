// The updater program: static initialisation (sandbox, status mailbox,
// module registrations), main and the application thread AppMain, which
// creates the services, starts the modules (Gui::Init runs the whole update)
// and tears everything down in a fixed order.

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "app/gui.h"
#include "app/sandbox.h"
#include "app/update.h"
#include "common/hardware_port/linux_a9/io.h"
#include "kivo/base/kivo_init.h"
#include "kivo/common/function.h"
#include "kivo/common/thread.h"
#include "kivo/service/module.h"
#include "kivo/service/service.h"

namespace {

// The program's release, printed at start.
const char* const kSoftVersion = "$$$<ver>1.0.16.1207</ver>$$$";

// One row of the service table.
struct _ServiceRow {
    const char* name;
    uint32_t msg_num;
    int32_t prio;
    int32_t stack_size;
    const char* thread;  // null: served by the application thread
};

const _ServiceRow kServices[] = {
    {"SVC_GUI", 1000, 0, 0, nullptr},
    {"SVC_UPDATE", 1000, -1, 0, "update"},
    {"SVC_GPIO_PWM", 1000, -1, 10, "gpio pwm"},
};
const int kServiceCount = sizeof kServices / sizeof kServices[0];

kivo::ModuleBase* MakeUpdate()
{
    Update* update = new Update();
    update->SetName("Update");
    return update;
}

kivo::ModuleBase* MakeGui()
{
    void* mem = ::operator new(sizeof(Gui));
    memset(mem, 0, sizeof(Gui));
    Gui* gui = new (mem) Gui();
    gui->SetName("Gui");
    return gui;
}

void ModuleLog(const kivo::StringView& text)
{
    fwrite(text.Data(), 1, text.Size(), stdout);
    fflush(stdout);
}

// Before main, in this order: streams (line-buffered, so that every line
// is out before a reboot or a kill), the sandbox, the mailbox, the modules.
bool StaticStart()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (SandboxInit() != kSandboxRefused)
        g_mailbox_vaddr = hw_vir_map(kMailboxPhysical, kMailboxSize);
    return true;
}

const bool s_started = StaticStart();
kivo::ModuleRegister s_update_record(&MakeUpdate, "Update", "SVC_UPDATE", 0);
kivo::ModuleRegister s_gui_record(&MakeGui, "Gui", "SVC_GUI", 0);

void AppMain(void* arg)
{
    (void)arg;
    kivo::Service services[kServiceCount];

    kivo_init();
    printf("soft version = %s\n", kSoftVersion);

    // A service without its worker would leave the update waiting for good:
    // the program says so and ends instead.
    bool started = true;
    for (int i = 1; i < kServiceCount && started; ++i) {
        const _ServiceRow& row = kServices[i];
        kivo::Service::ThreadParam param = {row.prio, row.stack_size, row.thread, 1};
        started = services[i].Init(row.name, row.msg_num, param);
        if (!started)
            printf("[error]service %s cannot start: its thread \"%s\" could not be created\n", row.name, row.thread);
    }
    if (started) {
        services[0].Init(kServices[0].name, kServices[0].msg_num, 1);
        services[0].Start();

        kivo::Module::Init(&ModuleLog);
        services[0].Run();
        kivo::Module::Destroy(&ModuleLog);
    }

    for (int i = 0; i < kServiceCount; ++i)
        services[i].Stop();
    hw_vir_unmap(kMailboxPhysical);
    kivo_deinit();
    fflush(stdout);
    // The services go now, in reverse table order.
}

}  // namespace

int main(int argc, char** argv)
{
    (void)s_started;
    if (SandboxGetState() == kSandboxRefused) {
        printf("%s\n", SandboxRefusal().c_str());
        return 1;
    }
    g_app_argc = argc;
    g_app_argv = argv;
    kivo::Thread app(kivo::Function0<void>(kivo::Bind(&AppMain, static_cast<void*>(nullptr))), 0, 0, "");
    if (!app.IsValid()) {
        // Join gives the platform's error of the creation.
        printf("[error]the application thread could not be created: %s\n", strerror(app.Join()));
        return 1;
    }
    app.Join();
    return 1;
}
