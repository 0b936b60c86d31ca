#pragma once

// A lenient reader for small XML texts (configuration-sized; no namespaces,
// no validation, no DTD) into a flat array of nodes that refer into the
// source text, and a dump of those nodes as an indented outline.
//
// Node kinds (name / value / owner):
//   element    tag name / its first character data or empty / empty
//   attribute  attribute name / attribute value / the element's name
//   text       "text" at top level, else the enclosing element's name /
//              the character data / empty
//   end marker "</>" / empty / empty
// Attribute nodes come before their element node. Every attribute, element
// and in-element text node is balanced by one end marker later in the array,
// so the outline can be rebuilt from the order of the nodes.
//
// Character data has "&quot;", "&apos;", "&lt;", "&gt;" and "&amp;" replaced
// (in that order; no other entity is known); such data lives in a new shared
// buffer, all other views borrow the source text, which must outlive the
// parser unless it is a view on a shared buffer (the parser then holds a
// reference on it until the next parse). A malformed document (a mismatched or stray end tag, an element
// left open, a tag without its '>', nesting deeper than kMaxDepth) is not an
// error: it becomes one "text" node holding the whole input and an end
// marker.

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "kivo/common/number.h"
#include "kivo/common/string_view.h"

namespace kivo {

struct DocXmlNode {
    StringView _name;
    StringView _val;
    StringView _owner;

    bool IsEnd() const { return _name == "</>"; }
    bool IsAttr() const { return _owner.Size() != 0; }
    // The owner for an attribute, else the name.
    const StringView& Name() const { return IsAttr() ? _owner : _name; }
    const StringView& Value() const { return _val; }
};

class DocXmlParse {
public:
    // Elements nested deeper than this make the document malformed; the
    // reader recurses per level and must not run out of stack.
    static const uint32_t kMaxDepth = 256;

    DocXmlParse();
    DocXmlParse(const StringView& text, size_t reserve);

    // Empties the nodes (reserving room for `reserve`), rewinds the cursor
    // and reads text. Always true: malformed text degrades as described above.
    bool Parse(const StringView& text, size_t reserve);

    // The node at the cursor, advancing it; null after the last node.
    const DocXmlNode* Next();
    void SkipAll();

    // The outline: per node "<name>" lines indented by two spaces per level,
    // values on their own lines, attributes as "<owner> attr: name=\"value\"",
    // end markers as "</>". Returns whether the writer took everything.
    bool Dump(io_base::WriteProc writer, void* context) const;

private:
    struct _Tag;

    bool _ParseDocument();
    bool _ParseTag(const _Tag& start, uint32_t depth);
    // A tag among an element's content, or at the top (depth: that of an
    // element it starts): an element is read whole, an empty tag or a
    // processing instruction added, a comment passed over. False for any
    // other tag, and for a malformed element.
    bool _AddChild(const _Tag& tag, uint32_t depth);
    // The character data up to the next tag, and the tag.
    void _NextTag(_Tag* tag);
    // "<!...>", "<-...--->" and "<>" (first: just after the '<') are
    // passed over as comments; false for any other tag.
    bool _SkipComment(size_t first, _Tag* tag);
    // The name and attributes of a tag from its content between the
    // markers; a start tag or processing instruction without one becomes
    // a comment.
    static void _ReadName(const StringView& content, _Tag* tag);
    void _AddEmpty(const _Tag& tag);
    size_t _AddAttributes(const _Tag& tag);
    void _AddNode(const StringView& name, const StringView& val, const StringView& owner);
    void _AddEnds(size_t count);

    static void _OnAttr(void* context, const char* key, size_t key_length, const char* value, size_t value_length,
                        int32_t kind);

    StringView _text;  // the text last parsed (one reference when it is shared)
    uint32_t _pos;     // reading position in _text
    uint32_t _cursor;
    std::vector<DocXmlNode> _nodes;
};

}  // namespace kivo
