// Small stateless helpers shared by every subsystem: the running program's
// folder, creation of a folder path level by level, and text conversions.
// Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// A path handed to a file operation is bounded at 260 characters with its
// terminator on every system, so that a game folder that works on one works
// on the other; a longer path is refused, never cut.
inline constexpr uint32_t kMaxPathChars = 260;
// The buffers in which folders and setting paths are formed before they
// are bounded for use: 1024 characters with the terminator.
inline constexpr uint32_t kPathBufferChars = 1024;
// The game's folder below the per-user application-data folders, with its
// separators: "<roaming or local>" + kProductFolder + "GameLauncher/" etc.
// L"/<vendor>/<game>/" of the game's identity (packaging/identity.cmake),
// defined in its generated unit (library gl_identity).
extern const wchar_t* const kProductFolder;

// Writes the folder of the running program, without a trailing separator,
// into `out`. False when `capacity` is below 2, when the system does not name
// the program, when its full name does not fit 259 characters (the bound
// of every path), or when the folder does not fit `capacity`.
bool GetCurrentExePath(wchar_t* out, uint32_t capacity);

// Creates every missing folder of `path`, outermost first; "\" and "/" both
// separate. Failures are not reported: a missing folder shows up later as a
// failure to create a file in it. A path that does not fit the 259-character
// work buffer (258 when a "/" has to be appended) is left alone entirely, so
// that no folder is made from a cut path. A path that starts with a
// separator stays absolute.
void CreateFolderPath(const wchar_t* path);

// The one bounded join of path parts (plain concatenation, as "%s%s%s"
// does): `out` becomes the parts end to end when the result fits a buffer of
// `capacity` characters with its terminator, that is at most capacity - 1
// characters. Otherwise `out` is left untouched and the result is false: a
// cut path would name some other file, so callers give up instead.
bool JoinPath(std::wstring& out, std::initializer_list<std::wstring_view> parts, std::size_t capacity);

// Copies `text` into the fixed field `field` of `size` bytes: at most
// size - 1 bytes, the rest of the field zero. A null text leaves it empty.
void CopyToField(char* field, std::size_t size, const char* text);

// Owns the result of one conversion; the text lives as long as the holder.
// Both pointers are null until a conversion stores into them.
class ConvertedText {
public:
    ConvertedText() = default;
    ~ConvertedText() { clear(); }
    ConvertedText(const ConvertedText&) = delete;
    ConvertedText& operator=(const ConvertedText&) = delete;

    void clear();
    const char* narrow() const { return m_narrow; }
    const wchar_t* wide() const { return m_wide; }

private:
    friend void WideToAnsi(const wchar_t*, ConvertedText&);
    friend void WideToUtf8(const wchar_t*, ConvertedText&);
    friend void AnsiToWide(const char*, ConvertedText&);

    char* m_narrow = nullptr;
    wchar_t* m_wide = nullptr;
};

// Narrow texts are UTF-8 on this platform, so the "ANSI" forms and the UTF-8
// form are the same; a character without a narrow form becomes '?'. A null
// input gives an empty text, never a null pointer.
void WideToAnsi(const wchar_t* text, ConvertedText& holder);
void WideToUtf8(const wchar_t* text, ConvertedText& holder);
// Bytes that are not valid UTF-8 become U+FFFD.
void AnsiToWide(const char* text, ConvertedText& holder);
