// Feeds arbitrary bytes to every text reader of the documents and of
// kivo::Var, and writes what they built back as text. Any crash, hang,
// leak, out-of-bounds access or undefined behaviour is a finding, and so is
// a written text that does not read back as itself.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <map>
#include <string>
#include <typeinfo>
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

// A written text that does not read back as itself is a finding.
void Check(bool same, const char* what, int32_t style, const std::string& once, const std::string& twice)
{
    if (same)
        return;
    fprintf(stderr, "%s style %d: not a fixed point\nonce:  [%s]\ntwice: [%s]\n", what, style, once.c_str(),
            twice.c_str());
    abort();
}

std::string WriteVar(const kivo::Var& v, int32_t style)
{
    std::string out;
    kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, v, style);
    return out;
}

// Whether some quote form of the reader carries the text: it has none for
// a text that holds a double quote and ends with an apostrophe (or holds
// three). Such texts are not checked.
bool Quotable(const kivo::StringView& text)
{
    std::string out;
    kivo::DocWriteString(kivo::io_base::StringWriteProc, &out, text, '\'', 1);
    kivo::DocSlice sl{kivo::StringView(out)};
    kivo::StringView back;
    int32_t kind = 0;
    return sl.ReadItem(kivo::DocSlice::kWord, &back, &kind) && sl.AtEnd() && back == text;
}

bool AllQuotable(const kivo::DocDict& dict)
{
    for (size_t i = 0; i < dict.Size(); ++i) {
        if (!Quotable(dict[i].first) || !Quotable(dict[i].second))
            return false;
    }
    return true;
}

bool AllQuotable(const kivo::Var& v)
{
    if (v.TypeId() == typeid(std::vector<kivo::Var>)) {
        for (const kivo::Var& item : *static_cast<const std::vector<kivo::Var>*>(v._Payload())) {
            if (!AllQuotable(item))
                return false;
        }
        return true;
    }
    if (v.TypeId() == typeid(std::map<std::string, kivo::Var>)) {
        for (const auto& it : *static_cast<const std::map<std::string, kivo::Var>*>(v._Payload())) {
            if (!Quotable(kivo::StringView(it.first)) || !AllQuotable(it.second))
                return false;
        }
        return true;
    }
    // An infinite or NaN number is written as a word that reads back as text.
    if (v.GetType() == kivo::Var::TYPE_DOUBLE)
        return std::isfinite(v.ToDouble());
    const std::string text = v.ToString(0);
    return v.GetType() < kivo::Var::TYPE_STRING || Quotable(kivo::StringView(text));
}

// Whether section style can carry the entries: the reader takes a section
// name only as one identifier or number, and a body line that opens with
// '[' as the next section.
bool SectionsCarry(const kivo::DocDict& dict)
{
    for (size_t i = 0; i < dict.Size(); ++i) {
        kivo::DocSlice key(dict[i].first);
        kivo::StringView name;
        int32_t kind = 0;
        if (!key.ReadItem(kivo::DocSlice::kWord, &name, &kind) || kind < kivo::kDocInteger ||
            name.Size() != dict[i].first.Size())
            return false;
        const kivo::StringView& body = dict[i].second;
        for (size_t k = 0; k < body.Size(); ++k) {
            if (body.Data()[k] != '\n')
                continue;
            size_t j = k + 1;
            while (j < body.Size() && (body.Data()[j] == ' ' || body.Data()[j] == '\t' || body.Data()[j] == '\r'))
                ++j;
            if (j < body.Size() && body.Data()[j] == '[')
                return false;
        }
    }
    return true;
}

// A written text read as its callers read it: braces as Var's own text,
// lines and sections assigned into a dictionary.
kivo::Var ReadVar(const std::string& text, int32_t style)
{
    if (style == 1)
        return kivo::Var(text, true);
    kivo::Var back("{}", true);
    back.Assign(kivo::Var(text));
    return back;
}

// The writers' texts are fixed points: what a written text reads as is
// written again as the same text, in every style.
void FixedPoints(const kivo::StringView& view, const std::string& text)
{
    for (int32_t style = 0; style < 3; ++style) {
        const kivo::DocDict dict(view);
        if (style == 2 ? !SectionsCarry(dict) : !AllQuotable(dict))
            continue;
        std::string once;
        dict.ToString(once, style);
        std::string twice;
        kivo::DocDict(kivo::StringView(once)).ToString(twice, style);
        Check(once == twice, "DocDict", style, once, twice);
    }
    const kivo::DocList list(view);
    bool quotable = true;
    for (size_t i = 0; i < list.Size(); ++i)
        quotable = quotable && Quotable(list[i]);
    if (quotable) {
        std::string once;
        list.ToString(once, 1);
        std::string twice;
        kivo::DocList(kivo::StringView(once)).ToString(twice, 1);
        Check(once == twice, "DocList", 1, once, twice);
    }
    const kivo::Var v(text, true);
    if (!AllQuotable(v))
        return;
    const bool dict = v.TypeId() == typeid(std::map<std::string, kivo::Var>);
    for (int32_t style = 0; style < 3; ++style) {
        if (style != 1 && !dict)
            continue;  // a list without brackets reads back as one text
        // Assigned line and section texts give texts, numbers too: from the
        // value read back once, the text must hold.
        const std::string once = WriteVar(style == 1 ? v : ReadVar(WriteVar(v, style), style), style);
        const std::string twice = WriteVar(ReadVar(once, style), style);
        Check(once == twice, "Var", style, once, twice);
    }
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
    FixedPoints(kivo::StringView(text), text);
    Streams(data, size);
    return 0;
}
