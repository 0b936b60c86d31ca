#include "common/hardware_port/linux_a9/io.h"

#include <assert.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#ifndef KIVO_ISALIGN
#define KIVO_ISALIGN(value, align) (((value) & ((align) - 1)) == 0)
#endif

namespace {

// sysfs numbers the board's pins from this base.
const int kGpioBase = 906;

std::string& port_root() {
  static std::string root;
  return root;
}

std::string device_path(const std::string& path) { return port_root() + path; }

// Created on first use, so mappings made during static initialisation find it.
hw_vir_registry& vir_registry() {
  static hw_vir_registry registry;
  return registry;
}

std::string gpio_path(int pin, const char* leaf) {
  return device_path("/sys/class/gpio/gpio" + std::to_string(pin + kGpioBase) + "/" + leaf);
}

}  // namespace

void hw_port_set_root(const char* root) { port_root() = root ? root : ""; }

const hw_vir_record* hw_vir_find(const hw_vir_registry& registry,
                                 hw_vaddr_t real_addr, uint32_t length) {
  hw_vir_registry::const_iterator it = registry.upper_bound(real_addr);
  if (it == registry.begin()) return nullptr;
  --it;
  const hw_vir_record& rec = it->second;
  // Compare offsets, not end addresses: a range at the top of a 32-bit
  // address space ends at 2^32, which wraps to 0.
  hw_vaddr_t offset = real_addr - rec.phy_start;
  if (offset >= rec.size || length > rec.size - offset) return nullptr;
  return &rec;
}

hw_vaddr_t hw_vir_map(hw_vaddr_t real_addr, uint32_t size) {
  assert(KIVO_ISALIGN(real_addr, 4096));
  assert(KIVO_ISALIGN(size, 4096));

  hw_vir_registry& registry = vir_registry();
  const hw_vir_record* known = hw_vir_find(registry, real_addr, size);
  if (known && known->phy_start == real_addr) return known->vir_start;

  // 64-bit offsets: the mailbox page lies above 2 GiB, beyond a 32-bit off_t.
  int fd = open64(device_path("/dev/mem").c_str(), O_RDWR | O_SYNC);
  if (fd < 0) {
    printf("Can't open /dev/mem.\n");
    return 0;
  }
  // A stand-in "/dev/mem" (a regular file in a sandbox) that ends before the
  // range would map all the same, and the first touch of the page would kill
  // the program with SIGBUS. A real /dev/mem is a character device with no
  // size, so only regular files are checked.
  struct stat64 st;
  if (fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      (uint64_t)st.st_size < (uint64_t)real_addr + size) {
    printf("Can't map /dev/mem: it holds %llu bytes, short of the range 0x%lx size %u.\n",
           (unsigned long long)st.st_size, (unsigned long)real_addr, (unsigned)size);
    close(fd);
    return 0;
  }
  printf("/dev/mem opened. real_addr 0x%lx size %d\n", (unsigned long)real_addr, (int)size);
  void* p = mmap64(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                   (off64_t)(uint64_t)real_addr);
  // The mapping keeps its own reference; the descriptor is done with.
  close(fd);
  if (p == MAP_FAILED) {
    printf("real_addr 0x%lx Can't map the memory to user space:\n", (unsigned long)real_addr);
    fflush(stdout);
    perror("errno");
    printf("perror finish\n");
    return 0;
  }
  hw_vaddr_t vir = reinterpret_cast<hw_vaddr_t>(p);
  printf("/dev/mem mmap finish. 0x%lx\n", (unsigned long)vir);
  registry[real_addr] = hw_vir_record{real_addr, size, vir};
  return vir;
}

bool hw_vir_unmap(hw_vaddr_t real_addr) {
  hw_vir_registry& registry = vir_registry();
  const hw_vir_record* rec = hw_vir_find(registry, real_addr, 0);
  if (!rec) return false;
  hw_vir_record found = *rec;
  munmap(reinterpret_cast<void*>(found.vir_start), found.size);
  printf("/dev/munmap real_addr 0x%lx size %d\n", (unsigned long)found.phy_start, (int)found.size);
  registry.erase(found.phy_start);
  return true;
}

hw_vaddr_t hw_phy_to_vir(hw_vaddr_t real_addr) { return hw_phy_range_to_vir(real_addr, 0); }

hw_vaddr_t hw_phy_range_to_vir(hw_vaddr_t real_addr, uint32_t length) {
  const hw_vir_record* rec = hw_vir_find(vir_registry(), real_addr, length);
  if (!rec) return 0;
  return rec->vir_start + (real_addr - rec->phy_start);
}

void hw_gpio_config(int pin, int mode) {
  int fd = open(device_path("/sys/class/gpio/export").c_str(), O_WRONLY);
  if (fd < 0) {
    printf("Cannot open GPIO to export it\n");
    return;
  }
  // The digits and their zero byte ("913\0"). An already exported pin makes
  // the write fail; that is fine, the pin is there.
  std::string number = std::to_string(pin + kGpioBase);
  ssize_t ignored = write(fd, number.c_str(), number.size() + 1);
  (void)ignored;
  close(fd);

  bool output = (mode & 0x0F) == 2;
  std::string path = gpio_path(pin, "direction");
  fd = open(path.c_str(), O_RDWR);
  if (fd < 0) {
    printf("Cannot open GPIO direction it: %s\n", path.c_str());
    return;
  }
  if (output) {
    ignored = write(fd, "out", 4);
  } else {
    ignored = write(fd, "in", 3);
  }
  close(fd);

  if (output) hw_gpio_set(pin, (mode & 0xF0) != 0 ? 1 : 0);
}

void hw_gpio_set(int pin, int level) {
  std::string path = gpio_path(pin, "value");
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) {
    printf("Cannot open GPIO value: %s\n", path.c_str());
    return;
  }
  ssize_t ignored = write(fd, level != 0 ? "1" : "0", 2);
  (void)ignored;
  close(fd);
}

bool hw_gpio_get(int pin) {
  std::string path = gpio_path(pin, "value");
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) {
    printf("Cannot open GPIO value: %s\n", path.c_str());
    return false;
  }
  char buf[2] = {0, 0};
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n > 0 && buf[0] == '1';
}
