// JsonParse over arbitrary bytes, then a full walk of every node the way
// callers walk (type, name, asString, size, at, copying the child handles),
// while a second handle shares the tree so that copy on write is exercised.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Json.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void checkNode(JsonNode& node) {
    (void)node.type();  // before expansion
    const std::string name = node.name();
    const std::string text = node.asString();
    const uint32_t size = node.size();
    switch (node.type()) {
        case JsonType::Null:
            check(size == 0 && (text == "null" || text.empty()));
            break;
        case JsonType::Boolean:
            check(size == 0 && (text == "true" || text == "false"));
            break;
        case JsonType::Number:
            check(size == 0 && !text.empty());
            break;
        case JsonType::String:
            check(size == 0);
            break;
        case JsonType::Array:
        case JsonType::Object:
            check(text.empty());
            break;
    }
    check(node.at(size) == nullptr);
    check(node.name() == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // adds the NUL
    std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
    if (!root) return 0;
    check(root->type() == JsonType::Array || root->type() == JsonType::Object);
    check(root->name().empty());

    // Walk one: through copied handles, depth first with an explicit stack.
    JsonNode shared = *root;
    std::vector<JsonNode> pending{shared};
    while (!pending.empty()) {
        JsonNode node = std::move(pending.back());
        pending.pop_back();
        checkNode(node);
        const uint32_t n = node.size();
        for (uint32_t i = 0; i < n; ++i) {
            JsonNode* child = node.at(i);
            check(child != nullptr);
            JsonNode copy = *child;
            check(copy.type() == child->type());
            pending.push_back(copy);
        }
    }

    // Walk two: the root's own tree through the raw child pointers. `shared`
    // still holds the same root node, so the first at() copies it.
    std::vector<JsonNode*> raw{root.get()};
    while (!raw.empty()) {
        JsonNode* node = raw.back();
        raw.pop_back();
        checkNode(*node);
        const uint32_t n = node->size();
        for (uint32_t i = 0; i < n; ++i) {
            JsonNode* child = node->at(i);
            check(child != nullptr);
            raw.push_back(child);
        }
    }
    // The two handles saw the same document.
    check(shared.size() == root->size());
    root.reset();
    if (shared.size() > 0) checkNode(*shared.at(0));
    return 0;
}
