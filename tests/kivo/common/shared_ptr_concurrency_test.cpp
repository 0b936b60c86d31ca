#include "kivo/common/shared_ptr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/kivo/common/start_line.h"

namespace {

// Copies of one pointer are released on different threads; the object must
// be disposed exactly once, after every holder is done with it.

struct Counted : kivo::RefObject {
    explicit Counted(std::atomic<int>* dtors) : dtors(dtors) {}
    ~Counted() override { dtors->fetch_add(1); }
    int payload = 7;
    std::atomic<int>* dtors;
};

struct Plain {
    explicit Plain(std::atomic<int>* dtors) : dtors(dtors) {}
    ~Plain() { dtors->fetch_add(1); }
    int payload = 7;
    std::atomic<int>* dtors;
};

std::atomic<int> g_deleter_calls(0);

void CountingDeleter(void* p)
{
    g_deleter_calls.fetch_add(1);
    delete static_cast<Plain*>(p);
}

template <typename Ptr>
void ChurnCopies(const Ptr& shared, StartLine* start, int rounds, std::atomic<int>* bad_reads)
{
    Ptr mine(shared);
    start->Wait();
    for (int i = 0; i < rounds; ++i) {
        Ptr a(mine);
        Ptr b;
        b = a;
        if (b->payload != 7)
            bad_reads->fetch_add(1);
    }
}

const int kThreads = 6;
const int kRounds = 2000;

// ChurnCopies of `shared` on kThreads threads at once; the reads that saw a
// wrong payload.
template <typename Ptr>
int ChurnOnThreads(const Ptr& shared)
{
    std::atomic<int> bad_reads(0);
    StartLine start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(ChurnCopies<Ptr>, shared, &start, kRounds, &bad_reads);
    for (auto& t : threads)
        t.join();
    return bad_reads.load();
}

TEST(RefCountConcurrencyTest, IntrusiveCopiesChurnedOnManyThreads)
{
    std::atomic<int> dtors(0);
    int bad_reads = -1;
    {
        kivo::IntrusivePtr<Counted> p(new Counted(&dtors));
        bad_reads = ChurnOnThreads(p);
        EXPECT_EQ(1, p.UseCount());
        EXPECT_EQ(0, dtors.load());
    }
    EXPECT_EQ(1, dtors.load());
    EXPECT_EQ(0, bad_reads);
}

TEST(RefCountConcurrencyTest, SharedCopiesChurnedOnManyThreads)
{
    std::atomic<int> dtors(0);
    int bad_reads = -1;
    g_deleter_calls = 0;
    {
        kivo::SharedPtr<Plain> p(new Plain(&dtors), &CountingDeleter);
        bad_reads = ChurnOnThreads(p);
        EXPECT_EQ(1, p.UseCount());
    }
    EXPECT_EQ(1, g_deleter_calls.load());
    EXPECT_EQ(1, dtors.load());
    EXPECT_EQ(0, bad_reads);
}

// The last two references are dropped on two threads at the same moment,
// many times over: exactly one of them may dispose.
template <typename Ptr, typename Make>
int RaceLastTwoReleases(Make make, int rounds)
{
    int wrong = 0;
    for (int i = 0; i < rounds; ++i) {
        std::atomic<int> dtors(0);
        {
            Ptr* first = new Ptr(make(&dtors));
            Ptr* second = new Ptr(*first);
            StartLine start(2);
            std::thread a([&] {
                start.Wait();
                delete first;
            });
            std::thread b([&] {
                start.Wait();
                delete second;
            });
            a.join();
            b.join();
        }
        if (dtors.load() != 1)
            ++wrong;
    }
    return wrong;
}

TEST(RefCountConcurrencyTest, LastTwoReleasesRaceDisposeOnce)
{
    const int rounds = 150;
    EXPECT_EQ(0, RaceLastTwoReleases<kivo::IntrusivePtr<Counted>>(
                     [](std::atomic<int>* d) { return kivo::IntrusivePtr<Counted>(new Counted(d)); }, rounds));
    EXPECT_EQ(0, RaceLastTwoReleases<kivo::SharedPtr<Plain>>(
                     [](std::atomic<int>* d) { return kivo::SharedPtr<Plain>(new Plain(d)); }, rounds));
}

}  // namespace
