// The Content-Range header of a 206 answer, as servers send it.
#pragma once

#include <cstdint>
#include <string_view>

// "bytes S-E/T" exactly, with decimal numbers that fit 64 bits and S <= E < T;
// anything else (a "*" size, a list, blanks, signs) is refused with false and
// the outputs left alone.
bool parseContentRange(std::string_view text, uint64_t& first, uint64_t& last, uint64_t& total);
