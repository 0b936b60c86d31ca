#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kivo/base/noncopyable.h"

// Parameterised CRC after Ross Williams' model: width (8..32), polynomial,
// initial value, reflect input, reflect output, final XOR. Every value of a
// model lives in the low `width` bits.
//
// The engine below works bit by bit on a model record; the builders in
// kivo::check put it (or a 256-entry table made from it) behind one
// interface.

// Model record of the engine; `reg` is the running register.
struct kivo_crc_model_t {
    int32_t width;
    uint32_t poly;
    uint32_t init;
    uint8_t refin;
    uint8_t refout;
    uint32_t xorout;
    uint32_t reg;
};

// Record of the table builder: the model, its width mask and the table.
struct kivo_crc_table_model_t {
    kivo_crc_model_t model;
    uint32_t mask;
    uint32_t table[256];
};

// The low `bits` bits of `value` in reverse order; higher bits are kept.
uint32_t kivo_crc_reflect(uint32_t value, int bits);
// All `width` low bits set (0xFFFFFFFF for width 32).
uint32_t kivo_crc_widmask(const kivo_crc_model_t* model);
// Register back to the initial value.
void kivo_crc_init(kivo_crc_model_t* model);
// Feeds one byte, bit by bit.
void kivo_crc_next(kivo_crc_model_t* model, uint8_t byte);
void kivo_crc_block(kivo_crc_model_t* model, const uint8_t* data, size_t len);
// Check value of the bytes fed so far; the register is left as it is.
uint32_t kivo_crc_result(const kivo_crc_model_t* model);
// Entry `index` of the byte-at-a-time table of the model (reflected form
// when the model reflects its input).
uint32_t kivo_crc_table_entry(const kivo_crc_model_t* model, int index);

namespace kivo {
namespace check {

// Type of the polynomial and initial-value parameters.
typedef uint32_t CrcData;

class ICrcBuilder {
public:
    virtual ~ICrcBuilder() {}

    // Sets the model and starts a new check; `width` must be 8..32 (a broken
    // contract otherwise). Parameter bits above `width` are dropped.
    virtual void Init(int width, CrcData poly, CrcData init, bool refin, bool refout,
                      uint32_t xorout) = 0;
    // Starts a new check with the same model.
    virtual void Reset() = 0;
    // Feeds `len` bytes; may be called any number of times before Final.
    virtual void Update(const uint8_t* data, size_t len) = 0;
    // Stores the check value through `out` (when it is not null) and returns
    // it. The register is kept, so Final may be called again.
    virtual uint32_t Final(uint32_t* out) = 0;
};

// Bit-by-bit builder: works for every model.
class CrcBuilder : public ICrcBuilder, public kivo::NonCopyable {
public:
    CrcBuilder(int width, CrcData poly, CrcData init, bool refin, bool refout, uint32_t xorout);
    ~CrcBuilder() override;

    void Init(int width, CrcData poly, CrcData init, bool refin, bool refout,
              uint32_t xorout) override;
    void Reset() override;
    void Update(const uint8_t* data, size_t len) override;
    uint32_t Final(uint32_t* out) override;

private:
    kivo_crc_model_t* m_ctx;
};

// Table-driven builder, one table step per byte. The register starts at
// `init` as given: with `refin` set it runs in reflected form, so it matches
// CrcBuilder only when `init` reflected over `width` bits equals `init`
// (0, all ones and the like). Give it the reflected initial value otherwise.
class CrcBuilderWithTable : public ICrcBuilder, public kivo::NonCopyable {
public:
    CrcBuilderWithTable(int width, CrcData poly, CrcData init, bool refin, bool refout,
                        uint32_t xorout);
    ~CrcBuilderWithTable() override;

    void Init(int width, CrcData poly, CrcData init, bool refin, bool refout,
              uint32_t xorout) override;
    void Reset() override;
    void Update(const uint8_t* data, size_t len) override;
    uint32_t Final(uint32_t* out) override;

private:
    kivo_crc_table_model_t* m_ctx;
};

// Intel HEX record checksum over a text of hexadecimal byte pairs
// (digits and upper-case 'A'..'F'): the two's complement of the byte sum,
// so a record whose bytes, checksum included, sum to 0 gives 0. With an odd
// `len` the lone last character is ignored.
uint8_t HexSum(const char* text, size_t len);

}  // namespace check
}  // namespace kivo
