#pragma once

// Direct hardware access of the updater on the QLX A9 board: GPIO pins through
// the kernel's sysfs GPIO interface and physical memory through "/dev/mem".
//
// Every failure is printed on standard output and reported by the result
// (0 or false). Nothing here locks: the program maps and releases memory only
// during static initialisation and at the end of the application thread, and
// drives GPIO only from the application thread.

#include <stdint.h>

#include <map>

// An address: physical on input to the mapping functions, virtual (in this
// process) on output. Pointer-sized, so a virtual address is never truncated
// on a 64-bit host; on the device it is 32 bits wide.
typedef uintptr_t hw_vaddr_t;

// One mapping of physical memory into the process.
struct hw_vir_record {
  hw_vaddr_t phy_start;  // physical start, a multiple of 4096
  uint32_t size;         // bytes, a multiple of 4096
  hw_vaddr_t vir_start;  // where the range is mapped
};

// Mappings by physical start.
typedef std::map<hw_vaddr_t, hw_vir_record> hw_vir_registry;

// Sets the directory under which the device paths ("/dev/mem",
// "/sys/class/gpio/...") are opened: with root "/r" the port opens "/r/dev/mem"
// and "/r/sys/class/gpio/export". Null or "" selects the device's own paths
// (the default). Call it at start-up, before the first mapping or GPIO call;
// the texts of the printed messages do not change with the root.
void hw_port_set_root(const char* root);

// Maps size bytes of physical memory from real_addr (both multiples of 4096;
// anything else is a broken contract and asserts). A range already mapped at
// the same start is not mapped again: its virtual address is returned. Returns
// the virtual address, 0 on failure.
hw_vaddr_t hw_vir_map(hw_vaddr_t real_addr, uint32_t size);

// Releases the whole mapping that covers the physical address (which may lie
// anywhere inside it). False when no mapping covers it.
bool hw_vir_unmap(hw_vaddr_t real_addr);

// Virtual address of a mapped physical address; 0 when it is not mapped.
hw_vaddr_t hw_phy_to_vir(hw_vaddr_t real_addr);

// Virtual address of the physical range [real_addr, real_addr + length), which
// must lie inside one mapping; 0 otherwise.
hw_vaddr_t hw_phy_range_to_vir(hw_vaddr_t real_addr, uint32_t length);

// The record with the greatest physical start not above real_addr, provided
// its range contains [real_addr, real_addr + length); null otherwise. With
// length 0 the address itself must lie inside the range.
const hw_vir_record* hw_vir_find(const hw_vir_registry& registry,
                                 hw_vaddr_t real_addr, uint32_t length);

// Exports the pin (sysfs GPIO pin + 906) and sets its direction. Mode bits 0-3
// equal to 2 select output, anything else input; for an output, bits 4-7 not
// all zero make the initial level 1, else 0. E.g. mode 34: output, high.
void hw_gpio_config(int pin, int mode);

// Drives an output pin to 1 (level not 0) or 0.
void hw_gpio_set(int pin, int level);

// True when the pin's value reads '1'.
bool hw_gpio_get(int pin);
