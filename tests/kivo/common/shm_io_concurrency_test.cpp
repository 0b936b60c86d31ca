#include "kivo/common/shm_io.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"

namespace {

using kivo::SharedPtr;
using kivo::SMemAttribute;
using kivo::SMemQueue;

const SharedPtr<unsigned char> kOwnBuffer;

std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed) & 0xFF);
    return s;
}

// Long but finite waits: a lost wake-up fails the test instead of hanging it.
void SetWaits(SMemQueue& q)
{
    ASSERT_TRUE(q.SetOption("read timeout", "5000"));
    ASSERT_TRUE(q.SetOption("write timeout", "5000"));
}

// Reads until `want` bytes arrived or a read times out with nothing.
std::string Drain(SMemQueue::Slave r, size_t want, size_t chunk, bool slow)
{
    std::string got;
    std::vector<char> buf(chunk);
    while (got.size() < want) {
        ssize_t n = r.Read(buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        got.append(buf.data(), static_cast<size_t>(n));
        if (slow && got.size() % 7 == 0)
            kivo_thread_msleep(1);
    }
    return got;
}

TEST(SMemQueueConcurrencyTest, SlowReaderHoldsBackWriterWithoutLoss)
{
    SMemQueue q(16, kOwnBuffer);
    SetWaits(q);
    SMemQueue::Slave r(q);
    const std::string data = Pattern(3000, 1);
    std::string got;
    std::thread reader([&] { got = Drain(r, data.size(), 5, true); });
    size_t written = 0;
    for (size_t off = 0; off < data.size(); off += 37) {
        size_t n = std::min<size_t>(37, data.size() - off);
        ssize_t w = q.Write(data.data() + off, n, 0);
        ASSERT_EQ(static_cast<ssize_t>(n), w);
        written += static_cast<size_t>(w);
    }
    reader.join();
    EXPECT_EQ(data.size(), written);
    EXPECT_TRUE(got == data) << "received " << got.size() << " bytes";
}

TEST(SMemQueueConcurrencyTest, EveryReaderGetsTheWholeStream)
{
    SMemQueue q(32, kOwnBuffer);
    SetWaits(q);
    const std::string data = Pattern(4000, 7);
    std::vector<SMemQueue::Slave> readers;
    for (int i = 0; i < 3; ++i)
        readers.push_back(SMemQueue::Slave(q));
    std::vector<std::string> got(readers.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < readers.size(); ++i)
        threads.emplace_back([&, i] { got[i] = Drain(readers[i], data.size(), 3 + 4 * i, i == 2); });
    EXPECT_EQ(static_cast<ssize_t>(data.size()), q.Write(data.data(), data.size(), 0));
    for (size_t i = 0; i < threads.size(); ++i)
        threads[i].join();
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(got[i] == data) << "reader " << i << " received " << got[i].size() << " bytes";
}

TEST(SMemQueueConcurrencyTest, SeveralWritersAllGetThrough)
{
    SMemQueue q(8, kOwnBuffer);
    SetWaits(q);
    SMemQueue::Slave r(q);
    const size_t per_writer = 600;
    std::vector<std::thread> writers;
    std::vector<ssize_t> results(3, -1);
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            std::string block(per_writer, static_cast<char>('a' + w));
            results[w] = q.Write(block.data(), block.size(), 0);
        });
    }
    std::string got = Drain(r, 3 * per_writer, 11, false);
    for (size_t w = 0; w < writers.size(); ++w)
        writers[w].join();
    for (size_t w = 0; w < results.size(); ++w)
        EXPECT_EQ(static_cast<ssize_t>(per_writer), results[w]) << w;
    std::map<char, size_t> counts;
    for (char c : got)
        ++counts[c];
    EXPECT_EQ((std::map<char, size_t>{{'a', per_writer}, {'b', per_writer}, {'c', per_writer}}), counts);
}

TEST(SMemQueueConcurrencyTest, BlockingReadReturnsWhatArrives)
{
    SMemQueue q(64, kOwnBuffer);
    ASSERT_TRUE(q.SetOption("blocking", "true"));
    SMemQueue::Slave r(q);
    ssize_t n = -1;
    uint32_t waited = 0;
    std::thread reader([&] {
        char buf[100];
        uint32_t start = kivo_tick_ms();
        n = r.Read(buf, sizeof buf, 0);
        waited = kivo_tick_ms() - start;
    });
    kivo_thread_msleep(40);
    EXPECT_EQ(5, q.Write("hello", 5, 0));
    reader.join();
    EXPECT_EQ(5, n);  // less than asked: it returns once data is there
    EXPECT_GE(waited, 20u);
}

TEST(SMemQueueConcurrencyTest, WaitingWriterResumesWhenReaderMoves)
{
    SMemQueue q(4, kOwnBuffer);
    // A time-out far beyond the bound below: only the reader can end the
    // wait in time, on any machine.
    ASSERT_TRUE(q.SetOption("write timeout", "120000"));
    SMemQueue::Slave r(q);
    ASSERT_EQ(3, q.Write("abc", 3, 0));
    std::thread reader([&] {
        kivo_thread_msleep(40);
        char buf[2];
        r.Read(buf, sizeof buf, 0);
    });
    uint32_t start = kivo_tick_ms();
    EXPECT_EQ(2, q.Write("de", 2, 0));
    uint32_t waited = kivo_tick_ms() - start;
    reader.join();
    EXPECT_GE(waited, 20u);
    EXPECT_LT(waited, 60000u);  // woken by the reader, not by the time-out
    EXPECT_EQ(3, r.GetLength());
}

TEST(SMemQueueConcurrencyTest, ReaderDetachingOnAnotherThreadReleasesWriter)
{
    SMemQueue q(4, kOwnBuffer);
    ASSERT_TRUE(q.SetOption("write timeout", "120000"));
    SMemQueue::Slave fast(q);
    SMemQueue::Slave* slow = new SMemQueue::Slave(q);
    ASSERT_EQ(3, q.Write("abc", 3, 0));
    char buf[4];
    ASSERT_EQ(3, fast.Read(buf, sizeof buf, 0));
    std::thread t([&] {
        kivo_thread_msleep(30);
        delete slow;
    });
    uint32_t start = kivo_tick_ms();
    EXPECT_EQ(3, q.Write("def", 3, 0));
    EXPECT_LT(kivo_tick_ms() - start, 60000u);  // released, not timed out
    t.join();
}

TEST(SMemAttributeConcurrencyTest, ParallelSettersAndReaders)
{
    SMemAttribute a;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([a, t]() mutable {
            for (int i = 0; i < 200; ++i) {
                std::string k = std::to_string(t) + ":" + std::to_string(i);
                a.SetOption(k, k);
                std::string v;
                a.GetOption(k, v);
                a.GetLength();
            }
        });
    }
    for (size_t t = 0; t < threads.size(); ++t)
        threads[t].join();
    EXPECT_EQ(800, a.GetLength());
    std::string v;
    EXPECT_TRUE(a.GetOption("3:199", v));
    EXPECT_EQ("3:199", v);
}

}  // namespace
