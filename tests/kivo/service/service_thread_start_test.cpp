// A service whose worker threads cannot all be created: Init refuses, and
// nothing of the service is left half made. Thread creation fails on demand
// through the linker's wrapping of pthread_create (see tests/CMakeLists.txt).

#include "kivo/service/service.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/kivo/service/thread_creation_fault.h"

using kivo::Message;
using kivo::Service;
using kivo::Var;
using kivo_test::FailNextCreations;

namespace {

void Double(Message& m)
{
    m.Back(Var(m.value.ToInt32() * 2));
}

TEST(ServiceThreadStartTest, InitFailsWhenAWorkerCannotBeCreatedAndLeavesNothingBehind)
{
    struct Case {
        int workers;
        int created;  // creations that succeed before one fails
    };
    const Case cases[] = {{1, 0}, {3, 0}, {3, 1}, {3, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.workers) + " workers, " + std::to_string(c.created) + " created");
        const Service::ThreadParam param = {0, 0, "start test", c.workers};
        Service svc;
        {
            FailNextCreations fail(c.created);
            EXPECT_FALSE(svc.Init("thread_start_test", 16, param));
        }
        // Not running, not registered, no thread bound to it.
        EXPECT_EQ(0, svc.State());
        EXPECT_EQ(nullptr, Service::Find("thread_start_test"));
        EXPECT_FALSE(Service::PostFunc(&svc, &Double, Message::Value(Var(1))));
        EXPECT_EQ(std::string::npos, Service::Dump().find("SVC:thread_start_test,")) << Service::Dump();

        // So it can be set up again, and then it serves.
        ASSERT_TRUE(svc.Init("thread_start_test", 16, param));
        EXPECT_EQ(&svc, Service::Find("thread_start_test"));
        Message::Value v(Var(21));
        EXPECT_TRUE(Service::CallFunc(&svc, &Double, v));
        EXPECT_EQ(42, v.value.ToInt32());
        svc.Stop();
    }
}

}  // namespace
