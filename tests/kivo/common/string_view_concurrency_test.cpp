#include "kivo/common/string_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using kivo::ByteArray;
using kivo::StringView;

const int kThreads = 4;
const int kRounds = 2000;

template <typename Body>
void RunThreads(Body body)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(body, t);
    for (auto& th : threads)
        th.join();
}

// Copies of views and arrays that share one buffer are made and dropped on
// several threads; afterwards the owner holds the only reference again.
TEST(StringViewConcurrency, SharedCopiesMadeAndDroppedOnManyThreads)
{
    ByteArray owner("one shared buffer", 17);
    const char* buffer = owner.data();
    std::atomic<int> mismatches{0};
    {
        const StringView view(owner);
        RunThreads([&](int) {
            for (int i = 0; i < kRounds; ++i) {
                ByteArray a(owner);
                StringView v(view);
                StringView from_array(a);
                ByteArray from_view(v);
                std::vector<StringView> held(3, v);
                if (a.data() != buffer || from_view.data() != buffer || from_array.Data() != buffer)
                    ++mismatches;
            }
        });
        EXPECT_EQ(view.ToString(), "one shared buffer");
    }
    EXPECT_EQ(mismatches.load(), 0);
    // Every other holder is gone: the owner is the only one left and may
    // write in place.
    EXPECT_TRUE(owner.MakeUnique());
    EXPECT_EQ(owner.data(), buffer);
}

// Every thread writes to its own copy: the writes copy the shared buffer
// first and never show through to the other holders.
TEST(StringViewConcurrency, WritesToCopiesStayPrivate)
{
    const ByteArray original("base", 4);
    std::atomic<int> wrong{0};

    RunThreads([&](int t) {
        const char mark = static_cast<char>('a' + t);
        for (int i = 0; i < kRounds / 4; ++i) {
            ByteArray mine(original);
            mine.Append(1, mark);
            mine.WritableData()[0] = mark;
            StringView seen(mine);
            mine.Replace(1, 1, 2, mark);
            const std::string expected = std::string(1, mark) + std::string(2, mark) + "se" + mark;
            if (std::string(mine.data(), mine.size()) != expected || seen.Size() != 5 || seen.Data()[0] != mark ||
                std::string(original.data(), original.size()) != "base")
                ++wrong;
        }
    });

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(std::string(original.data(), original.size()), "base");
}

// The last reference may be dropped on any thread; whichever does frees the
// buffer exactly once (the sanitizers see a double free or a leak).
TEST(StringViewConcurrency, LastReferenceDroppedOnAWorker)
{
    for (int round = 0; round < 50; ++round) {
        std::vector<StringView> handed;
        {
            ByteArray temp(std::string(32, 'x').data(), 32);
            for (int t = 0; t < kThreads; ++t)
                handed.push_back(StringView(temp));
        }
        std::atomic<int> go{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                go.fetch_add(1);
                while (go.load() < kThreads)
                    std::this_thread::yield();
                StringView mine;
                mine = handed[t];
                handed[t] = StringView();
                if (mine.Size() != 32 || mine.Data()[31] != 'x')
                    ADD_FAILURE() << "buffer changed under a holder";
            });
        }
        for (auto& th : threads)
            th.join();
    }
}

}  // namespace
