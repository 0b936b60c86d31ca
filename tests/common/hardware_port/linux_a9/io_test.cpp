#include "common/hardware_port/linux_a9/io.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const hw_vaddr_t kMailbox = 0xFFFF0000u;
// Three pages past the mailbox start, so two-page mappings fit too.
const off64_t kMemSize = (off64_t)0xFFFF0000u + 3 * 4096;

// The 64-bit walk: in the 32-bit ARM build the plain one cannot stat the
// sparse 4 GiB "/dev/mem" (EOVERFLOW) and would leave the tree behind.
int RemoveEntry(const char* path, const struct stat64*, int, struct FTW*) {
  return remove(path);
}

std::string Hex(hw_vaddr_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%lx", (unsigned long)v);
  return buf;
}

// A fresh stand-in device tree per test: a sparse dev/mem and plain sysfs
// files. The port's root points at it before anything is opened, so no test
// ever reaches the real /dev/mem or /sys/class/gpio.
class HwPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "hw_port_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buf.data()));
    root_ = buf.data();
    hw_port_set_root(root_.c_str());

    for (const char* dir : {"/dev", "/sys", "/sys/class", "/sys/class/gpio"})
      ASSERT_EQ(0, mkdir((root_ + dir).c_str(), 0700)) << dir;
    int fd = open64(MemPath().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate64(fd, kMemSize));
    close(fd);
    WriteFile(root_ + "/sys/class/gpio/export", "");
    MakeGpio(913);
  }

  void TearDown() override {
    // Leave nothing mapped for the next test; false for what is gone already.
    for (hw_vaddr_t a : {kMailbox, kMailbox + 4096, kMailbox + 8192}) hw_vir_unmap(a);
    nftw64(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  std::string MemPath() const { return root_ + "/dev/mem"; }
  std::string GpioPath(int n, const char* leaf) const {
    return root_ + "/sys/class/gpio/gpio" + std::to_string(n) + "/" + leaf;
  }

  // Plain files cannot create gpioN on an export write: make it here.
  void MakeGpio(int n) {
    mkdir((root_ + "/sys/class/gpio/gpio" + std::to_string(n)).c_str(), 0700);
    WriteFile(GpioPath(n, "direction"), "");
    WriteFile(GpioPath(n, "value"), "");
  }

  static void WriteFile(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f) << path;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
  }

  static std::string ReadFile(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[64];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
  }

  std::string root_;
};

std::string MapLines(hw_vaddr_t phy, uint32_t size, hw_vaddr_t vir) {
  return "/dev/mem opened. real_addr " + Hex(phy) + " size " + std::to_string(size) +
         "\n/dev/mem mmap finish. " + Hex(vir) + "\n";
}

TEST_F(HwPortTest, MailboxPageMapsOntoDevMemAtItsPhysicalOffset) {
  // Bytes already in "memory" show through the mapping.
  int fd = open64(MemPath().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(3, pwrite64(fd, "abc", 3, (off64_t)kMailbox + 100));

  testing::internal::CaptureStdout();
  hw_vaddr_t vir = hw_vir_map(kMailbox, 4096);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(0u, vir);
  EXPECT_EQ(MapLines(kMailbox, 4096, vir), out);

  volatile uint8_t* page = reinterpret_cast<volatile uint8_t*>(vir);
  EXPECT_EQ('a', page[100]);
  EXPECT_EQ('c', page[102]);

  // Lookups inside the page, and the page's bounds.
  EXPECT_EQ(vir, hw_phy_to_vir(kMailbox));
  EXPECT_EQ(vir + 4095, hw_phy_to_vir(kMailbox + 4095));
  EXPECT_EQ(0u, hw_phy_to_vir(kMailbox + 4096));
  EXPECT_EQ(0u, hw_phy_to_vir(kMailbox - 1));
  EXPECT_EQ(vir, hw_phy_range_to_vir(kMailbox, 4096));
  EXPECT_EQ(vir + 4, hw_phy_range_to_vir(kMailbox + 4, 4092));
  EXPECT_EQ(0u, hw_phy_range_to_vir(kMailbox + 4, 4093));

  // A status word and its text, written as the application writes them.
  const uint32_t status = 0x80A55A01u;
  memcpy(reinterpret_cast<void*>(vir), &status, 4);
  memcpy(reinterpret_cast<void*>(vir + 4), "updating", 9);
  ASSERT_EQ(0, msync(reinterpret_cast<void*>(vir), 4096, MS_SYNC));

  char back[13] = {};
  ASSERT_EQ(13, pread64(fd, back, 13, (off64_t)kMailbox));
  close(fd);
  uint32_t word;
  memcpy(&word, back, 4);
  EXPECT_EQ(status, word);
  EXPECT_STREQ("updating", back + 4);

  testing::internal::CaptureStdout();
  EXPECT_TRUE(hw_vir_unmap(kMailbox));
  EXPECT_EQ("/dev/munmap real_addr 0xffff0000 size 4096\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0u, hw_phy_to_vir(kMailbox));
}

TEST_F(HwPortTest, SameStartIsMappedOnceAndSilentlyReused) {
  testing::internal::CaptureStdout();
  hw_vaddr_t first = hw_vir_map(kMailbox, 8192);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(0u, first);

  testing::internal::CaptureStdout();
  EXPECT_EQ(first, hw_vir_map(kMailbox, 8192));
  EXPECT_EQ(first, hw_vir_map(kMailbox, 4096));  // lies inside the mapping
  EXPECT_EQ("", testing::internal::GetCapturedStdout());

  // A page inside that mapping but with its own start is a mapping of its own.
  testing::internal::CaptureStdout();
  hw_vaddr_t second = hw_vir_map(kMailbox + 4096, 4096);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(0u, second);
  EXPECT_EQ(MapLines(kMailbox + 4096, 4096, second), out);
  // Lookups go to the mapping with the greatest start not above the address.
  EXPECT_EQ(second, hw_phy_to_vir(kMailbox + 4096));
  EXPECT_EQ(first + 4095, hw_phy_to_vir(kMailbox + 4095));
}

TEST_F(HwPortTest, UnmapReleasesTheCoveringMappingOnly) {
  testing::internal::CaptureStdout();
  ASSERT_NE(0u, hw_vir_map(kMailbox, 8192));
  testing::internal::GetCapturedStdout();

  testing::internal::CaptureStdout();
  EXPECT_FALSE(hw_vir_unmap(kMailbox + 8192));  // just past the end
  EXPECT_FALSE(hw_vir_unmap(kMailbox - 1));
  EXPECT_FALSE(hw_vir_unmap(0x1000));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_NE(0u, hw_phy_to_vir(kMailbox));

  testing::internal::CaptureStdout();
  EXPECT_TRUE(hw_vir_unmap(kMailbox + 0x1800));  // inside, not at the start
  EXPECT_EQ("/dev/munmap real_addr 0xffff0000 size 8192\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0u, hw_phy_to_vir(kMailbox));
  EXPECT_EQ(0u, hw_phy_to_vir(kMailbox + 0x1800));

  testing::internal::CaptureStdout();
  EXPECT_FALSE(hw_vir_unmap(kMailbox));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(HwPortTest, UnalignedAddressOrSizeIsABrokenContract) {
  struct Case {
    hw_vaddr_t addr;
    uint32_t size;
    const char* text;
  };
  const Case cases[] = {
      {kMailbox + 16, 4096, "KIVO_ISALIGN\\(real_addr, 4096\\)"},
      {kMailbox + 2048, 4096, "KIVO_ISALIGN\\(real_addr, 4096\\)"},
      {kMailbox, 100, "KIVO_ISALIGN\\(size, 4096\\)"},
      {kMailbox, 4096 + 1, "KIVO_ISALIGN\\(size, 4096\\)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.addr) + " " + std::to_string(c.size));
    EXPECT_DEATH(hw_vir_map(c.addr, c.size),
                 std::string("hw_vaddr_t hw_vir_map\\(hw_vaddr_t, uint32_t\\).*") + c.text);
  }
}

TEST_F(HwPortTest, MissingDevMemPrintsAndGivesZero) {
  ASSERT_EQ(0, unlink(MemPath().c_str()));
  testing::internal::CaptureStdout();
  EXPECT_EQ(0u, hw_vir_map(kMailbox, 4096));
  EXPECT_EQ("Can't open /dev/mem.\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0u, hw_phy_to_vir(kMailbox));
}

// A stand-in dev/mem that ends before the range would be mapped all the
// same, and the first touch of the page would kill the program (SIGBUS):
// refused with one line instead. Only regular files are checked; a real
// /dev/mem is a character device with no size.
TEST_F(HwPortTest, ShortStandInDevMemIsRefusedWithOneLine) {
  struct Case {
    off64_t mem_size;
    uint32_t map_size;
  };
  const Case cases[] = {
      {0, 4096},
      {(off64_t)kMailbox, 4096},             // ends where the page starts
      {(off64_t)kMailbox + 4095, 4096},      // one byte short
      {(off64_t)kMailbox + 4096, 8192},      // holds one page of two
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mem_size) + " " + std::to_string(c.map_size));
    ASSERT_EQ(0, truncate64(MemPath().c_str(), c.mem_size));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, hw_vir_map(kMailbox, c.map_size));
    EXPECT_EQ("Can't map /dev/mem: it holds " + std::to_string(c.mem_size) +
                  " bytes, short of the range 0xffff0000 size " +
                  std::to_string(c.map_size) + ".\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0u, hw_phy_to_vir(kMailbox));
  }
  // Exactly long enough maps, and the page's last byte can be written.
  ASSERT_EQ(0, truncate64(MemPath().c_str(), (off64_t)kMailbox + 4096));
  testing::internal::CaptureStdout();
  hw_vaddr_t vir = hw_vir_map(kMailbox, 4096);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(0u, vir);
  reinterpret_cast<volatile uint8_t*>(vir)[4095] = 7;
}

TEST_F(HwPortTest, UnmappableDevMemPrintsAndGivesZero) {
  // A FIFO opens for reading and writing but cannot be mapped.
  ASSERT_EQ(0, unlink(MemPath().c_str()));
  ASSERT_EQ(0, mkfifo(MemPath().c_str(), 0600));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(0u, hw_vir_map(kMailbox, 4096));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      "/dev/mem opened. real_addr 0xffff0000 size 4096\n"
      "real_addr 0xffff0000 Can't map the memory to user space:\n"
      "perror finish\n",
      testing::internal::GetCapturedStdout());
  EXPECT_EQ(0u, err.rfind("errno: ", 0)) << err;
  EXPECT_EQ(0u, hw_phy_to_vir(kMailbox));
}

TEST(HwVirFind, FindsTheRecordWhoseRangeHoldsTheWholeRequest) {
  hw_vir_registry reg;
  reg[0x1000] = hw_vir_record{0x1000, 0x2000, 0x50000};
  reg[kMailbox] = hw_vir_record{kMailbox, 4096, 0x60000};
  reg[0xFFFFF000u] = hw_vir_record{0xFFFFF000u, 4096, 0x70000};  // ends at 2^32
  struct Case {
    hw_vaddr_t addr;
    uint32_t length;
    hw_vaddr_t want;  // physical start of the record, 0 for none
  };
  const Case cases[] = {
      {0x1000, 0, 0x1000},          {0x1000, 0x2000, 0x1000}, {0x2FFF, 1, 0x1000},
      {0x2FFF, 2, 0},               {0x3000, 0, 0},           {0x0FFF, 0, 0},
      {0x0FFF, 2, 0},               {0x1000, 0x2001, 0},      {kMailbox, 4096, kMailbox},
      {kMailbox + 4095, 1, kMailbox}, {kMailbox + 1, 4096, 0},  {kMailbox - 1, 0, 0},
      {kMailbox + 4096, 0, 0},      {0xFFFFF000u, 4096, 0xFFFFF000u},
      {0xFFFFFFFFu, 1, 0xFFFFF000u}, {0xFFFFFFFFu, 0, 0xFFFFF000u}, {0xFFFFFFFFu, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.addr) + " +" + std::to_string(c.length));
    const hw_vir_record* rec = hw_vir_find(reg, c.addr, c.length);
    if (c.want == 0) {
      EXPECT_EQ(nullptr, rec);
    } else {
      ASSERT_NE(nullptr, rec);
      EXPECT_EQ(c.want, rec->phy_start);
    }
  }
  EXPECT_EQ(nullptr, hw_vir_find(hw_vir_registry(), 0x1000, 0));
}

TEST_F(HwPortTest, GpioConfigExportsAndSetsDirectionAndLevel) {
  using std::string;
  struct Case {
    int pin, mode;
    string exported, direction, value;
  };
  const Case cases[] = {
      {7, 34, string("913\0", 4), string("out\0", 4), string("1\0", 2)},
      {7, 0x12, string("913\0", 4), string("out\0", 4), string("1\0", 2)},
      {7, 2, string("913\0", 4), string("out\0", 4), string("0\0", 2)},
      {7, 0x21, string("913\0", 4), string("in\0", 3), ""},  // low bits 1: input
      {7, 0, string("913\0", 4), string("in\0", 3), ""},
      {0, 34, string("906\0", 4), string("out\0", 4), string("1\0", 2)},
      // Wider numbers keep every digit.
      {9094, 34, string("10000\0", 6), string("out\0", 4), string("1\0", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pin) + " mode " + std::to_string(c.mode));
    const int n = c.pin + 906;
    WriteFile(root_ + "/sys/class/gpio/export", "");
    MakeGpio(n);
    testing::internal::CaptureStdout();
    hw_gpio_config(c.pin, c.mode);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(c.exported, ReadFile(root_ + "/sys/class/gpio/export"));
    EXPECT_EQ(c.direction, ReadFile(GpioPath(n, "direction")));
    EXPECT_EQ(c.value, ReadFile(GpioPath(n, "value")));
  }
}

TEST_F(HwPortTest, GpioSetWritesTheLevelAndGetReadsIt) {
  const std::string value = GpioPath(913, "value");
  EXPECT_FALSE(hw_gpio_get(7));  // empty file: no '1' to read

  hw_gpio_set(7, 5);
  EXPECT_EQ(std::string("1\0", 2), ReadFile(value));
  EXPECT_TRUE(hw_gpio_get(7));

  hw_gpio_set(7, 0);
  EXPECT_EQ(std::string("0\0", 2), ReadFile(value));
  EXPECT_FALSE(hw_gpio_get(7));

  WriteFile(value, "1\n");  // as the kernel reports a high pin
  EXPECT_TRUE(hw_gpio_get(7));
}

TEST_F(HwPortTest, MissingGpioFilesArePrintedAndStopTheCall) {
  const std::string value = GpioPath(913, "value");
  const std::string direction = GpioPath(913, "direction");

  // No value file: set and get report it with the path opened.
  ASSERT_EQ(0, unlink(value.c_str()));
  testing::internal::CaptureStdout();
  hw_gpio_set(7, 1);
  EXPECT_FALSE(hw_gpio_get(7));
  EXPECT_EQ("Cannot open GPIO value: " + value + "\nCannot open GPIO value: " + value + "\n",
            testing::internal::GetCapturedStdout());

  // No direction file: exported, then stopped before the value.
  ASSERT_EQ(0, unlink(direction.c_str()));
  testing::internal::CaptureStdout();
  hw_gpio_config(7, 34);
  EXPECT_EQ("Cannot open GPIO direction it: " + direction + "\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ(std::string("913\0", 4), ReadFile(root_ + "/sys/class/gpio/export"));
  EXPECT_EQ("<missing>", ReadFile(value));

  // No export file: nothing else is touched.
  MakeGpio(913);
  ASSERT_EQ(0, unlink((root_ + "/sys/class/gpio/export").c_str()));
  testing::internal::CaptureStdout();
  hw_gpio_config(7, 34);
  EXPECT_EQ("Cannot open GPIO to export it\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", ReadFile(direction));
  EXPECT_EQ("", ReadFile(value));
}

}  // namespace
