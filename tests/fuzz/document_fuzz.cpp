// Feeds arbitrary bytes to every text reader of the documents and of
// kivo::Var, and writes what they built back as text. Any crash, hang,
// leak, out-of-bounds access or undefined behaviour is a finding.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "kivo/common/document.h"
#include "kivo/common/stream.h"
#include "kivo/common/variant.h"

namespace {

// The callbacks touch every byte they are given, so that a slice reaching
// outside the input shows up under the address sanitizer.
size_t Touch(const char* data, size_t length)
{
    size_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += static_cast<unsigned char>(data[i]);
    return sum;
}

void OnItem(void* context, const char* data, size_t length, int32_t kind)
{
    *static_cast<size_t*>(context) += Touch(data, length) + static_cast<size_t>(kind);
}

void OnPair(void* context, const char* key, size_t key_length, const char* value, size_t value_length, int32_t kind)
{
    *static_cast<size_t*>(context) += Touch(key, key_length) + Touch(value, value_length) + static_cast<size_t>(kind);
}

void Documents(const kivo::StringView& view)
{
    size_t sink = 0;
    kivo::DocDetectKind(view);
    kivo::DocParseList(&OnItem, &sink, view);
    kivo::DocParseDict(&OnPair, &sink, view);
    kivo::DocParseAttributes(&OnPair, &sink, view);

    std::string out;
    kivo::DocList list(view);
    list.Find(view.Sub(0, 4));
    list.ToString(out, 1);
    list.ToString(out, 0);
    kivo::DocDict dict(view);
    for (int32_t style = 0; style < 3; ++style)
        dict.ToString(out, style);
}

void Values(const std::string& text)
{
    const kivo::Var v(text, true);
    const std::string back = v.ToString();
    // The value's own text is read again: the writer's output is input too.
    const kivo::Var again(back, true);
    again.ToString();
    std::string out;
    for (int32_t style = 0; style < 3; ++style)
        kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, v, style);

    kivo::Var vec("[]", true);
    vec.Assign(kivo::Var(text));
    kivo::Var dict("{}", true);
    dict.Assign(kivo::Var(text));
    dict.ToString();

    const kivo::Var t(text);
    int32_t err = 0;
    t.ToInt32(&err);
    t.ToUInt32(&err);
    t.ToInt64(&err);
    t.ToUInt64(&err);
    t.ToDouble(&err);
    t.ToFloat(&err);
    kivo::Var n(1);
    n._Add(kivo::StringView(text));
}

void Streams(const uint8_t* data, size_t size)
{
    std::vector<char> buf(data, data + size);
    buf.push_back(0);  // a buffer of at least one byte
    {
        kivo::StreamBuff s(buf.data(), buf.size(), size, false);
        for (int i = 0; i < 64 && !s.IsFail() && s.GetPos() < static_cast<int64_t>(size); ++i) {
            int32_t a = 0;
            double d = 0;
            unsigned char c = 0;
            std::string str;
            s >> a >> d >> c >> str;
        }
        std::string line;
        bool newline = false;
        kivo::StreamBuff::Context ctx(buf.data(), buf.size(), size);
        for (int i = 0; i < 64 && kivo::DocReadLine(line, &ctx, 16, &newline); ++i) {
        }
    }
    {
        kivo::StreamBuff s(buf.data(), buf.size(), size, true);
        for (int i = 0; i < 64 && !s.IsFail(); ++i) {
            std::string str;
            uint16_t h = 0;
            long double ld = 0;
            s >> str >> h >> ld;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Documents(kivo::StringView(text));
    Values(text);
    Streams(data, size);
    return 0;
}
