// Crash uploads of the reference service: each multipart upload becomes one
// folder under the configured root, holding every part as a file plus
// "upload.json", which lists the parts with their field names, file names,
// content types and sizes as they were sent.
//
// Names come from the network, so none of them is used as given: a stored
// file's name keeps only letters, digits, '.', '_' and '-', never starts with
// a dot and is at most 100 bytes; two parts that would share a name get "-2",
// "-3", ... appended. An upload's folder appears under its final name only
// when every file in it is complete (written under a dot-name, then renamed),
// so a reader that polls the root never sees half an upload.
//
// Threads: store() may be called from several server threads at once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace crashuploads {

struct Part {
    std::string name;         // form field name
    std::string filename;     // empty for a plain field
    std::string contentType;  // as sent, may be empty
    std::string content;
};

// A stored file name made from a name sent by a client (see above).
std::string safeFileName(const std::string& sent);

class Store {
public:
    explicit Store(std::filesystem::path root) : m_root(std::move(root)) {}

    // Creates the root when missing; false when that fails.
    bool prepare();

    // Writes one upload. Returns its id (the folder's name) or an empty text
    // when the folder or a file cannot be written; nothing is left behind
    // then.
    std::string store(const std::vector<Part>& parts);

private:
    std::string nextId();

    std::filesystem::path m_root;
    std::mutex m_lock;
    unsigned m_counter = 0;
};

}  // namespace crashuploads
