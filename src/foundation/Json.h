// The JSON reader: a validity check and a lazily built tree of shared nodes
// for the tolerant dialect our own files and the update service use (comments,
// hexadecimal and octal numbers, a leading '+' or '.', "\x" and octal escapes,
// literals in any letter case in the check). It never writes JSON. Texts are
// narrow byte strings taken as they are: no character set is assumed.
//
// Contract:
// - JsonIsValid(text): true when the whole text is one valid object or array.
//   False for a null text, a text over 33,554,432 bytes, and any broken rule.
//   Nothing is logged. Stack use does not grow with the nesting depth.
// - JsonParse(text): a new root handle owned by the caller (release it with
//   `delete`), or null when the text is null or its compact form is not one
//   bracketed array or object. Only the outer brackets are checked here; every
//   container is split into its children when first asked for them, and
//   malformed content turns that container (or value) into a null node
//   instead of failing. Nothing is logged.
// - JsonNode is a handle to one shared node. Copying a handle shares the node;
//   the node and all its children are released with its last handle. The
//   caller may keep a copied handle after the root is gone.
// - type() reports the kind without expanding; name(), asString() and size()
//   expand a node on first use (so a container whose content proves
//   malformed reports Array/Object until then, Null afterwards).
// - at(index): for an array or object, the child handle at `index`, owned by
//   the node this handle refers to: it stays valid while that node lives (as
//   long as this handle, or another handle sharing the node, is not destroyed,
//   reassigned or re-pointed by a later at()). Copy the child handle to keep
//   it longer. `index` must be below size(); an index at or beyond size(), and
//   any index on a node that is not an array or object, gives null.
//   When the node is shared with other handles, at() first gives this handle
//   its own copy of the node (copy on write); the other handles keep sharing
//   the node they had, and earlier child pointers stay owned by that node.
// - No input, however deep or long, recurses in proportion to its nesting:
//   checking, expanding, walking down with at(), copying and releasing all
//   use bounded stack.
// - Threads: nodes are not locked and their holder counts are plain integers.
//   All handles into one parsed document must be used by one thread at a
//   time; separate documents are independent.
// - No exception leaves these functions: running out of memory makes
//   JsonIsValid false, JsonParse null, an expansion null, and name() or
//   asString() an empty text.
#pragma once

#include <cstdint>
#include <string>

// Node kinds, with the numeric values other modules and logs rely on.
enum class JsonType : int32_t {
    Null = 0,     // literal null, any value that is not valid ("null"), empty value ("")
    String = 1,   // decoded content between the quotes
    Number = 2,   // text exactly as written, e.g. "1.50", "0x1F"
    Boolean = 3,  // "true" or "false"
    Array = 4,    // text ""
    Object = 5,   // text ""
};

struct JsonNodeData;

class JsonNode {
public:
    // A handle that refers to no node: type Null, empty name and text, no
    // children. Useful as a target to copy a child handle into.
    JsonNode() noexcept = default;
    JsonNode(const JsonNode& other) noexcept;
    JsonNode& operator=(const JsonNode& other) noexcept;
    JsonNode(JsonNode&& other) noexcept;
    JsonNode& operator=(JsonNode&& other) noexcept;
    ~JsonNode();

    // The kind as it stands, without expanding the node.
    JsonType type() const noexcept;
    // Copy of the decoded member name; empty for the root and array elements.
    std::string name() const;
    // Copy of the value as text (see JsonType); expands the node first.
    std::string asString() const;
    // Number of children of an array or object (expanding it first; 0 when the
    // expansion turned it into null); 0 for every other kind. A container with
    // more than 4,294,967,295 children reports that many: the count is cut at
    // the field, and the children beyond it cannot be reached.
    uint32_t size() const;
    // Child handle at `index` (see the contract above), or null.
    JsonNode* at(uint32_t index);

private:
    friend JsonNode* JsonParse(const char* text);
    explicit JsonNode(JsonNodeData* node) noexcept : m_node(node) {}
    friend struct JsonNodeData;

    JsonNodeData* m_node = nullptr;
};

bool JsonIsValid(const char* text);
JsonNode* JsonParse(const char* text);
