// The Windows sender names no functions: MinGW writes DWARF into the .exe,
// and the copy a player has is the shipped one, which may be stripped. The
// report keeps each frame's module and offset, from which the operator
// names them on Linux with the unstripped files of the release
// (tools/crash-symbolise/symbolise-windows-report); the notes say so.
#include "Symbolizer.h"

namespace crashsender {

struct Symbolizer::Module {};

Symbolizer::Symbolizer(const CrashDescription& description, std::vector<MappedFile> maps)
    : m_description(description), m_maps(std::move(maps)) {
    m_notes.push_back("Function names are not looked up on this system: each frame names its module and the offset "
                      "in it, for the unstripped files of this release.");
}

Symbolizer::~Symbolizer() = default;

Symbolizer::Module* Symbolizer::moduleFor(const CodeAddress&) { return nullptr; }

SourceLocation Symbolizer::locate(const CodeAddress&, bool) { return {}; }

}  // namespace crashsender
