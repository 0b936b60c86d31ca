#pragma once

#include <stdint.h>

#include <string>

#include "kivo/service/elem.h"

namespace kivo_test {

// An element holding one Var, shown as the Var's text.
class TextElem : public kivo::ElemBase {
public:
    explicit TextElem(const kivo::Var& v) : value(v) {}
    void ValueText(std::string& out) const override { out += value.ToString(); }
    kivo::Var Value() const override { return value; }
    bool SetValue(kivo::Var& v, int32_t*) override
    {
        value = v;
        return true;
    }
    bool SetValueUnchecked(kivo::Var& v, int32_t* err) override { return SetValue(v, err); }

    kivo::Var value;
};

}  // namespace kivo_test
