#include "kivo/utils/check.h"

#include <assert.h>

#include <new>

uint32_t kivo_crc_reflect(uint32_t value, int bits)
{
    uint32_t out = value;
    for (int i = 0; i < bits; ++i) {
        const uint32_t from = 1u << i;
        const uint32_t to = 1u << (bits - 1 - i);
        if (value & from)
            out |= to;
        else
            out &= ~to;
    }
    return out;
}

uint32_t kivo_crc_widmask(const kivo_crc_model_t* model)
{
    // Built from the top bit down so that width 32 never shifts by 32.
    return ((1u << (model->width - 1)) - 1u) * 2u + 1u;
}

void kivo_crc_init(kivo_crc_model_t* model)
{
    model->reg = model->init;
}

void kivo_crc_next(kivo_crc_model_t* model, uint8_t byte)
{
    const uint32_t top = 1u << (model->width - 1);
    const uint32_t mask = kivo_crc_widmask(model);
    uint32_t in = byte;
    if (model->refin)
        in = kivo_crc_reflect(in, 8);
    uint32_t reg = model->reg ^ (in << (model->width - 8));
    for (int i = 0; i < 8; ++i) {
        if (reg & top)
            reg = (reg << 1) ^ model->poly;
        else
            reg <<= 1;
        reg &= mask;
    }
    model->reg = reg;
}

void kivo_crc_block(kivo_crc_model_t* model, const uint8_t* data, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        kivo_crc_next(model, data[i]);
}

uint32_t kivo_crc_result(const kivo_crc_model_t* model)
{
    const uint32_t reg =
        model->refout ? kivo_crc_reflect(model->reg, model->width) : model->reg;
    return model->xorout ^ reg;
}

uint32_t kivo_crc_table_entry(const kivo_crc_model_t* model, int index)
{
    const uint32_t top = 1u << (model->width - 1);
    uint32_t in = static_cast<uint32_t>(index) & 0xFFu;
    if (model->refin)
        in = kivo_crc_reflect(in, 8);
    // Bits above the width may pile up here; they never reach the lower
    // bits and are cut off at the end.
    uint32_t r = in << (model->width - 8);
    for (int i = 0; i < 8; ++i) {
        if (r & top)
            r = (r << 1) ^ model->poly;
        else
            r <<= 1;
    }
    if (model->refin)
        r = kivo_crc_reflect(r, model->width);
    return r & kivo_crc_widmask(model);
}

namespace {

void SetModel(kivo_crc_model_t* model, int width, uint32_t poly, uint32_t init, bool refin,
              bool refout, uint32_t xorout)
{
    assert(width >= 8 && width <= 32);
    model->width = width;
    // Keep every parameter inside the width: stray high bits of an initial
    // value or final XOR would otherwise show up in the check value.
    const uint32_t mask = kivo_crc_widmask(model);
    model->poly = poly & mask;
    model->init = init & mask;
    model->refin = refin ? 1 : 0;
    model->refout = refout ? 1 : 0;
    model->xorout = xorout & mask;
    kivo_crc_init(model);
}

}  // namespace

namespace kivo {
namespace check {

CrcBuilder::CrcBuilder(int width, CrcData poly, CrcData init, bool refin, bool refout,
                       uint32_t xorout)
    : m_ctx(new (std::nothrow) kivo_crc_model_t())
{
    assert(m_ctx);
    Init(width, poly, init, refin, refout, xorout);
}

CrcBuilder::~CrcBuilder()
{
    delete m_ctx;
}

void CrcBuilder::Init(int width, CrcData poly, CrcData init, bool refin, bool refout,
                      uint32_t xorout)
{
    SetModel(m_ctx, width, poly, init, refin, refout, xorout);
}

void CrcBuilder::Reset()
{
    kivo_crc_init(m_ctx);
}

void CrcBuilder::Update(const uint8_t* data, size_t len)
{
    kivo_crc_block(m_ctx, data, len);
}

uint32_t CrcBuilder::Final(uint32_t* out)
{
    const uint32_t value = kivo_crc_result(m_ctx);
    if (out)
        *out = value;
    return value;
}

CrcBuilderWithTable::CrcBuilderWithTable(int width, CrcData poly, CrcData init, bool refin,
                                         bool refout, uint32_t xorout)
    : m_ctx(new (std::nothrow) kivo_crc_table_model_t())
{
    assert(m_ctx);
    Init(width, poly, init, refin, refout, xorout);
}

CrcBuilderWithTable::~CrcBuilderWithTable()
{
    delete m_ctx;
}

void CrcBuilderWithTable::Init(int width, CrcData poly, CrcData init, bool refin, bool refout,
                               uint32_t xorout)
{
    SetModel(&m_ctx->model, width, poly, init, refin, refout, xorout);
    m_ctx->mask = kivo_crc_widmask(&m_ctx->model);
    for (int i = 0; i < 256; ++i)
        m_ctx->table[i] = kivo_crc_table_entry(&m_ctx->model, i);
}

void CrcBuilderWithTable::Reset()
{
    kivo_crc_init(&m_ctx->model);
}

void CrcBuilderWithTable::Update(const uint8_t* data, size_t len)
{
    kivo_crc_model_t* model = &m_ctx->model;
    const uint32_t* table = m_ctx->table;
    uint32_t reg = model->reg;
    if (model->refin) {
        for (size_t i = 0; i < len; ++i)
            reg = (reg >> 8) ^ table[(reg ^ data[i]) & 0xFFu];
    } else {
        // Bits shifted above the width are dropped once, after the block;
        // they never reach the lower bits on the way.
        const int shift = model->width - 8;
        for (size_t i = 0; i < len; ++i)
            reg = (reg << 8) ^ table[(data[i] ^ (reg >> shift)) & 0xFFu];
    }
    model->reg = reg & m_ctx->mask;
}

uint32_t CrcBuilderWithTable::Final(uint32_t* out)
{
    const kivo_crc_model_t* model = &m_ctx->model;
    const uint32_t reg =
        model->refin == model->refout ? model->reg : kivo_crc_reflect(model->reg, model->width);
    const uint32_t value = model->xorout ^ reg;
    if (out)
        *out = value;
    return value;
}

uint8_t HexSum(const char* text, size_t len)
{
    // Digits below '9' + 1, letters 'A'..'F' as 10..15.
    auto digit = [](char c) -> uint8_t {
        const unsigned char u = static_cast<unsigned char>(c);
        return static_cast<uint8_t>(u < 58 ? u - '0' : u - 55);
    };
    uint8_t sum = 0;
    // Pairs only: a lone last character would need the byte after the text.
    for (size_t i = 0; i + 1 < len; i += 2) {
        const uint8_t byte = static_cast<uint8_t>(digit(text[i]) * 16 + digit(text[i + 1]));
        sum = static_cast<uint8_t>(sum + byte);
    }
    return static_cast<uint8_t>(-sum);
}

}  // namespace check
}  // namespace kivo
