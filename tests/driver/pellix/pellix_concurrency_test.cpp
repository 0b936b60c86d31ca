// The pellix driver driven by several threads at once: one file shared by
// all of them, or two files, with reads, writes, control codes and closes in
// random order. Whatever the order, every call gives one of its documented
// answers, a read that reports success holds the device's data, no file's
// transfer is reset through another file, and at the end nothing is left
// pinned, mapped or allocated.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cdma_sim.h"
#include "driver/pellix/pellix.h"

namespace {

constexpr phys_addr_t kRegs = 0x40000000;
constexpr dma_addr_t kDevMem = 0x30000000;
constexpr size_t kPage = 4096;
constexpr size_t kRingPages = 3;               // the largest transfer here
constexpr size_t kRegion = kRingPages * kPage;  // device-side memory per file

// Never 0, so a byte the engine did not write shows.
uint8_t Pattern(size_t i) { return static_cast<uint8_t>((i * 13 + i / 251) % 255 + 1); }

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using PageMem = std::unique_ptr<uint8_t, FreeDeleter>;
PageMem AllocPages(size_t n) { return PageMem(static_cast<uint8_t*>(std::aligned_alloc(kPage, n * kPage))); }

// One open file as the threads of a process see it through a descriptor:
// calls hold the gate shared, as a system call holds its file; closing takes
// it alone, so release runs once no call on the file is left, and then the
// slot opens a new file.
struct Slot {
  file f{};
  std::shared_mutex gate;
  dma_addr_t dev = 0;  // this file's device-side memory
};

struct Scenario {
  const char* name;
  int files;
  int threads;
};

class PellixThreads : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    kstub_reset();
    cdma_sim_config cfg{};
    cfg.delay_us = 30;
    cfg.reset_us = 2;
    cfg.settle_us = 5;
    cfg.status_extras = true;
    cdma_sim_install(kRegs, &cfg);
    devmem_.resize(2 * kRegion);
    for (size_t i = 0; i < devmem_.size(); i++) devmem_[i] = Pattern(i % kRegion);
    kstub_bus_add(kDevMem, devmem_.data(), devmem_.size());
    ASSERT_EQ(0, kstub_module_init());
    fops_ = kstub_chrdev()->fops;
    for (int i = 0; i < GetParam().files; i++) {
      slots_.push_back(std::make_unique<Slot>());
      slots_.back()->dev = kDevMem + i * kRegion;
      Open(*slots_.back());
    }
  }

  void TearDown() override { kstub_reset(); }

  void Open(Slot& s) {
    ASSERT_EQ(0, fops_->open(&inode_, &s.f));
    trans_msg m{s.dev, FIXED_NULL};
    ASSERT_EQ(0, fops_->unlocked_ioctl(&s.f, PELLIX_SET_TRANS, reinterpret_cast<unsigned long>(&m)));
  }

  // What one thread saw; the first few wrong answers in words.
  struct Tally {
    long reads_checked = 0, rings = 0, busy = 0, closes = 0;
    std::vector<std::string> wrong;
    void Wrong(const std::string& what) {
      if (wrong.size() < 5) wrong.push_back(what);
    }
  };

  void Hammer(unsigned seed, int iterations, uint8_t* buf, const uint8_t* src, Tally* t);

  std::vector<uint8_t> devmem_;
  const file_operations* fops_ = nullptr;
  inode inode_{};
  std::vector<std::unique_ptr<Slot>> slots_;
};

// buf: this thread's kRingPages + 1 pages to read into. src: kRingPages
// read-only pages holding the device's pattern, the source of every write:
// writes change nothing, so a read, whenever it runs, has one answer, and a
// ring may go on reading src after its call returned.
void PellixThreads::Hammer(unsigned seed, int iterations, uint8_t* buf, const uint8_t* src, Tally* t) {
  std::mt19937 rng(seed);
  auto pick = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };

  for (int it = 0; it < iterations; it++) {
    Slot& s = *slots_[pick(0, slots_.size() - 1)];
    const int op = static_cast<int>(pick(0, 15));
    std::ostringstream what;
    what << "iteration " << it << " op " << op << ": ";

    if (op == 15) {  // close and open again
      std::unique_lock<std::shared_mutex> alone(s.gate);
      int rc = fops_->release(&inode_, &s.f);
      if (rc) t->Wrong(what.str() + "release gave " + std::to_string(rc));
      s.f = file{};
      if (fops_->open(&inode_, &s.f)) {
        t->Wrong(what.str() + "open failed");
        return;
      }
      trans_msg m{s.dev, FIXED_NULL};
      fops_->unlocked_ioctl(&s.f, PELLIX_SET_TRANS, reinterpret_cast<unsigned long>(&m));
      t->closes++;
    } else {
      std::shared_lock<std::shared_mutex> call(s.gate);
      const uint8_t* dev = devmem_.data() + (s.dev - kDevMem);
      if (op < 8) {  // read or write, within a page or over several
        const bool to_mem = op % 2 == 0;
        const bool ring = op >= 4;
        const size_t off = pick(0, 64);
        const size_t n = ring ? pick(kPage + 1, kRingPages * kPage - off) : pick(1, kPage - off);
        // Device-side offset: a ring starts at the file's address, a copy
        // within a page at its file position.
        const size_t at = ring ? 0 : pick(0, kRingPages - 1) * kPage + off;
        kstub_loff_t pos = static_cast<kstub_loff_t>(at);
        ssize_t rc;
        if (to_mem) {
          std::memset(buf + off, 0, n);
          rc = fops_->read(&s.f, reinterpret_cast<char*>(buf + off), n, &pos);
        } else {
          // src + at holds what the device holds at at.
          rc = fops_->write(&s.f, reinterpret_cast<const char*>(src + at), n, &pos);
        }
        if (rc == -EBUSY) {
          t->busy++;
        } else if (rc != static_cast<ssize_t>(n)) {
          t->Wrong(what.str() + (to_mem ? "read" : "write") + " of " + std::to_string(n) + " gave " +
                   std::to_string(rc));
        } else if (ring) {
          t->rings++;
        } else if (to_mem) {
          // A copy within a page is over when the call returns.
          if (std::memcmp(buf + off, dev + at, n))
            t->Wrong(what.str() + "read of " + std::to_string(n) + " returned without the data");
          t->reads_checked++;
        }
      } else if (op < 10) {  // wait for the ring and release it
        wait_msg w{static_cast<int>(pick(0, 3)), 99};
        long rc = fops_->unlocked_ioctl(&s.f, PELLIX_SG_WAIT, reinterpret_cast<unsigned long>(&w));
        if (rc != 0 || (w.ret != 0 && w.ret != -1))
          t->Wrong(what.str() + "wait gave " + std::to_string(rc) + " ret " + std::to_string(w.ret));
      } else if (op < 12) {
        long rc = fops_->unlocked_ioctl(&s.f, PELLIX_SG_RELEASE, 0);
        if (rc) t->Wrong(what.str() + "release gave " + std::to_string(rc));
      } else if (op < 14) {
        u32 idle = 99;
        long rc = fops_->unlocked_ioctl(&s.f, PELLIX_GET_IDLE, reinterpret_cast<unsigned long>(&idle));
        if (rc || (idle != 0 && idle != 2))
          t->Wrong(what.str() + "idle gave " + std::to_string(rc) + " value " + std::to_string(idle));
      } else {
        trans_msg m{s.dev, FIXED_NULL};
        long rc = fops_->unlocked_ioctl(&s.f, PELLIX_SET_TRANS, reinterpret_cast<unsigned long>(&m));
        if (rc) t->Wrong(what.str() + "set gave " + std::to_string(rc));
      }
    }
    if (kstub_mutexes_held()) {
      t->Wrong(what.str() + "returned with a lock held");
      return;
    }
  }
}

TEST_P(PellixThreads, EveryCallAnswersAndNothingIsLeftBehind) {
  const Scenario& sc = GetParam();
  const int iterations = 1500;
  std::vector<Tally> tallies(sc.threads);
  // Outlive the threads: a ring left outstanding is released at the end.
  std::vector<PageMem> bufs;
  PageMem src = AllocPages(kRingPages);
  for (size_t i = 0; i < kRegion; i++) src.get()[i] = Pattern(i);
  kstub_user_readonly(src.get(), kRegion);
  std::vector<std::thread> threads;
  for (int i = 0; i < sc.threads; i++) {
    bufs.push_back(AllocPages(kRingPages + 1));
    uint8_t* buf = bufs.back().get();
    Tally* tally = &tallies[i];
    threads.emplace_back([this, i, buf, &src, tally, iterations] {
      Hammer(1000u + i, iterations, buf, src.get(), tally);
    });
  }
  for (std::thread& th : threads) th.join();

  Tally all;
  for (int i = 0; i < sc.threads; i++) {
    for (const std::string& w : tallies[i].wrong) ADD_FAILURE() << "thread " << i << ", " << w;
    all.reads_checked += tallies[i].reads_checked;
    all.rings += tallies[i].rings;
    all.busy += tallies[i].busy;
    all.closes += tallies[i].closes;
  }
  // The mix did what it is for: rings were started, refused and closed over.
  EXPECT_GT(all.reads_checked, 0);
  EXPECT_GT(all.rings, 0);
  EXPECT_GT(all.busy, 0);
  EXPECT_GT(all.closes, 0);

  for (auto& s : slots_) EXPECT_EQ(0, fops_->release(&inode_, &s->f));
  kstub_module_exit();
  const struct kstub_counts c = kstub_counts();
  EXPECT_EQ(0, c.pages) << "pages still pinned";
  EXPECT_EQ(0, c.dma_map) << "pages still mapped";
  EXPECT_EQ(0, c.coherent) << "descriptor blocks still allocated";
  EXPECT_EQ(0, c.kmalloc + c.vmalloc + c.kvmalloc) << "allocations still held";
  EXPECT_EQ(0, c.ioremap) << "register windows still mapped";
  EXPECT_EQ(0, c.errors) << kstub_last_error();
  const struct cdma_sim_stats st = cdma_sim_stats();
  EXPECT_EQ(0u, st.released_busy) << "memory given back while the engine ran";
  EXPECT_EQ(0u, st.bus_faults);
  EXPECT_EQ(0u, st.overlapped) << "a transfer started over a running one";
  EXPECT_EQ(0u, st.unready_starts);
  EXPECT_EQ(0u, st.foreign_aborts) << "a file's transfer was reset through another file";
}

INSTANTIATE_TEST_SUITE_P(Files, PellixThreads,
                         ::testing::Values(Scenario{"OneFile", 1, 4}, Scenario{"TwoFiles", 2, 4}),
                         [](const ::testing::TestParamInfo<Scenario>& i) { return i.param.name; });

}  // namespace
