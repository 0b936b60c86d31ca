// Feeds arbitrary bytes to every text reader of the documents and of
// kivo::Var, and writes what they built back as text. Any crash, hang,
// leak, out-of-bounds access or undefined behaviour is a finding, and so is
// a written text that does not read back as itself.
//
// The same bytes also build trees as a program does (lists whose first item
// is a list, empty and blank keys, infinite and NaN numbers, texts with
// both quote characters): written in each style, a tree must read back
// equal, or the writer must refuse it, write nothing, and do so only for a
// tree no text carries.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <typeinfo>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

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

// ---- trees ----------------------------------------------------------------------------

bool IsVector(const kivo::Var& v)
{
    return v.TypeId() == typeid(std::vector<kivo::Var>);
}

bool IsDict(const kivo::Var& v)
{
    return v.TypeId() == typeid(std::map<std::string, kivo::Var>);
}

const std::vector<kivo::Var>& Items(const kivo::Var& v)
{
    return *static_cast<const std::vector<kivo::Var>*>(v._Payload());
}

const std::map<std::string, kivo::Var>& Entries(const kivo::Var& v)
{
    return *static_cast<const std::map<std::string, kivo::Var>*>(v._Payload());
}

// A text for a tree: bytes of the input, often with quotes and blanks. Not
// empty inside a list (the reader drops empty items) and not one that looks
// like a container (the reader of values parses those).
std::string TreeText(FuzzedDataProvider& in, bool in_list)
{
    static const char* const kPieces[] = {"\"'", "'\"", "'", "\"", "'''", " ", "\t", "\\", "#", ",", ":", "x", "1", "-"};
    std::string t;
    const int parts = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < parts; ++i) {
        t += in.ConsumeBool() ? std::string(kPieces[in.ConsumeIntegralInRange<size_t>(0, 13)])
                              : in.ConsumeRandomLengthString(6);
    }
    if (t.empty() && in_list)
        t = "e";
    if (kivo::DocDetectKind(kivo::StringView(t)) != 0)
        t = "t" + t;
    return t;
}

kivo::Var TreeLeaf(FuzzedDataProvider& in, bool in_list)
{
    static const double kDoubles[] = {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                                      1.5, -0.25, 1e300};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return kivo::Var(in.ConsumeIntegral<int32_t>());
    case 1:
        return kivo::Var(kDoubles[in.ConsumeIntegralInRange<size_t>(0, 6)]);
    default:
        return kivo::Var(TreeText(in, in_list));
    }
}

kivo::Var Tree(FuzzedDataProvider& in, int depth)
{
    const int shape = depth >= 4 ? 2 : in.ConsumeIntegralInRange<int>(0, 2);
    if (shape == 2)
        return TreeLeaf(in, true);
    const int n = in.ConsumeIntegralInRange<int>(0, 5);
    if (shape == 0) {
        kivo::Var v("[]", true);
        for (int i = 0; i < n; ++i)
            v.Append(Tree(in, depth + 1));
        return v;
    }
    kivo::Var v("{}", true);
    for (int i = 0; i < n; ++i) {
        const std::string key = in.ConsumeBool() ? in.ConsumeRandomLengthString(4) : TreeText(in, false);
        kivo::Var value = in.ConsumeBool() ? Tree(in, depth + 1) : TreeLeaf(in, false);
        v.Set(key, value);
    }
    return v;
}

bool Blank(const std::string& t)
{
    return t.find_first_not_of(" \t\r\n") == std::string::npos;
}

bool IsIdentifier(const std::string& t)
{
    if (t.empty() || !(isalpha(static_cast<unsigned char>(t[0])) || t[0] == '_'))
        return false;
    for (char c : t) {
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    }
    return true;
}

// Whether no quote form may carry a text: one with an apostrophe and a
// double quote or a backslash (which escapes inside double quotes).
bool MayNotQuote(const std::string& t)
{
    return t.find('\'') != std::string::npos && t.find_first_of("\"\\") != std::string::npos;
}

// Whether a line of the text after the first opens with '['.
bool LineOpensBracket(const std::string& t)
{
    for (size_t i = t.find('\n'); i != std::string::npos; i = t.find('\n', i + 1)) {
        const size_t k = t.find_first_not_of(" \t\r", i + 1);
        if (k != std::string::npos && t[k] == '[')
            return true;
    }
    return false;
}

// Whether the writer may refuse the tree: a blank key, or a key or text
// that no quote form may carry, anywhere; in section style a name that is
// no identifier or a body with a line that opens with '['.
bool MayRefuse(const kivo::Var& v, bool sections)
{
    if (sections) {
        for (const auto& it : Entries(v)) {
            std::string body;
            kivo::DocWriteVar(kivo::io_base::StringWriteProc, &body, it.second, 1);
            if (LineOpensBracket(body))
                return true;
        }
    }
    if (IsVector(v)) {
        for (const kivo::Var& item : Items(v)) {
            if (MayRefuse(item, false))
                return true;
        }
        return false;
    }
    if (IsDict(v)) {
        for (const auto& it : Entries(v)) {
            if (Blank(it.first) || MayNotQuote(it.first) || (sections && !IsIdentifier(it.first)) || MayRefuse(it.second, false))
                return true;
        }
        return false;
    }
    if (v.GetType() < kivo::Var::TYPE_STRING)
        return false;
    return MayNotQuote(v.ToString(0));
}

std::string Trim(const std::string& t)
{
    const size_t a = t.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return std::string();
    return t.substr(a, t.find_last_not_of(" \t\r\n") - a + 1);
}

// Whether b has the shape of a and the same leaves. `exact`: a number stays
// a number and a text a text (an infinite or NaN number may come back as
// the text it is written as), texts whole; otherwise leaves compare by
// their text without blanks at the ends (bare items, line values and
// section bodies are read as texts, bodies with their line breaks).
bool SameTree(const kivo::Var& a, const kivo::Var& b, bool exact)
{
    if (IsVector(a) || IsDict(a)) {
        if (IsVector(a) != IsVector(b) || IsDict(a) != IsDict(b) || a.Size() != b.Size())
            return false;
        if (IsVector(a)) {
            for (size_t i = 0; i < Items(a).size(); ++i) {
                if (!SameTree(Items(a)[i], Items(b)[i], exact))
                    return false;
            }
            return true;
        }
        for (const auto& it : Entries(a)) {
            const auto j = Entries(b).find(it.first);
            if (j == Entries(b).end() || !SameTree(it.second, j->second, exact))
                return false;
        }
        return true;
    }
    if (IsVector(b) || IsDict(b))
        return false;
    const bool na = a.GetType() <= kivo::Var::TYPE_DOUBLE;
    const bool nb = b.GetType() <= kivo::Var::TYPE_DOUBLE;
    if (exact)
        return (na == nb || (a.GetType() == kivo::Var::TYPE_DOUBLE && !std::isfinite(a.ToDouble()))) &&
               a.ToString(0) == b.ToString(0);
    return Trim(a.ToString(0)) == Trim(b.ToString(0));
}

// Section bodies that are texts keep what no body line can carry apart:
// only containers and numbers are checked there.
bool BodiesCarried(const kivo::Var& v)
{
    for (const auto& it : Entries(v)) {
        if (!IsVector(it.second) && !IsDict(it.second) && it.second.GetType() >= kivo::Var::TYPE_STRING)
            return false;
    }
    return true;
}

// Texts hold any byte (NUL too): a finding shows them in hexadecimal.
void PrintBytes(const char* name, const std::string& t)
{
    fprintf(stderr, "%s (%zu bytes):", name, t.size());
    for (unsigned char c : t)
        fprintf(stderr, " %02x", c);
    fprintf(stderr, "\n");
}

void TreeFinding(const char* what, int32_t style, const kivo::Var& v, const std::string& text)
{
    fprintf(stderr, "tree style %d: %s\n", style, what);
    std::string tree;
    kivo::DocWriteVar(kivo::io_base::StringWriteProc, &tree, v, 1);
    PrintBytes("tree in braces", tree);
    PrintBytes("text", text);
    abort();
}

void Trees(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const kivo::Var v = Tree(in, 0);
    if (!IsVector(v) && !IsDict(v))
        return;
    for (int32_t style = 0; style < 3; ++style) {
        if (style == 2 && IsDict(v) && !BodiesCarried(v))
            continue;
        std::string out = "-";
        const bool ok = kivo::DocWriteVar(kivo::io_base::StringWriteProc, &out, v, style);
        if (!ok) {
            if (out != "-")
                TreeFinding("a refused tree wrote text", style, v, out);
            if (!MayRefuse(v, style == 2 && IsDict(v)))
                TreeFinding("a tree that a text carries was refused", style, v, out);
            continue;
        }
        out.erase(0, 1);
        kivo::Var back;
        if (style == 1) {
            back = kivo::Var(out, true);
        } else {
            back = kivo::Var(IsDict(v) ? "{}" : "[]", true);
            back.Assign(kivo::Var(out));
        }
        if (!SameTree(v, back, style == 1))
            TreeFinding("does not read back equal", style, v, out);
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
    Trees(data, size);
    Streams(data, size);
    return 0;
}
