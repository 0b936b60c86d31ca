// A service whose workers cannot all be created while other threads keep
// posting to it: Init takes back what it made and returns, since it shuts
// out new uses of the service before it waits for those still in. Thread
// creation fails on demand through the linker's wrapping of pthread_create
// (see tests/CMakeLists.txt).

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivo/service/service.h"
#include "tests/kivo/service/thread_creation_fault.h"
#include "tests/kivo/service/wait_for.h"

using kivo::Message;
using kivo::Service;
using kivo::svc_trains::ServiceUse;
using kivo_test::FailNextCreations;
using kivo_test::WaitFor;

namespace {

const int kPosters = 2;

std::atomic<int> g_handled{0};

void Count(Message&)
{
    g_handled.fetch_add(1);
}

// Threads that post to the service without a pause until told to stop, each
// through a use of its link that it takes before its last one ends (as
// walks of routes one after another do): while the link is published, a
// use of it is always in.
class Posters {
public:
    explicit Posters(Service* svc) : _stop(false), _posts(0)
    {
        const auto link = svc->_Link();  // a reference of its own
        for (int i = 0; i < kPosters; ++i) {
            _threads.emplace_back([this, link] {
                std::unique_ptr<ServiceUse> held;
                while (!_stop.load()) {
                    std::unique_ptr<ServiceUse> next(new ServiceUse(link));
                    if (next->Get() != nullptr)
                        Service::PostFunc(next->Get(), &Count, Message::Value());
                    held = std::move(next);
                    _posts.fetch_add(1);
                }
            });
        }
    }
    ~Posters() { Stop(); }
    void Stop()
    {
        _stop.store(true);
        for (std::thread& t : _threads)
            t.join();
        _threads.clear();
    }
    long Posts() const { return _posts.load(); }

private:
    std::atomic<bool> _stop;
    std::atomic<long> _posts;
    std::vector<std::thread> _threads;
};

TEST(ServiceThreadStartConcurrencyTest, FailedInitReturnsWhilePostsKeepComing)
{
    struct Case {
        int workers;
        int created;  // creations that succeed before one fails
    };
    const Case cases[] = {{1, 0}, {3, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.workers) + " workers, " + std::to_string(c.created) + " created");
        const Service::ThreadParam param = {0, 0, "start posts", c.workers};
        Service svc;
        Posters posters(&svc);
        ASSERT_TRUE(WaitFor([&] { return posters.Posts() >= kPosters; }));

        // The thread that calls Init exists before creations fail.
        std::atomic<bool> go(false);
        std::atomic<int> result(-1);
        std::thread initer([&] {
            WaitFor([&] { return go.load(); });
            result.store(svc.Init("thread_start_posts", 16, param) ? 1 : 0);
        });
        {
            FailNextCreations fail(c.created);
            go.store(true);
            // Only a hang reaches the bound; the posters then stop, so that
            // an Init waiting for a pause between their posts returns.
            EXPECT_TRUE(WaitFor([&] { return result.load() != -1; })) << "Init still waits for the posters";
            posters.Stop();
            initer.join();
        }
        EXPECT_EQ(0, result.load());
        EXPECT_EQ(0, svc.State());
        EXPECT_EQ(nullptr, Service::Find("thread_start_posts"));
        EXPECT_FALSE(Service::PostFunc(&svc, &Count, Message::Value()));

        // Set up again, it takes posts and serves them.
        ASSERT_TRUE(svc.Init("thread_start_posts", 16, param));
        g_handled = 0;
        EXPECT_TRUE(Service::PostFunc(&svc, &Count, Message::Value()));
        EXPECT_TRUE(WaitFor([] { return g_handled.load() == 1; }));
        svc.Stop();
    }
}

}  // namespace
