// The destructor of a service and those still inside it: it clears the
// service's link at once, so no new use gets in, and returns only after the
// last use that got in before has ended, however many there are and however
// long they take.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "kivo/service/service.h"
#include "tests/kivo/service/wait_for.h"

using kivo::IntrusivePtr;
using kivo::Message;
using kivo::Service;
using kivo::svc_trains::ServiceLink;
using kivo::svc_trains::ServiceUse;
using kivo_test::WaitFor;

namespace {

// Long enough for a destructor that does not wait to have returned.
const uint32_t kStillInMs = 50;

// Destroys the service on a thread of its own and tells when that is done.
class Destroyer {
public:
    explicit Destroyer(Service* svc) : _returned(false), _thread([this, svc] {
        delete svc;
        _returned.store(true);
    }) {}
    ~Destroyer() { _thread.join(); }
    bool Returned() const { return _returned.load(); }

private:
    std::atomic<bool> _returned;
    std::thread _thread;
};

Service* MakeService(int32_t workers)
{
    if (workers == 0) {
        Service* svc = new Service;
        svc->Init("", 16, 1);
        return svc;
    }
    const Service::ThreadParam param = {0, 0, "users worker", workers};
    return new Service("", 16, param);
}

}  // namespace

TEST(ServiceUsersTest, DestructorReturnsOnlyAfterTheLastUseEnds)
{
    const struct {
        const char* name;
        int32_t workers;
        size_t uses;
    } cases[] = {
        {"no worker, one use", 0, 1},
        {"one worker, one use", 1, 1},
        {"two workers, three uses", 2, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Service* svc = MakeService(c.workers);
        const IntrusivePtr<ServiceLink> link = svc->_Link();
        std::vector<std::unique_ptr<ServiceUse>> uses;
        for (size_t i = 0; i < c.uses; ++i) {
            uses.emplace_back(new ServiceUse(link));
            ASSERT_EQ(svc, uses.back()->Get());
        }
        Destroyer destroyer(svc);
        ASSERT_TRUE(WaitFor([&] { return link->Peek() == nullptr; }));
        // Gone for whoever comes now.
        EXPECT_EQ(nullptr, ServiceUse(link).Get());
        while (!uses.empty()) {
            EXPECT_FALSE(WaitFor([&] { return destroyer.Returned(); }, kStillInMs))
                << uses.size() << " use(s) still in";
            uses.pop_back();
        }
        EXPECT_TRUE(WaitFor([&] { return destroyer.Returned(); }));
    }
}

namespace {

std::atomic<int> g_hook_entered{0};
std::atomic<int> g_hook_open{0};

// Holds the post that called it inside the service until opened.
void GatedHook(Service*)
{
    g_hook_entered.store(1);
    WaitFor([] { return g_hook_open.load() != 0; });
}

void Nothing(Message&) {}

}  // namespace

// A post is a use of its own: one still running the wake-up hook when the
// destruction begins ends first, and it had been accepted.
TEST(ServiceUsersTest, DestructorWaitsForAPostStillInItsWakeupHook)
{
    g_hook_entered = 0;
    g_hook_open = 0;
    Service* svc = new Service;
    svc->Init("", 16, 1, &GatedHook);
    const IntrusivePtr<ServiceLink> link = svc->_Link();
    std::atomic<int> posted{-1};
    std::thread poster([&] { posted.store(Service::PostFunc(svc, &Nothing, Message::Value()) ? 1 : 0); });
    ASSERT_TRUE(WaitFor([] { return g_hook_entered.load() != 0; }));
    {
        Destroyer destroyer(svc);
        ASSERT_TRUE(WaitFor([&] { return link->Peek() == nullptr; }));
        EXPECT_FALSE(WaitFor([&] { return destroyer.Returned(); }, kStillInMs));
        g_hook_open = 1;
        EXPECT_TRUE(WaitFor([&] { return destroyer.Returned(); }));
    }
    poster.join();
    EXPECT_EQ(1, posted.load());
}
