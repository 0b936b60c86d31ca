// Feeds arbitrary bytes to the XML reader, walks every node it built and
// dumps them. Any crash, hang, leak, assertion, out-of-bounds access or
// undefined behaviour is a finding, and so is a node array whose end
// markers do not balance the nodes that owe them.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "kivo/common/number.h"
#include "kivo/common/xml.h"

namespace {

// Touches every byte of a view, so that one reaching outside its buffer
// shows up under the address sanitizer.
size_t Touch(const kivo::StringView& v)
{
    size_t sum = 0;
    for (size_t i = 0; i < v.Size(); ++i)
        sum += static_cast<unsigned char>(v.Data()[i]);
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    kivo::DocXmlParse xml(text, 16);

    size_t sink = 0;
    size_t owing = 0;
    size_t ends = 0;
    while (const kivo::DocXmlNode* n = xml.Next()) {
        sink += Touch(n->_name) + Touch(n->_val) + Touch(n->_owner) + Touch(n->Name());
        if (n->IsEnd())
            ++ends;
        else
            ++owing;
    }
    if (owing != ends)
        abort();

    std::string out;
    xml.Dump(kivo::io_base::StringWriteProc, &out);
    sink += out.size();

    // A second parse on the same object starts afresh.
    xml.Parse(kivo::StringView(text).Sub(size / 2), 0);
    xml.SkipAll();
    if (xml.Next())
        abort();
    return static_cast<int>(sink & 0);
}
