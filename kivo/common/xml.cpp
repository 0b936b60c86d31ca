#include "kivo/common/xml.h"

#include <string.h>

#include <string>

#include "kivo/common/document.h"

namespace kivo {

namespace {

const char kEndName[] = "</>";
const char kTextName[] = "text";

// What _NextTag found after the character data.
enum : int32_t {
    kTagEndOfText,
    kTagEnd,        // </name>
    kTagStart,      // <name ...>
    kTagEmpty,      // <name .../>
    kTagPi,         // <?name ...?>
    kTagComment,    // <!...>, <-...--->, <>
    kTagBroken,     // a tag whose '>' never comes
};

// Offset of the first '>' at or after p outside '...' and "..." runs, or
// npos when the tag is never closed.
size_t FindTagEnd(const char* s, size_t p, size_t end)
{
    while (p < end) {
        const char c = s[p];
        if (c == '>')
            return p;
        if (c == '"' || c == '\'') {
            const void* q = memchr(s + p + 1, c, end - p - 1);
            if (!q)
                return StringView::npos;
            p = static_cast<size_t>(static_cast<const char*>(q) - s);
        }
        ++p;
    }
    return StringView::npos;
}

StringView ReplaceEntities(const StringView& data)
{
    if (data.FindChar('&') == StringView::npos)
        return data;
    // &amp; goes last so that "&amp;lt;" stays "&lt;".
    return data.Replace("&quot;", "\"").Replace("&apos;", "'").Replace("&lt;", "<").Replace("&gt;", ">").Replace(
        "&amp;", "&");
}

bool Put(io_base::WriteProc writer, void* context, const char* data, size_t length)
{
    return length == 0 || writer(context, data, length);
}

bool Put(io_base::WriteProc writer, void* context, const StringView& v)
{
    return Put(writer, context, v.Data(), v.Size());
}

bool Put(io_base::WriteProc writer, void* context, const char* text)
{
    return Put(writer, context, text, strlen(text));
}

bool Put(io_base::WriteProc writer, void* context, const std::string& s)
{
    return Put(writer, context, s.data(), s.size());
}

struct AttrSink {
    std::vector<DocXmlNode>* nodes;
    StringView owner;
    size_t count;
};

}  // namespace

struct DocXmlParse::_Tag {
    int32_t type;
    StringView data;   // character data before the tag
    StringView name;   // empty when the tag has no readable name
    StringView attrs;  // the content after the name
    bool named;        // a name could be read
};

const uint32_t DocXmlParse::kMaxDepth;

DocXmlParse::DocXmlParse() : _pos(0), _cursor(0) {}

DocXmlParse::DocXmlParse(const StringView& text, size_t reserve) : _pos(0), _cursor(0)
{
    Parse(text, reserve);
}

bool DocXmlParse::Parse(const StringView& text, size_t reserve)
{
    // The text is taken before the old nodes go: it may be one of their
    // values. Holding it keeps a shared buffer alive for the new nodes.
    _text = text;
    _pos = 0;
    _cursor = 0;
    _nodes.clear();
    _nodes.reserve(reserve);
    if (!_ParseDocument()) {
        _nodes.clear();
        _AddNode(kTextName, _text, StringView());
        _AddEnds(1);
    }
    return true;
}

const DocXmlNode* DocXmlParse::Next()
{
    if (_cursor >= _nodes.size())
        return 0;
    return &_nodes[_cursor++];
}

void DocXmlParse::SkipAll()
{
    _cursor = static_cast<uint32_t>(_nodes.size());
}

bool DocXmlParse::Dump(io_base::WriteProc writer, void* context) const
{
    std::string indent;
    size_t pending_attrs = 0;
    for (size_t i = 0; i < _nodes.size(); ++i) {
        const DocXmlNode& n = _nodes[i];
        bool ok;
        if (n.IsEnd()) {
            if (pending_attrs > 0)
                --pending_attrs;
            else
                indent.resize(indent.size() >= 2 ? indent.size() - 2 : 0);
            ok = Put(writer, context, indent) && Put(writer, context, "</>\n");
        } else if (n.IsAttr()) {
            ++pending_attrs;
            ok = Put(writer, context, indent) && Put(writer, context, "<") && Put(writer, context, n._owner) &&
                 Put(writer, context, "> attr: ") && Put(writer, context, n._name) && Put(writer, context, "=\"") &&
                 Put(writer, context, n._val) && Put(writer, context, "\"\n");
        } else {
            ok = Put(writer, context, indent) && Put(writer, context, "<") && Put(writer, context, n._name) &&
                 Put(writer, context, ">\n");
            indent += "  ";
            if (ok && n._val.Size() != 0)
                ok = Put(writer, context, indent) && Put(writer, context, n._val) && Put(writer, context, "\n");
        }
        if (!ok)
            return false;
    }
    return true;
}

bool DocXmlParse::_ParseDocument()
{
    size_t owed = 0;
    for (;;) {
        _Tag tag;
        _NextTag(&tag);
        if (tag.data.Size() != 0) {
            _AddNode(kTextName, ReplaceEntities(tag.data), StringView());
            ++owed;
        }
        if (tag.type == kTagEndOfText) {
            _AddEnds(owed);
            return true;
        }
        // A stray end tag or a tag never closed is no child: malformed.
        if (!_AddChild(tag, 1))
            return false;
    }
}

bool DocXmlParse::_AddChild(const _Tag& tag, uint32_t depth)
{
    switch (tag.type) {
    case kTagStart:
        return _ParseTag(tag, depth);
    case kTagEmpty:
    case kTagPi:
        _AddEmpty(tag);
        return true;
    case kTagComment:
        return true;
    default:
        return false;
    }
}

bool DocXmlParse::_ParseTag(const _Tag& start, uint32_t depth)
{
    if (depth > kMaxDepth)
        return false;
    size_t owed = _AddAttributes(start) + 1;
    const size_t self = _nodes.size();
    _AddNode(start.name, StringView(), StringView());
    for (;;) {
        _Tag tag;
        _NextTag(&tag);
        if (tag.data.Size() != 0) {
            const StringView data = ReplaceEntities(tag.data);
            DocXmlNode& last = _nodes.back();
            if (_nodes.size() - 1 == self && last._val.Size() == 0) {
                last._val = data;
            } else {
                // More data after the first (behind a comment, a child or a
                // processing instruction) is a text node of its own.
                _AddNode(start.name, data, StringView());
                ++owed;
            }
        }
        if (tag.type == kTagEnd) {
            // An end tag without a readable name ("</>", "</!!>") closes
            // whatever is open; a named end tag must match.
            if (!tag.named || tag.name == start.name) {
                _AddEnds(owed);
                return true;
            }
            return false;
        }
        // The end of the text with the element open, or a broken tag, is no
        // child: malformed.
        if (!_AddChild(tag, depth + 1))
            return false;
    }
}

void DocXmlParse::_NextTag(_Tag* tag)
{
    tag->named = false;
    const char* s = _text.Data();
    const size_t end = _text.Size();
    size_t lt = _pos;
    while (lt < end && s[lt] != '<')
        ++lt;
    tag->data = _text.Sub(_pos, lt - _pos);
    if (lt + 1 >= end) {
        _pos = static_cast<uint32_t>(end);
        tag->type = lt >= end ? kTagEndOfText : kTagBroken;
        return;
    }
    size_t first = lt + 1;
    if (_SkipComment(first, tag))
        return;
    tag->type = s[first] == '/' ? kTagEnd : s[first] == '?' ? kTagPi : kTagStart;
    if (tag->type != kTagStart)
        ++first;
    const size_t gt = FindTagEnd(s, first, end);
    if (gt == StringView::npos) {
        _pos = static_cast<uint32_t>(end);
        tag->type = kTagBroken;
        return;
    }
    _pos = static_cast<uint32_t>(gt + 1);
    size_t last = gt;
    if (tag->type == kTagStart && last > first && s[last - 1] == '/') {
        tag->type = kTagEmpty;
        --last;
    }
    _ReadName(_text.Sub(first, last - first), tag);
}

bool DocXmlParse::_SkipComment(size_t first, _Tag* tag)
{
    const char* s = _text.Data();
    const size_t end = _text.Size();
    size_t next;
    switch (s[first]) {
    case '!': {
        const void* gt = memchr(s + first, '>', end - first);
        next = gt ? static_cast<size_t>(static_cast<const char*>(gt) - s) + 1 : end;
        break;
    }
    case '-': {
        const size_t close = _text.Find("--->", first);
        next = close == StringView::npos ? end : close + 4;
        break;
    }
    case '>':
        next = first + 1;
        break;
    default:
        return false;
    }
    _pos = static_cast<uint32_t>(next);
    tag->type = kTagComment;
    return true;
}

void DocXmlParse::_ReadName(const StringView& content, _Tag* tag)
{
    DocSlice sl(content);
    StringView name;
    int32_t kind = -1;
    if (sl.ReadItem(DocSlice::kWord, &name, &kind) && kind >= kDocInteger && kind <= kDocIdent) {
        tag->named = true;
        tag->name = name;
        tag->attrs = content.Sub(sl.Pos());
    } else {
        tag->name = StringView();
        tag->attrs = StringView();
    }
    // A start tag or processing instruction with no name is passed over.
    if (!tag->named && (tag->type == kTagStart || tag->type == kTagEmpty || tag->type == kTagPi))
        tag->type = kTagComment;
}

void DocXmlParse::_AddEmpty(const _Tag& tag)
{
    const size_t attrs = _AddAttributes(tag);
    _AddNode(tag.name, StringView(), StringView());
    _AddEnds(attrs + 1);
}

size_t DocXmlParse::_AddAttributes(const _Tag& tag)
{
    AttrSink sink = {&_nodes, tag.name, 0};
    // Malformed attribute text ends the list; the pairs before it stay.
    DocParseAttributes(&DocXmlParse::_OnAttr, &sink, tag.attrs);
    return sink.count;
}

void DocXmlParse::_OnAttr(void* context, const char* key, size_t key_length, const char* value, size_t value_length,
                          int32_t)
{
    AttrSink* sink = static_cast<AttrSink*>(context);
    DocXmlNode n;
    n._name = StringView(key, key_length);
    n._val = StringView(value, value_length);
    n._owner = sink->owner;
    sink->nodes->push_back(n);
    ++sink->count;
}

void DocXmlParse::_AddNode(const StringView& name, const StringView& val, const StringView& owner)
{
    DocXmlNode n;
    n._name = name;
    n._val = val;
    n._owner = owner;
    _nodes.push_back(n);
}

void DocXmlParse::_AddEnds(size_t count)
{
    for (size_t i = 0; i < count; ++i)
        _AddNode(kEndName, StringView(), StringView());
}

}  // namespace kivo
