#include "kivo/common/variant.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/kivo/common/start_line.h"

namespace {

using kivo::Var;

const int kThreads = 6;
const int kRounds = 200;

// Every thread works on its own copies of one shared vector and dictionary:
// changes copy the shared holder first, so the original and the other
// threads' copies never change underneath.
TEST(VarConcurrencyTest, CopiesChangedOnManyThreadsStayIsolated)
{
    const Var original("[1, [2, 3], {'k': 'v'}, 'text']", true);
    const std::string original_text = original.ToString();
    StartLine start(kThreads);
    std::atomic<int> bad(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&original, &original_text, &start, &bad, t] {
            Var mine(original);
            start.Wait();
            for (int i = 0; i < kRounds; ++i) {
                Var a(mine);
                Var b(a);
                a.Set(0, Var(t));
                a.Child(1).Append(Var(i));
                a.Child(2).Child("k") = Var(t * 1000 + i);
                Var text(a[3]);
                text._Add(int32_t(t));
                if (a[0].ToInt32() != t || a[1].Size() != 3 || a[2]["k"].ToInt32() != t * 1000 + i)
                    bad.fetch_add(1);
                if (b.ToString() != original_text || mine.ToString() != original_text)
                    bad.fetch_add(1);
                if (text.ToString() != "text" + std::to_string(t) || a[3].ToString() != "text")
                    bad.fetch_add(1);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(original_text, original.ToString());
}

// The owner changes its value while other threads read copies of it: the
// owner's change must not be seen by, nor race with, the readers.
TEST(VarConcurrencyTest, OwnerChangesWhileOthersRead)
{
    Var owner("{'list': [1, 2, 3], 'name': 'n'}", true);
    std::vector<Var> snapshots(kThreads, owner);
    StartLine start(kThreads + 1);
    std::atomic<int> bad(0);
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; ++t) {
        readers.emplace_back([&snapshots, &start, &bad, t] {
            Var mine;
            mine.Swap(snapshots[t]);
            start.Wait();
            for (int i = 0; i < kRounds; ++i) {
                Var list;
                if (!mine.Get("list", list) || list.Size() != 3 || list[2].ToInt32() != 3)
                    bad.fetch_add(1);
                if (mine.ToString() != "{'list':[1,2,3],'name':'n'}")
                    bad.fetch_add(1);
            }
            // Dropping the last copies on this thread frees shared holders
            // the owner may have let go of already.
        });
    }
    start.Wait();
    for (int i = 0; i < kRounds; ++i) {
        owner.Child("list").Set(2, Var(i));
        owner.Child("name")._Add("x");
    }
    for (std::thread& th : readers)
        th.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(kRounds - 1, owner["list"][2].ToInt32());
    EXPECT_EQ(static_cast<size_t>(1 + kRounds), owner["name"].ToString().size());
}

// Copies handed from thread to thread and released there: every holder is
// freed exactly once (the sanitizers see a double free or a leak).
TEST(VarConcurrencyTest, CopiesReleasedOnOtherThreads)
{
    std::vector<Var> values;
    for (int i = 0; i < kThreads; ++i)
        values.push_back(Var("[" + std::to_string(i) + ", {'a': [1]}]", true));
    StartLine start(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> bad(0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&values, &start, &bad, t] {
            start.Wait();
            for (int i = 0; i < kRounds; ++i) {
                // Copies of every value, also those other threads copy.
                std::vector<Var> copies(values.begin(), values.end());
                copies[t].Child(1).Child("a").Append(Var(i));
                if (copies[t][1]["a"].Size() != 2)
                    bad.fetch_add(1);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, bad.load());
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ("[" + std::to_string(i) + ",{'a':[1]}]", values[i].ToString());
}

// A holder that finds itself the last one changes the shared container in
// place: it must see everything the other holders did before they let go,
// with nothing but their release of the holder in between.
TEST(VarConcurrencyTest, LastHolderChangesInPlaceAfterOthersLetGo)
{
    for (int round = 0; round < 20; ++round) {
        Var owner("[1, 2, 3]", true);
        std::atomic<bool> released(false);
        std::atomic<int> sum(0);
        std::thread reader([copy = Var(owner), &released, &sum]() mutable {
            int s = 0;
            for (size_t i = 0; i < copy.Size(); ++i)
                s += copy[static_cast<int32_t>(i)].ToInt32();
            sum.store(s, std::memory_order_relaxed);
            Var().Swap(copy);  // lets go of the holder
            // Relaxed on purpose: only the reference count orders the two
            // threads.
            released.store(true, std::memory_order_relaxed);
        });
        while (!released.load(std::memory_order_relaxed))
            std::this_thread::yield();
        const void* shared = owner._Payload();
        owner.Set(0, Var(10));
        EXPECT_EQ(shared, owner._Payload());  // no copy: it was the last holder
        reader.join();
        EXPECT_EQ(6, sum.load());
        EXPECT_EQ("[10,2,3]", owner.ToString());
    }
}

}  // namespace
