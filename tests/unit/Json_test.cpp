#include "foundation/Json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7E) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The tree as one line, reached only through the public walk (size, at,
// name, asString, type). Containers that turn out malformed print as null.
std::string render(JsonNode& node) {
    const std::string text = node.asString();  // expands first
    switch (node.type()) {
        case JsonType::Null:
            return text.empty() ? "empty" : (text == "null" ? "null" : "null?" + text);
        case JsonType::String:
            return "s'" + printable(text) + "'";
        case JsonType::Number:
            return "n" + text;
        case JsonType::Boolean:
            return "b" + text;
        case JsonType::Array:
        case JsonType::Object: {
            const bool object = node.type() == JsonType::Object;
            std::string out = object ? "{" : "[";
            const uint32_t n = node.size();
            for (uint32_t i = 0; i < n; ++i) {
                JsonNode* child = node.at(i);
                if (!child) return "missing child";
                if (i) out += ",";
                const std::string name = child->name();
                if (object || !name.empty()) out += printable(name) + "=";
                out += render(*child);
            }
            return out + (object ? "}" : "]");
        }
    }
    return "bad type";
}

std::string parseAndRender(const std::string& text) {
    std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
    return root ? render(*root) : "NO TREE";
}

struct Case {
    const char* text;
    bool valid;
    const char* tree;  // what JsonParse gives, rendered; "NO TREE" for null
};

// The dialect's examples, as a table: every row is checked by both
// operations, since they follow different rules.
const Case kCases[] = {
    // The basic shapes and what follows the root.
    {R"({"a":1})", true, "{a=n1}"},
    {R"([1,2])", true, "[n1,n2]"},
    {R"({"a":1}x)", false, "NO TREE"},
    {R"("a")", false, "NO TREE"},
    {"1", false, "NO TREE"},
    {"", false, "NO TREE"},
    {" \t\r\n", false, "NO TREE"},
    {"[]", true, "[]"},
    {"{}", true, "{}"},
    {" [ ] ", true, "[]"},
    {R"([[],{}])", true, "[[],{}]"},
    {R"([1][2])", false, "[null]"},
    {R"([1,2)", false, "NO TREE"},
    {R"([{"a":1},{"b":2}])", true, "[{a=n1},{b=n2}]"},
    {R"({ "a b" : [ 1 , " x " ] })", true, "{a b=[n1,s' x ']}"},
    // Empty values.
    {R"({"a":})", true, "{a=empty}"},
    {R"({"a":,"b":1})", true, "{a=empty,b=n1}"},
    {R"([1,])", true, "[n1,empty]"},
    {R"([,])", true, "[empty,empty]"},
    {R"({"a":1,})", false, "null"},
    {R"([1,)", false, "NO TREE"},
    // Literals: any letter case passes the check, only exact words build.
    {R"({"a":TRUE})", true, "{a=null}"},
    {R"({"a":true,"b":false,"c":null,"d":True,"e":nULL,"f":FALSE})", true,
     "{a=btrue,b=bfalse,c=null,d=null,e=null,f=null}"},
    {R"([tru])", false, "[null]"},
    {R"([truex])", false, "[null]"},
    {R"([nothing])", false, "[null]"},
    // Numbers.
    {R"({"a":0x1F,"b":-0.5,"c":+3,"d":017,"e":.5})", true, "{a=n0x1F,b=n-0.5,c=n+3,d=n017,e=n.5}"},
    {R"({"a":-.5})", true, "{a=null}"},
    {R"({"a":08})", true, "{a=null}"},
    {R"([0,00,01,07,019,0x,0X1,0xFg])", false, "[n0,null,n01,n07,null,n0x,null,null]"},
    {R"([0,00,01,07,019,0x])", true, "[n0,null,n01,n07,null,n0x]"},
    {R"([1e5,1E+5,1.5e-3,0.5,0e1,0.,-0,-08,1.])", true, "[n1e5,n1E+5,n1.5e-3,n0.5,n0e1,n0.,n-0,n-08,n1.]"},
    {R"([+,-,.])", true, "[null,null,n.]"},
    {R"([+e1])", true, "[null]"},
    {R"([1e])", false, "[null]"},
    {R"([1.2.3])", false, "[null]"},
    {R"([1e5.3])", false, "[null]"},
    {R"([1e5e5])", false, "[null]"},
    {R"([-0x1])", false, "[null]"},
    {R"([--1])", false, "[null]"},
    {R"([12abc])", false, "[null]"},
    // Strings and their escapes.
    {R"({"a":"x\u00e9y"})", true, "{a=s'x\\xE9y'}"},
    {R"(["\u4e2d"])", true, "[s'-']"},
    {R"({"p":"C:\\dir\\f.txt"})", true, R"({p=s'C:\dir\f.txt'})"},
    {R"({"a":"x\x41"})", true, "{a=s'xA'}"},
    {R"(["\"\/\b\f\n\r\t"])", true, R"([s'"/\x08\x0C\x0A\x0D\x09'])"},
    {R"(["\v"])", false, R"([s'\x0B'])"},
    {R"(["\101\777\q"])", false, "[s'A\\xFFq']"},
    {R"(["\u00g9"])", false, "[s'u00g9']"},
    {R"(["\x4"])", false, "[s'\\x004']"},
    {R"(["a\u12"])", false, "[s'a\\x0012']"},
    {R"(["\12"])", false, "[s'\\x002']"},
    {R"(["abc])", false, "[null]"},
    {R"(["abc"x])", false, "[null]"},
    {R"(["abc)", false, "NO TREE"},
    {R"({"a\"b":1})", true, R"({a"b=n1})"},
    {R"({"\u0041\x42":1})", true, "{AB=n1}"},
    // Bytes inside strings pass through unchanged.
    {"[\"\xC3\xA9\x01\"]", true, "[s'\\xC3\\xA9\\x01']"},
    // Comments.
    {R"({ /* note */ "a" : 1 })", true, "{a=n1}"},
    {R"({"a":1 /* note */})", true, "{a=null}"},
    {R"({"a":1} // end)", true, "NO TREE"},
    {"// head\n# more\n[1]", true, "[n1]"},
    {R"([/*a*/1, /*b*/ "x"])", true, "[n1,s'x']"},
    {R"([1/*a*/])", true, "[null]"},
    {R"({"a":/*c*/1})", true, "{a=null}"},
    {R"([1] /* open)", false, "NO TREE"},
    {R"([1,/*]*/2])", true, "[n1,n2]"},
    // Comments holding quotes, brackets and '#' do not disturb the split.
    {"{ /* \"[{ */ \"a\":1, # x#y}\n \"b\":2}", true, "{a=n1,b=n2}"},
    // A lone '/', a control byte or a byte above 0x7E ends the text.
    {"[1]/x", true, "[n1]"},
    {"[1]\x01junk", true, "[n1]"},
    {"{\"a\":1}\xFF{more", true, "{a=n1}"},
    {"\xEF\xBB\xBF{\"a\":1}", false, "NO TREE"},
    // Object members: names and the colon search.
    {R"({"a" 1})", false, "null"},
    {R"({a:1})", false, "{=n1}"},
    {R"({'ab':1})", false, "{ab=n1}"},
    {R"({"a":1,xb":2})", true, "null"},
    {R"({"a":1 "b":2})", false, "{a=null}"},
    {R"({"a":1,"b","c":2})", false, R"({a=n1,b","c=n2})"},
    {R"({"a":1,"b"})", false, "null"},
    {R"({"a":1:2})", false, "{a=null}"},
    {R"({"a":1]})", false, "{a=null}"},
    // Arrays holding a member turn null as a whole.
    {R"(["k":1])", false, "null"},
    {R"([1,2,"k":1,3])", false, "null"},
    {R"({"x":["k":1],"v":2})", false, "{x=null,v=n2}"},
    // Mismatched brackets inside a bracketed root.
    {R"([1]])", false, "[null]"},
    {R"([[1,2])", false, "[null]"},
    {R"([{]}])", false, "[null]"},
    // Brackets inside strings at any depth.
    {R"({"x":[1,{"y":"]}"}],"v":"1"})", true, "{x=[n1,{y=s']}'}],v=s'1'}"},
};

TEST(Json, EveryExampleOfTheDialectBehavesAsListed) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(printable(c.text));
        EXPECT_EQ(JsonIsValid(c.text), c.valid);
        EXPECT_EQ(parseAndRender(c.text), c.tree);
    }
}

TEST(Json, NullTextIsNeitherValidNorParsable) {
    EXPECT_FALSE(JsonIsValid(nullptr));
    EXPECT_EQ(JsonParse(nullptr), nullptr);
}

std::string nested(size_t depth, bool objects) {
    std::string s;
    s.reserve(depth * 6);
    for (size_t i = 0; i < depth; ++i) s += objects ? "{\"a\":" : "[";
    s += "1";
    for (size_t i = 0; i < depth; ++i) s += objects ? "}" : "]";
    return s;
}

TEST(Json, NestingOf128LevelsIsValidAnd129IsNot) {
    for (bool objects : {false, true}) {
        EXPECT_TRUE(JsonIsValid(nested(128, objects).c_str()));
        EXPECT_FALSE(JsonIsValid(nested(129, objects).c_str()));
    }
    // Mixed kinds count alike.
    std::string mixed;
    for (int i = 0; i < 64; ++i) mixed += "[{\"k\":";
    mixed += "1";
    for (int i = 0; i < 64; ++i) mixed += "}]";
    EXPECT_TRUE(JsonIsValid(mixed.c_str()));
    EXPECT_FALSE(JsonIsValid(("[" + mixed + "]").c_str()));
}

TEST(Json, ValidityStopsAt33554432Bytes) {
    // Length counts the whole input, white space included.
    std::string text(33554432, ' ');
    text.front() = '[';
    text.back() = ']';
    EXPECT_TRUE(JsonIsValid(text.c_str()));
    text.back() = ' ';
    text += "]";
    EXPECT_FALSE(JsonIsValid(text.c_str()));
    // Tree building has no such bound.
    std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->size(), 0u);
}

// Walks down through the first child as callers do: fetch, copy the handle,
// go on with the copy. Returns the number of levels reached.
size_t walkDown(JsonNode& root, std::string* innermost) {
    JsonNode current = root;
    size_t depth = 1;
    while (current.size() > 0) {
        JsonNode* child = current.at(0);
        if (!child) return 0;
        if (child->type() != JsonType::Array && child->type() != JsonType::Object) {
            *innermost = child->asString();
            break;
        }
        current = *child;
        ++depth;
    }
    return depth;
}

TEST(Json, AMillionLevelsDeepNeitherOverflowsNorReadsOutOfBounds) {
    constexpr size_t kDepth = 1000000;
    for (bool objects : {false, true}) {
        SCOPED_TRACE(objects ? "objects" : "arrays");
        const std::string text = nested(kDepth, objects);
        EXPECT_FALSE(JsonIsValid(text.c_str()));

        std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
        ASSERT_NE(root, nullptr);
        std::string innermost;
        EXPECT_EQ(walkDown(*root, &innermost), kDepth);
        EXPECT_EQ(innermost, "1");

        // Walking with the raw child pointers only.
        JsonNode* p = root.get();
        size_t depth = 1;
        while (p->size() > 0 && p->at(0)->size() > 0) {
            p = p->at(0);
            ++depth;
        }
        EXPECT_EQ(depth, kDepth);
        EXPECT_EQ(p->at(0)->asString(), "1");

        // A copy of the root shares the expanded tree; walking it copies
        // level by level, and releasing both frees the deep tree.
        JsonNode second = *root;
        innermost.clear();
        EXPECT_EQ(walkDown(second, &innermost), kDepth);
        EXPECT_EQ(innermost, "1");

        // Keep the deepest container alive past the root.
        JsonNode deepest = *p;
        root.reset();
        second = JsonNode();
        EXPECT_EQ(deepest.size(), 1u);
        EXPECT_EQ(deepest.at(0)->asString(), "1");
    }
}

TEST(Json, DeepUnbalancedTextsAreSafe) {
    constexpr size_t kDepth = 1000000;
    const std::string open(kDepth, '[');
    EXPECT_FALSE(JsonIsValid(open.c_str()));
    EXPECT_EQ(JsonParse(open.c_str()), nullptr);

    // Only the outer brackets are checked when parsing; the unclosed inner
    // group makes the root's only element a null.
    const std::string oneClose = open + "]";
    std::unique_ptr<JsonNode> root(JsonParse(oneClose.c_str()));
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->size(), 1u);
    EXPECT_EQ(root->at(0)->type(), JsonType::Null);

    // Closed with the other kind of bracket throughout.
    const std::string wrong = "[" + std::string(kDepth, '{') + std::string(kDepth, ']');
    EXPECT_FALSE(JsonIsValid(wrong.c_str()));
    root.reset(JsonParse(wrong.c_str()));
    ASSERT_NE(root, nullptr);
    std::string innermost;
    walkDown(*root, &innermost);
    root.reset();
}

TEST(Json, ExpansionIsLazyAndTypeDoesNotExpand) {
    std::unique_ptr<JsonNode> root(JsonParse(R"({"bad":["k":1],"good":[1]})"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->type(), JsonType::Object);
    ASSERT_EQ(root->size(), 2u);
    JsonNode* bad = root->at(0);
    EXPECT_EQ(bad->name(), "bad");
    EXPECT_EQ(bad->type(), JsonType::Array);  // not yet split
    EXPECT_EQ(bad->size(), 0u);
    EXPECT_EQ(bad->type(), JsonType::Null);
    EXPECT_EQ(bad->asString(), "null");
    EXPECT_EQ(bad->at(0), nullptr);
    EXPECT_EQ(root->at(1)->asString(), "");
    EXPECT_EQ(root->at(1)->size(), 1u);
}

TEST(Json, AtGivesNullOutsideContainersAndBeyondTheEnd) {
    std::unique_ptr<JsonNode> root(JsonParse(R"([1,"s",true,null,[],{}])"));
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->size(), 6u);
    EXPECT_EQ(root->at(6), nullptr);
    EXPECT_EQ(root->at(0xFFFFFFFFu), nullptr);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(root->at(i)->at(0), nullptr);
        EXPECT_EQ(root->at(i)->size(), 0u);
    }
    EXPECT_EQ(root->at(4)->at(0), nullptr);
    EXPECT_EQ(root->at(5)->at(0), nullptr);

    JsonNode none;
    EXPECT_EQ(none.type(), JsonType::Null);
    EXPECT_EQ(none.name(), "");
    EXPECT_EQ(none.asString(), "");
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(none.at(0), nullptr);
}

TEST(Json, CopiedHandlesShareAndCopyOnWrite) {
    std::unique_ptr<JsonNode> root(JsonParse(R"({"files":[{"a":"1"},{"b":"2"}],"version":"7"})"));
    ASSERT_NE(root, nullptr);
    JsonNode* files = root->at(0);
    ASSERT_NE(files, nullptr);
    JsonNode* first = files->at(0);  // owned by the node `files` refers to

    // A second handle to the same node: asking it for a child gives it a
    // copy of its own; the earlier child pointer still belongs to the node
    // that `files` keeps.
    JsonNode other = *files;
    JsonNode* otherFirst = other.at(0);
    ASSERT_NE(otherFirst, nullptr);
    EXPECT_NE(otherFirst, first);
    EXPECT_EQ(render(*otherFirst), render(*first));
    EXPECT_EQ(other.at(0), otherFirst);  // no further copy once it is its own

    // Now `files` is shared no more with `other`, so no copy is made.
    EXPECT_EQ(files->at(0), first);

    // Copies outlive the root.
    JsonNode version = *root->at(1);
    JsonNode entry = *other.at(1);
    root.reset();
    EXPECT_EQ(version.name(), "version");
    EXPECT_EQ(version.asString(), "7");
    EXPECT_EQ(render(entry), "{b=s'2'}");
    EXPECT_EQ(render(other), "[{a=s'1'},{b=s'2'}]");
}

TEST(Json, AssignmentFromOwnChildAndSelf) {
    std::unique_ptr<JsonNode> root(JsonParse(R"([[[["deep"]]]])"));
    ASSERT_NE(root, nullptr);
    JsonNode cur = *root;
    root.reset();  // `cur` is now the only holder
    cur = cur;
    while (cur.type() == JsonType::Array) cur = *cur.at(0);  // releases the parent it came from
    EXPECT_EQ(cur.asString(), "deep");

    std::unique_ptr<JsonNode> again(JsonParse(R"([[1]])"));
    JsonNode moved = std::move(*again);  // the root handle itself moves out
    EXPECT_EQ(again->type(), JsonType::Null);
    EXPECT_EQ(render(moved), "[[n1]]");
    moved = std::move(*moved.at(0));
    EXPECT_EQ(render(moved), "[n1]");
}

// The installed launcher's file list, walked the way its reader walks it.
TEST(Json, FileListDocumentWalk) {
    const char* text = R"({
        // written by the package tool
        "files": [
            {"client/launcher.exe": "0123456789ABCDEF0123456789abcdef"},
            {"client/data/[1] {x}.pak": "00000000000000000000000000000000", "extra": "ignored"},
            {"client/dir\\f.dll": "ffffffffffffffffffffffffffffffff"}
        ],
        "version": "1.2.3.4"
    })";
    ASSERT_TRUE(JsonIsValid(text));
    std::unique_ptr<JsonNode> root(JsonParse(text));
    ASSERT_NE(root, nullptr);
    std::vector<std::pair<std::string, std::string>> files;
    std::string version;
    for (uint32_t i = 0; i < root->size(); ++i) {
        JsonNode member = *root->at(i);
        if (member.name() == "version") {
            version = member.asString();
            break;
        }
        if (member.name() == "files") {
            for (uint32_t j = 0; j < member.size(); ++j) {
                JsonNode entry = *member.at(j);
                JsonNode* file = entry.at(0);
                ASSERT_NE(file, nullptr);
                files.emplace_back(file->name(), file->asString());
            }
        }
    }
    EXPECT_EQ(version, "1.2.3.4");
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].first, "client/launcher.exe");
    EXPECT_EQ(files[0].second, "0123456789ABCDEF0123456789abcdef");
    EXPECT_EQ(files[1].first, "client/data/[1] {x}.pak");
    EXPECT_EQ(files[2].first, "client/dir\\f.dll");
}

}  // namespace
