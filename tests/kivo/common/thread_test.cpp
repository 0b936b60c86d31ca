#include "kivo/common/thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "kivo/base/kivo_pool.h"

namespace {

// Shared between a test and the thread it starts.
struct Cell {
    std::atomic<int> value{0};
    std::atomic<bool> release{false};
    std::atomic<bool> entered{false};
    kivo::Thread::Id id;
};

// The shape the application's entry has: a free function with a void*.
void Store(void* arg, int value)
{
    Cell* cell = static_cast<Cell*>(arg);
    cell->id = kivo::this_thread::GetId();
    cell->value = value;
}

// Waits (at most `limit_ms`) until the test lets it go.
void Park(Cell* cell, int limit_ms)
{
    cell->entered = true;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!cell->release && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    cell->value = 1;
}

bool WaitFor(const std::atomic<bool>& flag, int limit_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!flag && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag;
}

TEST(ThreadTest, RunsTheBoundFunctionOnItsOwnThread)
{
    Cell cell;
    kivo::Thread t(kivo::Bind(&Store, static_cast<void*>(&cell), 42));
    EXPECT_TRUE(t.IsValid());
    EXPECT_EQ(0, t.Join());
    EXPECT_EQ(42, cell.value.load());
    EXPECT_TRUE(cell.id.IsValid());
    EXPECT_NE(kivo::this_thread::GetId(), cell.id);
}

TEST(ThreadTest, OnlyTheFirstOfJoinAndDetachReachesThePlatform)
{
    Cell joined;
    kivo::Thread j(kivo::Bind(&Store, static_cast<void*>(&joined), 1));
    EXPECT_EQ(0, j.Join());
    EXPECT_EQ(1, j.Join());
    EXPECT_EQ(1, j.Detach());
    // The destructor's Detach now finds the state set and does nothing.

    Cell detached;
    {
        kivo::Thread d(kivo::Bind(&Park, &detached, 10000));
        EXPECT_EQ(0, d.Detach());
        EXPECT_EQ(1, d.Join());
    }
    detached.release = true;
    while (detached.value == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(ThreadTest, DestructorDetachesARunningThread)
{
    Cell cell;
    auto start = std::chrono::steady_clock::now();
    {
        kivo::Thread t(kivo::Bind(&Park, &cell, 120000));
        ASSERT_TRUE(WaitFor(cell.entered, 10000));
    }
    // A destructor that joined would have waited for the thread's time limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(0, cell.value.load());
    cell.release = true;
    while (cell.value == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct Found {
    const char* name;
    bool found;
    uint32_t tag;
};

int FindByName(void* context, const kivo_mem_thread_t* record)
{
    Found* f = static_cast<Found*>(context);
    if (strcmp(record->name, f->name) != 0)
        return 0;
    f->found = true;
    f->tag = record->tag;
    return 1;
}

TEST(ThreadTest, NameAndPriorityShowInTheAllocationStatistics)
{
    struct Case {
        const char* given;
        const char* shown;
        int32_t prio;
    };
    const Case cases[] = {
        {"stat worker", "stat worker", 3},
        {"stat-0123456789012345678901234567890123", "stat-01234567890123456789012345", -1},
    };
    for (const Case& c : cases) {
        Cell cell;
        kivo::Thread t(kivo::Bind(&Park, &cell, 10000), c.prio, 0, c.given);
        ASSERT_TRUE(WaitFor(cell.entered, 10000)) << c.given;

        Found running = {c.shown, false, 0};
        kivo_mem_for_each(&running, &FindByName);
        EXPECT_TRUE(running.found) << c.given;
        EXPECT_EQ(static_cast<uint32_t>(c.prio), running.tag) << c.given;

        cell.release = true;
        EXPECT_EQ(0, t.Join());
        // The record was retired when the thread ended.
        Found ended = {c.shown, false, 0};
        kivo_mem_for_each(&ended, &FindByName);
        EXPECT_FALSE(ended.found) << c.given;
    }
}

// Lowers the address-space limit for one scope so that a huge stack cannot be
// mapped (on a 32-bit target it cannot be mapped anyway).
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(uint64_t headroom)
    {
        getrlimit(RLIMIT_AS, &_saved);
        struct rlimit lowered = _saved;
        lowered.rlim_cur = VmBytes() + headroom;
        if (_saved.rlim_cur == RLIM_INFINITY || lowered.rlim_cur < _saved.rlim_cur)
            setrlimit(RLIMIT_AS, &lowered);
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &_saved); }

private:
    static uint64_t VmBytes()
    {
        unsigned long long kb = 0;
        FILE* f = fopen("/proc/self/status", "r");
        char line[256];
        while (f != nullptr && fgets(line, sizeof(line), f) != nullptr) {
            if (sscanf(line, "VmSize: %llu kB", &kb) == 1)
                break;
        }
        if (f != nullptr)
            fclose(f);
        return static_cast<uint64_t>(kb) * 1024;
    }

    struct rlimit _saved;
};

TEST(ThreadTest, RefusedCreationIsReportedAndHarmless)
{
    Cell cell;
    {
        kivo::Thread* t;
        {
            AddressSpaceLimit limit(256u << 20);
            t = new kivo::Thread(kivo::Bind(&Store, static_cast<void*>(&cell), 9), 0, 0xFFF00000u, "refused");
        }
        EXPECT_FALSE(t->IsValid());
        kivo_err_t err = t->Join();
        EXPECT_NE(0, err);
        EXPECT_EQ(err, t->Detach());
        // The destructor must not hand the invalid handle to the platform;
        // the start record was freed (the leak checker of the sanitizer
        // build would report it otherwise).
        delete t;
    }
    EXPECT_EQ(0, cell.value.load());
}

TEST(ThreadIdTest, DefaultIsInvalidAndIdsDifferPerThread)
{
    kivo::Thread::Id none;
    EXPECT_FALSE(none.IsValid());
    kivo::Thread::Id self = kivo::this_thread::GetId();
    EXPECT_TRUE(self.IsValid());
    EXPECT_EQ(self, kivo::this_thread::GetId());
    EXPECT_EQ(kivo_thread_self(), self.Get());
    EXPECT_NE(none, self);
}

void NothingToRun(kivo::Thread** out)
{
    *out = new kivo::Thread(kivo::Function0<void>());
    (*out)->Join();
}

TEST(ThreadDeathTest, EmptyFunctionStopsOnTheAssertion)
{
    kivo::Thread* t = nullptr;
    EXPECT_DEATH(NothingToRun(&t), "_base != 0");
}

}  // namespace
