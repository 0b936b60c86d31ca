// The pellix driver, compiled as kernel C against the kernel stand-in, driven
// through the file operations it registers, with the simulated CDMA behind
// its register window. Times are the stand-in's virtual microseconds.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cdma_sim.h"
#include "driver/pellix/pellix.h"

namespace {

constexpr phys_addr_t kRegs = 0x40000000;
constexpr dma_addr_t kDevMem = 0x30000000;  // device-side memory
constexpr size_t kDevMemSize = 4 * 4096;
constexpr size_t kPage = 4096;
constexpr u64 kMs = 1000;
constexpr u64 kJiffy = 10 * kMs;  // the stand-in runs at 100 Hz

// Register offsets and bits as the engine's data sheet has them.
constexpr unsigned kCr = 0x00, kCurDesc = 0x08, kTailDesc = 0x10, kSa = 0x18,
                   kDa = 0x20, kBtt = 0x28;
constexpr u32 kReset = 0x04;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Page-aligned user memory, zeroed.
class UserBuf {
 public:
  explicit UserBuf(size_t pages)
      : size_(pages * kPage),
        mem_(static_cast<uint8_t*>(std::aligned_alloc(kPage, size_))) {
    std::memset(mem_.get(), 0, size_);
  }
  uint8_t* at(size_t off) { return mem_.get() + off; }
  size_t size() const { return size_; }

 private:
  size_t size_;
  std::unique_ptr<uint8_t, FreeDeleter> mem_;
};

void Fill(uint8_t* p, size_t n, uint8_t seed) {
  for (size_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
}

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

// Module loaded, no file open yet.
class PellixModule : public ::testing::Test {
 protected:
  void SetUp() override {
    kstub_reset();
    cfg_.delay_us = 20;
    cfg_.reset_us = 2;
    cdma_sim_install(kRegs, &cfg_);
    devmem_.resize(kDevMemSize);
    Fill(devmem_.data(), devmem_.size(), 3);
    kstub_bus_add(kDevMem, devmem_.data(), devmem_.size());
    ASSERT_EQ(0, kstub_module_init());
    fops_ = kstub_chrdev()->fops;
    ASSERT_NE(nullptr, fops_);
    loaded_ = true;
  }

  void TearDown() override {
    if (opened_) {
      EXPECT_EQ(0, fops_->release(&inode_, &file_));
    }
    if (loaded_) kstub_module_exit();
    if (!leak_expected_) {
      EXPECT_EQ(0, kstub_live()) << "resources still held";
    }
    EXPECT_EQ(0, kstub_counts().errors) << kstub_last_error();
    EXPECT_EQ(0, kstub_mmap_readers());
    const struct cdma_sim_stats s = cdma_sim_stats();
    EXPECT_EQ(0u, s.released_busy) << "memory released while the engine ran";
    EXPECT_EQ(0u, s.bus_faults);
    EXPECT_EQ(0u, s.overlapped);
    EXPECT_EQ(0u, s.unready_starts) << "a transfer started before the engine was idle";
    EXPECT_EQ(0u, s.foreign_aborts) << "a file's transfer was reset through another file";
    kstub_reset();
  }

  void Configure() { cdma_sim_configure(&cfg_); }

  cdma_sim_config cfg_{};
  std::vector<uint8_t> devmem_;
  const file_operations* fops_ = nullptr;
  inode inode_{};
  file file_{};
  bool loaded_ = false;
  bool opened_ = false;
  bool leak_expected_ = false;
};

// One file open, its device-side address at kDevMem.
class Pellix : public PellixModule {
 protected:
  void SetUp() override {
    PellixModule::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(0, fops_->open(&inode_, &file_));
    opened_ = true;
    SetTrans(kDevMem, FIXED_NULL);
    held_ = kstub_live();
    cdma_sim_log_clear();
    kstub_log_clear();
  }

  ssize_t Read(void* buf, size_t n, kstub_loff_t pos = 0) {
    return fops_->read(&file_, static_cast<char*>(buf), n, &pos);
  }
  ssize_t Write(const void* buf, size_t n, kstub_loff_t pos = 0) {
    return fops_->write(&file_, static_cast<const char*>(buf), n, &pos);
  }
  ssize_t Transfer(bool to_mem, void* buf, size_t n) {
    return to_mem ? Read(buf, n) : Write(buf, n);
  }
  long Ioctl(unsigned cmd, unsigned long arg = 0) {
    return fops_->unlocked_ioctl(&file_, cmd, arg);
  }
  long Ioctl(unsigned cmd, const void* p) {
    return Ioctl(cmd, reinterpret_cast<unsigned long>(p));
  }
  void SetTrans(uintptr_t addr, int fixed) {
    trans_msg m{addr, fixed};
    ASSERT_EQ(0, Ioctl(PELLIX_SET_TRANS, &m));
  }
  // The wait's ret field; the control code's own result goes to *rc.
  int Wait(int timeout, long* rc) {
    wait_msg w{timeout, 99};
    *rc = Ioctl(PELLIX_SG_WAIT, &w);
    return w.ret;
  }
  int Wait(int timeout) {
    long rc = 0;
    int ret = Wait(timeout, &rc);
    EXPECT_EQ(0, rc);
    return ret;
  }
  u32 Idle() {
    u32 v = 99;
    EXPECT_EQ(0, Ioctl(PELLIX_GET_IDLE, &v));
    return v;
  }

  std::vector<cdma_sim_write> Writes() {
    const cdma_sim_write* l = nullptr;
    size_t n = cdma_sim_log(&l);
    std::vector<cdma_sim_write> v;
    if (l != nullptr) v.assign(l, l + n);
    return v;
  }
  std::vector<u32> WritesTo(unsigned off) {
    std::vector<u32> v;
    for (const cdma_sim_write& w : Writes())
      if (w.offset == off) v.push_back(w.value);
    return v;
  }
  // Index in the write log of the last write of value to off, or -1.
  long LastIndexOf(unsigned off, u32 value) {
    std::vector<cdma_sim_write> w = Writes();
    for (size_t i = w.size(); i-- > 0;)
      if (w[i].offset == off && w[i].value == value) return static_cast<long>(i);
    return -1;
  }
  // The descriptor ring the driver handed to the engine.
  std::vector<const u32*> Ring() {
    std::vector<const u32*> ring;
    std::vector<u32> cur = WritesTo(kCurDesc), tail = WritesTo(kTailDesc);
    if (cur.empty() || tail.empty()) return ring;
    for (u32 d = cur.back();; d += 64) {
      ring.push_back(static_cast<const u32*>(kstub_bus_to_host(d, 64)));
      if (d == tail.back() || ring.size() > 64) break;
    }
    return ring;
  }
  std::string Log() { return kstub_log(); }
  long Pinned() { return kstub_counts().pages; }

  long held_ = 0;  // resources of the open file itself
};

// ---- module and open ------------------------------------------------------

TEST_F(PellixModule, RegistersTheDeviceAndRemovesItAtExit) {
  const struct kstub_chrdev* c = kstub_chrdev();
  EXPECT_TRUE(c->registered);
  EXPECT_STREQ("pel_lix", c->name);
  EXPECT_EQ(0u, c->baseminor);
  EXPECT_EQ(256u, c->count);
  EXPECT_NE(nullptr, c->fops->owner) << "rmmod must wait for open files";
  EXPECT_STREQ("pel_lix", kstub_class_name());
  device* d = kstub_device();
  ASSERT_NE(nullptr, d);
  EXPECT_STREQ("pel_lix", d->kstub_name);
  EXPECT_EQ(c->major << KSTUB_MINORBITS, d->devt);
  EXPECT_STREQ("GPL", kstub_modinfo_license);
  EXPECT_STREQ("Just for QLX_S1", kstub_modinfo_description);
  EXPECT_STREQ("$$$<ver>1.1</ver>$$$", kstub_modinfo_version);

  kstub_module_exit();
  loaded_ = false;
  EXPECT_FALSE(kstub_chrdev()->registered);
  EXPECT_EQ(0, kstub_classes());
  EXPECT_EQ(nullptr, kstub_device());
  // Loading again finds nothing left over.
  ASSERT_EQ(0, kstub_module_init());
  loaded_ = true;
}

TEST_F(PellixModule, InitFailureReturnsItsCodeAndUndoesTheRest) {
  kstub_module_exit();
  loaded_ = false;
  struct Case {
    kstub_op op;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {KSTUB_CHRDEV, -EBUSY, "pel_lix: cannot register the character device: -16\n"},
      {KSTUB_CLASS, -ENOMEM, "pel_lix: cannot create the class: -12\n"},
      {KSTUB_DEVICE, -ENOMEM, "pel_lix: cannot create the device: -12\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message);
    kstub_log_clear();
    kstub_fail(k.op, 0);
    EXPECT_EQ(k.code, kstub_module_init());
    EXPECT_NE(std::string::npos, std::string(kstub_log()).find(k.message)) << kstub_log();
    EXPECT_FALSE(kstub_chrdev()->registered);
    EXPECT_EQ(0, kstub_classes());
    EXPECT_EQ(nullptr, kstub_device());
  }
  ASSERT_EQ(0, kstub_module_init());
  loaded_ = true;
}

TEST_F(PellixModule, OpenMapsTheWindowAndSetsBothMasks) {
  ASSERT_EQ(0, fops_->open(&inode_, &file_));
  opened_ = true;
  EXPECT_NE(nullptr, file_.private_data);
  EXPECT_EQ(kRegs, kstub_last_window());
  EXPECT_EQ(1, kstub_counts().ioremap);
  device* d = kstub_device();
  ASSERT_NE(nullptr, d->dma_mask);
  EXPECT_EQ(0x1FFFFFFFu, *d->dma_mask);
  EXPECT_EQ(0x1FFFFFFFu, d->coherent_dma_mask);

  // A second file has a window of its own; closing gives each back.
  file other{};
  ASSERT_EQ(0, fops_->open(&inode_, &other));
  EXPECT_EQ(2, kstub_counts().ioremap);
  EXPECT_EQ(0, fops_->release(&inode_, &other));
  EXPECT_EQ(1, kstub_counts().ioremap);
}

TEST_F(PellixModule, OpenFailureReturnsItsCodeAndUndoesTheRest) {
  struct Case {
    kstub_op op;
    int code;
  };
  for (const Case& k : {Case{KSTUB_DMA_MASK, -EIO}, Case{KSTUB_KMALLOC, -ENOMEM},
                        Case{KSTUB_IOREMAP, -ENOMEM}}) {
    SCOPED_TRACE(k.op);
    kstub_fail(k.op, 0);
    EXPECT_EQ(k.code, fops_->open(&inode_, &file_));
    EXPECT_EQ(0, kstub_live());
  }
}

// ---- simple mode ------------------------------------------------------------

TEST_F(Pellix, ZeroBytesTouchNeitherPagesNorEngine) {
  UserBuf buf(1);
  for (size_t offset : {size_t{0}, size_t{16}}) {
    SCOPED_TRACE(offset);
    kstub_log_clear();
    EXPECT_EQ(0, Read(buf.at(offset), 0));
    EXPECT_EQ(0, Write(buf.at(offset), 0));
    EXPECT_EQ("first_drv_write param error\nfirst_drv_write param error\n", Log());
  }
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(0, kstub_counts().dirtied);
}

TEST_F(Pellix, WriteWithinAPageIsOneWaitedCopy) {
  UserBuf buf(1);
  Fill(buf.at(40), 100, 50);
  std::vector<uint8_t> before = devmem_;

  EXPECT_EQ(100, Write(buf.at(40), 100, /*pos=*/8));

  // Data arrived at the device-side address plus the file position.
  EXPECT_EQ(0, std::memcmp(buf.at(40), devmem_.data() + 8, 100));
  EXPECT_EQ(0, std::memcmp(before.data(), devmem_.data(), 8));
  EXPECT_EQ(0, std::memcmp(before.data() + 108, devmem_.data() + 108, 100));
  // Reset, then source, destination, length; no key-hole control.
  std::vector<cdma_sim_write> w = Writes();
  ASSERT_EQ(4u, w.size());
  EXPECT_EQ(kCr, w[0].offset);
  EXPECT_EQ(kReset, w[0].value);
  EXPECT_EQ(kSa, w[1].offset);
  EXPECT_EQ(kDa, w[2].offset);
  EXPECT_EQ(kDevMem + 8, w[2].value);
  EXPECT_EQ(kBtt, w[3].offset);
  EXPECT_EQ(100u, w[3].value);
  EXPECT_EQ(1u, cdma_sim_stats().transfers);
  EXPECT_EQ(0, kstub_counts().dirtied) << "the engine only read the page";
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, ReadWithinAPageFillsTheBufferAndDirtiesThePage) {
  UserBuf buf(1);
  EXPECT_EQ(200, Read(buf.at(100), 200));
  EXPECT_EQ(0, std::memcmp(devmem_.data(), buf.at(100), 200));
  EXPECT_TRUE(AllZero(buf.at(0), 100));
  EXPECT_TRUE(AllZero(buf.at(300), kPage - 300));
  EXPECT_EQ(1, kstub_counts().dirtied);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, SimpleCopyWaitCrossesTheJiffiesWrap) {
  cfg_.delay_us = 3 * kJiffy;
  Configure();
  UserBuf buf(1);
  // Two ticks before the counter wraps; the copy ends three ticks later.
  kstub_advance_us((~0ul - 1 - kstub_jiffies()) * kJiffy);
  const unsigned long before = kstub_jiffies();
  ASSERT_EQ(~0ul - 1, before);

  EXPECT_EQ(300, Read(buf.at(0), 300));

  EXPECT_LT(kstub_jiffies(), before) << "the wait did not cross the wrap";
  EXPECT_EQ(0, std::memcmp(devmem_.data(), buf.at(0), 300));
  EXPECT_EQ("", Log());
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, SimpleCopyThatTimesOutIsStoppedBeforeThePageGoesBack) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  Configure();
  UserBuf buf(1);
  u64 t0 = kstub_now_us();

  EXPECT_EQ(-1, Read(buf.at(0), 64));

  u64 spent = kstub_now_us() - t0;
  EXPECT_GE(spent, 5 * kJiffy);
  EXPECT_LT(spent, 10 * kJiffy);
  EXPECT_NE(std::string::npos, Log().find("_single_trans_once timeout\n"));
  EXPECT_GT(LastIndexOf(kCr, kReset), LastIndexOf(kBtt, 64)) << "no reset after the copy";
  EXPECT_EQ(1u, cdma_sim_stats().aborted);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, SimpleCopyOnAHungBusKeepsItsPagePinned) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  cfg_.bus_hang = true;
  Configure();
  UserBuf buf(1);
  EXPECT_EQ(-1, Read(buf.at(0), 64));
  EXPECT_NE(std::string::npos, Log().find("engine does not stop, 1 page stays pinned"));
  EXPECT_EQ(1, Pinned());
  EXPECT_EQ(1, kstub_counts().dma_map);
  leak_expected_ = true;
}

TEST_F(Pellix, EngineThatDoesNotResetStartsNothing) {
  cfg_.reset_stuck = true;
  Configure();
  UserBuf buf(3);
  for (size_t n : {size_t{64}, 3 * kPage}) {
    SCOPED_TRACE(n);
    kstub_log_clear();
    cdma_sim_log_clear();
    u64 t0 = kstub_now_us();
    EXPECT_EQ(-1, Read(buf.at(0), n));
    EXPECT_LE(kstub_now_us() - t0, 3 * kJiffy);
    EXPECT_EQ(std::vector<u32>{kReset}, WritesTo(kCr));
    EXPECT_TRUE(WritesTo(kBtt).empty());
    EXPECT_TRUE(WritesTo(kTailDesc).empty());
    EXPECT_NE(std::string::npos,
              Log().find(n == 64 ? "_single_trans_once timeout\n" : "_sg_trans timeout\n"));
    EXPECT_EQ(held_, kstub_live());
  }
  // Nothing is left outstanding: once the engine recovers, reads work.
  cdma_sim_unhang();
  EXPECT_EQ(64, Read(buf.at(0), 64));
}

TEST_F(Pellix, EngineStillBusyAfterItsResetIsWaitedFor) {
  // The reset bit clears well before the engine is idle again: a transfer
  // started in between would be dropped.
  cfg_.settle_us = 500;
  Configure();
  UserBuf buf(3);
  for (size_t n : {size_t{200}, 2 * kPage + 100}) {
    SCOPED_TRACE(n);
    std::memset(buf.at(0), 0, buf.size());
    ASSERT_EQ(static_cast<ssize_t>(n), Read(buf.at(0), n));
    if (n > kPage) {
      EXPECT_EQ(0, Wait(100));
    }
    EXPECT_EQ(0, std::memcmp(devmem_.data(), buf.at(0), n));
  }
  Fill(buf.at(0), 100, 41);
  EXPECT_EQ(100, Write(buf.at(0), 100));
  EXPECT_EQ(0, std::memcmp(buf.at(0), devmem_.data(), 100));
  EXPECT_EQ(3u, cdma_sim_stats().transfers);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, WriteFromReadOnlyMemoryPinsItForReadingOnly) {
  UserBuf buf(3);
  Fill(buf.at(0), buf.size(), 21);
  kstub_user_readonly(buf.at(0), buf.size());

  // Within a page and over several: the engine only reads the pages.
  EXPECT_EQ(100, Write(buf.at(40), 100));
  EXPECT_EQ(0, std::memcmp(buf.at(40), devmem_.data(), 100));
  EXPECT_EQ(8192, Write(buf.at(16), 8192));
  EXPECT_EQ(0, Wait(1000));
  EXPECT_EQ(0, std::memcmp(buf.at(16), devmem_.data(), 8192));
  EXPECT_EQ("", Log());

  // A read into it cannot pin the pages for writing.
  EXPECT_EQ(-EFAULT, Read(buf.at(0), 100));
  EXPECT_EQ("[pellix_read]get_user_pages fail! pgae_num 1 get_num -14\n", Log());
  EXPECT_EQ(2u, cdma_sim_stats().transfers);
  EXPECT_EQ(0, kstub_counts().dirtied);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, TransfersAboveTheBoundAreRefusedBeforeAnythingIsPinned) {
  // 260 MB: a read-only anonymous mapping that large costs its caller
  // nothing, as it pins only the zero page.
  UserBuf buf(1);
  kstub_user_readonly(buf.at(0), buf.size());
  const struct kstub_counts before = kstub_counts();
  for (size_t n : {size_t{PELLIX_MAX_TRANSFER} + 1, size_t{260} << 20}) {
    for (bool to_mem : {true, false}) {
      SCOPED_TRACE(testing::Message() << n << (to_mem ? " read" : " write"));
      EXPECT_EQ(-EINVAL, Transfer(to_mem, buf.at(0), n));
    }
  }
  EXPECT_EQ(before.pinned_total, kstub_counts().pinned_total);
  EXPECT_EQ(before.allocated_total, kstub_counts().allocated_total);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ("", Log());
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, TransferOfTheBoundRunsAndAsksForNoWarnings) {
  // The largest transfer, unaligned: one descriptor more than its pages.
  // Its allocations are sized from user space; the stand-in counts one
  // that would warn on failure as misuse.
  constexpr dma_addr_t kBig = 0x10000000;
  std::vector<uint8_t> dev(PELLIX_MAX_TRANSFER);
  kstub_bus_add(kBig, dev.data(), dev.size());
  SetTrans(kBig, FIXED_NULL);
  UserBuf buf(PELLIX_MAX_TRANSFER / kPage + 1);
  Fill(buf.at(0), buf.size(), 5);
  kstub_user_readonly(buf.at(0), buf.size());

  EXPECT_EQ(static_cast<ssize_t>(PELLIX_MAX_TRANSFER), Write(buf.at(16), PELLIX_MAX_TRANSFER));
  EXPECT_EQ(static_cast<long>(PELLIX_MAX_TRANSFER / kPage + 1), Pinned());
  EXPECT_EQ(0, Wait(1000));
  EXPECT_EQ(0, std::memcmp(buf.at(16), dev.data(), dev.size()));
  EXPECT_EQ(held_, kstub_live());
}

// ---- scatter-gather ---------------------------------------------------------

TEST_F(Pellix, UnalignedBufferOfTwoPagesTakesThreeDescriptorsInARing) {
  cfg_.delay_us = 5 * kMs;
  Configure();
  UserBuf buf(3);

  EXPECT_EQ(8192, Read(buf.at(16), 8192));

  // Reset, ring mode, first and last descriptor; the tail write is last.
  std::vector<cdma_sim_write> w = Writes();
  ASSERT_EQ(4u, w.size());
  EXPECT_EQ(kReset, w[0].value);
  EXPECT_EQ(kCr, w[1].offset);
  EXPECT_EQ(0x08u, w[1].value);
  EXPECT_EQ(kCurDesc, w[2].offset);
  EXPECT_EQ(kTailDesc, w[3].offset);
  EXPECT_EQ(w[2].value + 128, w[3].value);
  EXPECT_EQ(0u, w[2].value % 64);

  std::vector<const u32*> ring = Ring();
  ASSERT_EQ(3u, ring.size());
  const u32 first = w[2].value;
  const u32 lens[] = {4080, 4096, 16};
  const size_t mem_off[] = {16, 4096, 8192};
  u32 dev = kDevMem;
  for (size_t i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    ASSERT_NE(nullptr, ring[i]);
    EXPECT_EQ(first + 64 * ((i + 1) % 3), ring[i][0]) << "ring not closed";
    EXPECT_EQ(dev, ring[i][2]);
    EXPECT_EQ(buf.at(mem_off[i]), kstub_bus_to_host(ring[i][4], lens[i]));
    EXPECT_EQ(lens[i], ring[i][6]);
    for (int word : {1, 3, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15}) EXPECT_EQ(0u, ring[i][word]);
    dev += lens[i];
  }
  EXPECT_EQ(3, Pinned());

  EXPECT_EQ(0, Wait(1000));
  EXPECT_EQ(0, std::memcmp(devmem_.data(), buf.at(16), 8192));
  EXPECT_TRUE(AllZero(buf.at(0), 16));
  EXPECT_TRUE(AllZero(buf.at(16 + 8192), buf.size() - 16 - 8192));
  EXPECT_EQ(3, kstub_counts().dirtied);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, MultiPageWriteIgnoresTheFilePosition) {
  UserBuf buf(3);
  Fill(buf.at(0), buf.size(), 9);
  EXPECT_EQ(3 * 4096, Write(buf.at(0), buf.size(), /*pos=*/512));
  EXPECT_EQ(0, Wait(1000));
  EXPECT_EQ(0, std::memcmp(buf.at(0), devmem_.data(), buf.size()));
  EXPECT_EQ(0, kstub_counts().dirtied);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, KeyHoleModeLastsOneTransfer) {
  struct Case {
    const char* name;
    bool to_mem;
    size_t pages;
    int fixed;
    u32 control;     // key-hole control written after the reset (0: none)
    bool dev_fixed;  // the device-side address stays put
  };
  const Case cases[] = {
      {"simple read, fixed read", true, 1, FIXED_READ, 0x10, true},
      {"simple write, fixed write", false, 1, FIXED_WRITE, 0x20, true},
      {"ring read, fixed read", true, 3, FIXED_READ, 0x18, true},
      {"ring write, fixed write", false, 3, FIXED_WRITE, 0x28, true},
      // The engine's memory side is fixed; device-side addresses advance.
      {"ring read, fixed write", true, 3, FIXED_WRITE, 0x28, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    for (int round = 0; round < 2; round++) {  // the second runs without key-hole
      SCOPED_TRACE(round);
      UserBuf buf(k.pages);
      Fill(buf.at(0), buf.size(), 77);
      std::vector<uint8_t> user(buf.at(0), buf.at(0) + buf.size());
      Fill(devmem_.data(), devmem_.size(), 3);
      std::vector<uint8_t> dev = devmem_;
      if (round == 0) SetTrans(kDevMem, k.fixed);
      cdma_sim_log_clear();

      ASSERT_EQ(static_cast<ssize_t>(buf.size()), Transfer(k.to_mem, buf.at(0), buf.size()));
      if (k.pages > 1) {
        std::vector<const u32*> ring = Ring();
        ASSERT_EQ(k.pages, ring.size());
        for (size_t i = 0; i < ring.size(); i++) {
          u32 dev_addr = ring[i][k.to_mem ? 2 : 4];
          u32 want = kDevMem + ((round == 0 && k.dev_fixed) ? 0 : i * kPage);
          EXPECT_EQ(want, dev_addr) << "descriptor " << i;
        }
        ASSERT_EQ(0, Wait(1000));
      }
      std::vector<u32> cr = WritesTo(kCr);
      u32 want_cr = round == 0 ? k.control : (k.pages > 1 ? 0x08 : 0);
      ASSERT_FALSE(cr.empty());
      EXPECT_EQ(kReset, cr[0]);
      if (want_cr)
        EXPECT_EQ((std::vector<u32>{kReset, want_cr}), cr);
      else
        EXPECT_EQ(std::vector<u32>{kReset}, cr);

      // What the engine moved, given its 32-bit key-hole data path.
      const bool kh_read = round == 0 && (k.control & 0x10);
      const bool kh_write = round == 0 && (k.control & 0x20);
      const uint8_t* got = k.to_mem ? buf.at(0) : devmem_.data();
      const std::vector<uint8_t>& src = k.to_mem ? dev : user;
      if (kh_write && k.to_mem) {
        // Every chunk lands on the first word of its own chunk.
        for (size_t i = 0; i < k.pages; i++)
          EXPECT_EQ(0, std::memcmp(got + i * kPage, src.data() + i * kPage + kPage - 4, 4));
      } else if (kh_write) {
        EXPECT_EQ(0, std::memcmp(got, src.data() + buf.size() - 4, 4));
        EXPECT_EQ(0, std::memcmp(got + 4, dev.data() + 4, dev.size() - 4)) << "wrote past the word";
      } else {
        for (size_t i = 0; i < buf.size(); i++) {
          size_t from = kh_read ? i % 4 : i;
          if (got[i] != src[from]) {
            ADD_FAILURE() << "byte " << i;
            break;
          }
        }
      }
    }
  }
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, TransferWhileARingIsOutstandingIsRefused) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  Configure();
  UserBuf ring(3), other(3);
  ASSERT_EQ(8192, Read(ring.at(0), 8192));
  const size_t writes = Writes().size();
  const long pinned = Pinned();

  EXPECT_EQ(-EBUSY, Read(other.at(0), 100));
  EXPECT_EQ(-EBUSY, Write(other.at(0), 8192));
  EXPECT_EQ(-EBUSY, Ioctl(PELLIX_SET_BASE, 0x41000000ul));
  EXPECT_EQ(writes, Writes().size()) << "the engine was touched";
  EXPECT_EQ(pinned, Pinned());
  EXPECT_EQ(kRegs, kstub_last_window());

  // Releasing stops the engine first, then the next transfer runs.
  EXPECT_EQ(0, Ioctl(PELLIX_SG_RELEASE));
  EXPECT_EQ(1u, cdma_sim_stats().aborted);
  EXPECT_EQ(held_, kstub_live());
  cfg_.delay_us = 20;
  Configure();
  EXPECT_EQ(100, Read(other.at(0), 100));
}

TEST_F(Pellix, RingOfOneFileIsNotResetThroughAnother) {
  cfg_.delay_us = 50 * kMs;
  Configure();
  file other{};
  ASSERT_EQ(0, fops_->open(&inode_, &other));
  trans_msg m{kDevMem, FIXED_NULL};
  ASSERT_EQ(0, fops_->unlocked_ioctl(&other, PELLIX_SET_TRANS, reinterpret_cast<unsigned long>(&m)));
  UserBuf ring(2), buf(3);
  ASSERT_EQ(8192, Read(ring.at(0), 8192));
  const size_t writes = Writes().size();
  kstub_loff_t pos = 0;

  // The other file finds the engine taken until the ring is released.
  EXPECT_EQ(-EBUSY, fops_->read(&other, reinterpret_cast<char*>(buf.at(0)), 100, &pos));
  EXPECT_EQ(-EBUSY, fops_->write(&other, reinterpret_cast<const char*>(buf.at(0)), 3 * kPage, &pos));
  EXPECT_EQ(0, fops_->unlocked_ioctl(&other, PELLIX_SG_RELEASE, 0)) << "it has nothing to release";
  EXPECT_EQ(writes, Writes().size()) << "the engine was touched";
  EXPECT_EQ(2, Pinned());
  EXPECT_TRUE(cdma_sim_busy());

  EXPECT_EQ(0, Wait(1000));
  EXPECT_EQ(0, std::memcmp(devmem_.data(), ring.at(0), 8192));
  EXPECT_EQ(0u, cdma_sim_stats().aborted);
  // Released: the engine is the other file's to use.
  EXPECT_EQ(100, fops_->read(&other, reinterpret_cast<char*>(buf.at(0)), 100, &pos));
  EXPECT_EQ(0, fops_->release(&inode_, &other));
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, ReleaseOfAFinishedRingLeavesTheEngineAlone) {
  UserBuf buf(2);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  kstub_advance_us(kMs);
  cdma_sim_log_clear();
  EXPECT_EQ(0, Ioctl(PELLIX_SG_RELEASE));
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(0, std::memcmp(devmem_.data(), buf.at(0), 8192));
  EXPECT_EQ(held_, kstub_live());
  // Nothing outstanding: releasing again does nothing.
  EXPECT_EQ(0, Ioctl(PELLIX_SG_RELEASE));
}

TEST_F(Pellix, CloseWithARingOutstandingStopsTheEngineFirst) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  Configure();
  UserBuf buf(3);
  ASSERT_EQ(3 * 4096, Write(buf.at(0), 3 * kPage));
  opened_ = false;
  EXPECT_EQ(0, fops_->release(&inode_, &file_));
  EXPECT_EQ(1u, cdma_sim_stats().aborted);
  EXPECT_EQ(0, kstub_live());
}

TEST_F(Pellix, RingOnAHungBusStaysOutstandingUntilTheEngineStops) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  cfg_.bus_hang = true;
  Configure();
  UserBuf buf(3);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  long rc = 0;
  EXPECT_EQ(-1, Wait(20, &rc));
  EXPECT_EQ(-EIO, rc);
  EXPECT_EQ(-EIO, Ioctl(PELLIX_SG_RELEASE));
  EXPECT_EQ(2, Pinned());
  EXPECT_EQ(-EBUSY, Read(buf.at(0), 100));
  EXPECT_NE(std::string::npos, Log().find("engine does not stop, 2 pages stay pinned"));

  cdma_sim_unhang();
  EXPECT_EQ(0, Ioctl(PELLIX_SG_RELEASE));
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, CloseOnAHungBusLeavesThePagesPinned) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  cfg_.bus_hang = true;
  Configure();
  UserBuf buf(3);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  opened_ = false;
  EXPECT_EQ(0, fops_->release(&inode_, &file_));
  EXPECT_EQ(2, Pinned());
  EXPECT_EQ(0, kstub_counts().ioremap);
  EXPECT_EQ(0, kstub_counts().kmalloc);
  leak_expected_ = true;
}

// ---- failures while setting a transfer up ----------------------------------

TEST_F(Pellix, ShortPinReleasesWhatWasPinned) {
  struct Case {
    bool to_mem;
    long limit;
    size_t offset, count;
    const char* message;
  };
  UserBuf buf(3);
  const Case cases[] = {
      {true, 1, 0, 3 * kPage - 16, "[pellix_read]get_user_pages fail! pgae_num 3 get_num 1\n"},
      {false, 2, 16, 3 * kPage - 16, "[pellix_write]get_user_pages fail! pgae_num 3 get_num 2\n"},
      // Nothing pinned at all: the pinning call reports its error.
      {true, 0, 16, 100, "[pellix_read]get_user_pages fail! pgae_num 1 get_num -14\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message);
    kstub_log_clear();
    kstub_gup_limit(k.limit);
    EXPECT_EQ(-EFAULT, Transfer(k.to_mem, buf.at(k.offset), k.count));
    EXPECT_EQ(k.message, Log());
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(held_, kstub_live());
  }
  kstub_gup_limit(-1);
  EXPECT_EQ(100, Read(buf.at(0), 100));
}

TEST_F(Pellix, BadUserAddressesAreRefused) {
  // In the unmapped hole: nothing can be pinned.
  EXPECT_EQ(-EFAULT, Read(reinterpret_cast<void*>(KSTUB_USER_HOLE / 2), 64));
  // Past the end of the address space: refused before any pinning.
  kstub_log_clear();
  EXPECT_EQ(-EFAULT, Read(reinterpret_cast<void*>(UINTPTR_MAX - 100), 4096));
  EXPECT_EQ("", Log());
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, AllocationFailuresGiveNoMemoryAndLeaveNothingBehind) {
  struct Case {
    const char* name;
    size_t pages;
    kstub_op op;
    int after;
    bool sg_init_message;
  };
  const Case cases[] = {
      {"page array", 1, KSTUB_KVMALLOC, 0, false},
      {"mapping of the page", 1, KSTUB_DMA_MAP, 0, false},
      {"page array of a ring", 3, KSTUB_KVMALLOC, 0, false},
      {"mapping records", 3, KSTUB_KVMALLOC, 1, false},
      {"descriptor block", 3, KSTUB_COHERENT, 0, true},
      {"descriptor pointers", 3, KSTUB_KVMALLOC, 2, true},
      {"mapping of the third page", 3, KSTUB_DMA_MAP, 2, false},
  };
  UserBuf buf(3);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    for (bool to_mem : {true, false}) {
      kstub_log_clear();
      cdma_sim_log_clear();
      kstub_fail(k.op, k.after);
      EXPECT_EQ(-ENOMEM, Transfer(to_mem, buf.at(0), k.pages * kPage));
      EXPECT_EQ(k.sg_init_message, Log().find("_sg_init error\n") != std::string::npos) << Log();
      EXPECT_TRUE(Writes().empty());
      EXPECT_EQ(held_, kstub_live());
      EXPECT_EQ(0, kstub_counts().dirtied);
    }
  }
  // Nothing stays outstanding.
  EXPECT_EQ(3 * 4096, Read(buf.at(0), 3 * kPage));
  EXPECT_EQ(0, Wait(100));
}

// ---- control codes ----------------------------------------------------------

TEST_F(Pellix, SetBaseMovesTheWindowAndKeepsTheOldOneOnFailure) {
  EXPECT_EQ(2u, Idle());
  EXPECT_EQ(0, Ioctl(PELLIX_SET_BASE, 0x41000000ul));
  EXPECT_EQ(0x41000000u, kstub_last_window());
  EXPECT_EQ(1, kstub_counts().ioremap);
  EXPECT_EQ(0u, Idle()) << "still reading the engine";

  EXPECT_EQ(0, Ioctl(PELLIX_SET_BASE, static_cast<unsigned long>(kRegs)));
  kstub_fail(KSTUB_IOREMAP, 0);
  EXPECT_EQ(-ENOMEM, Ioctl(PELLIX_SET_BASE, 0x41000000ul));
  EXPECT_EQ(kRegs, kstub_last_window());
  EXPECT_EQ(2u, Idle());
}

TEST_F(Pellix, GetIdleFollowsTheEngine) {
  // Also with a status register that shows more than the idle bit.
  for (bool extras : {false, true}) {
    SCOPED_TRACE(extras ? "with more status bits" : "idle bit only");
    cfg_.delay_us = 10 * kMs;
    cfg_.status_extras = extras;
    Configure();
    UserBuf buf(2);
    EXPECT_EQ(2u, Idle());
    ASSERT_EQ(8192, Read(buf.at(0), 8192));
    EXPECT_EQ(0u, Idle());
    kstub_advance_us(10 * kMs);
    EXPECT_EQ(2u, Idle());
    EXPECT_EQ(0, Wait(0));
    EXPECT_EQ(2u, Idle());
  }
}

TEST_F(Pellix, RecordsThatCannotBeCopiedGiveBadAddress) {
  const void* bad = reinterpret_cast<const void*>(8);
  EXPECT_EQ(-EFAULT, Ioctl(PELLIX_SET_TRANS, bad));
  EXPECT_EQ(-EFAULT, Ioctl(PELLIX_SG_WAIT, bad));
  EXPECT_EQ(-EFAULT, Ioctl(PELLIX_GET_IDLE, bad));

  // A wait whose answer cannot be written back still releases the ring.
  UserBuf buf(2);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  kstub_fail(KSTUB_COPY_TO_USER, 0);
  wait_msg w{100, 99};
  EXPECT_EQ(-EFAULT, Ioctl(PELLIX_SG_WAIT, &w));
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, UnknownControlCodesAreInvalid) {
  const unsigned codes[] = {
      0x7800,      // number 0
      0x7806,      // one past the last
      0x7901,      // type 'y'
      0xC0047801,  // 'x' 1 with a size and direction encoded
      0,
  };
  for (unsigned code : codes) {
    SCOPED_TRACE(code);
    EXPECT_EQ(-EINVAL, Ioctl(code, 0ul));
  }
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(held_, kstub_live());
}

// ---- waiting ------------------------------------------------------------------

TEST_F(Pellix, WaitEndsWhenTheEngineFinishes) {
  cfg_.delay_us = 30 * kMs;
  Configure();
  UserBuf buf(2);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  u64 t0 = kstub_now_us();
  EXPECT_EQ(0, Wait(1000));
  u64 spent = kstub_now_us() - t0;
  EXPECT_GE(spent, 29 * kMs);
  EXPECT_LT(spent, 30 * kMs + 3 * kJiffy);
  EXPECT_EQ(0, std::memcmp(devmem_.data(), buf.at(0), 8192));
  EXPECT_EQ(0u, cdma_sim_stats().aborted);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, WaitThatTimesOutResetsTheEngineBeforeReleasing) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  Configure();
  UserBuf buf(2);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  const long reads = kstub_counts().mmio_reads;
  u64 t0 = kstub_now_us();
  EXPECT_EQ(-1, Wait(200));
  u64 spent = kstub_now_us() - t0;
  EXPECT_GE(spent, 200 * kMs);
  EXPECT_LT(spent, 200 * kMs + 4 * kJiffy);
  // Past its first ticks the wait sleeps between polls instead of spinning.
  EXPECT_GE(kstub_counts().msleeps, 5);
  EXPECT_LT(kstub_counts().mmio_reads - reads, 30000);  // 200 ms of spinning: 100000
  EXPECT_EQ(1u, cdma_sim_stats().aborted);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, WaitWithoutLimitOutlastsLongTransfers) {
  // Three seconds: also across the wrap of the jiffies counter.
  cfg_.delay_us = 3000 * kMs;
  Configure();
  UserBuf buf(2);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  u64 t0 = kstub_now_us();
  EXPECT_EQ(0, Wait(-1));
  EXPECT_GE(kstub_now_us() - t0, 2999 * kMs);
  EXPECT_EQ(0, std::memcmp(devmem_.data(), buf.at(0), 8192));
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, WaitWithoutLimitEndsForAFatalSignal) {
  cfg_.delay_us = CDMA_SIM_NEVER;
  Configure();
  UserBuf buf(2);
  ASSERT_EQ(8192, Read(buf.at(0), 8192));
  kstub_set_fatal_signal(true);
  u64 t0 = kstub_now_us();
  EXPECT_EQ(-1, Wait(-1));
  EXPECT_LT(kstub_now_us() - t0, 2 * kJiffy);
  EXPECT_EQ(1u, cdma_sim_stats().aborted);
  EXPECT_EQ(held_, kstub_live());
}

TEST_F(Pellix, WaitWithNothingOutstandingReportsTheIdleEngine) {
  EXPECT_EQ(0, Wait(0));
  EXPECT_TRUE(Writes().empty());
}

}  // namespace
