// Framing of the control channel between vornelix and vornctl.
//
// A frame is four hexadecimal characters giving the payload length, then
// the payload; frames follow one another with nothing in between. Lengths
// are written zero-padded ("0004info") for fixed texts and space-padded
// ("%4X") for paths, which start with '/' or '.' and so can never be
// mistaken for more length digits.
//
// Conventions: write_frame and write_padded_frame answer 0 or -1 (errno
// set); read_message answers 0 or -1.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline constexpr size_t max_frame_payload = 0xFFFF;

// Writes "%04X" and the payload, then flushes. Payloads longer than
// max_frame_payload are refused with EMSGSIZE.
int write_frame(FILE* out, std::string_view payload) noexcept;

// Writes "%4X" (space-padded) and the payload, then flushes. A payload
// that is empty or starts with a hexadecimal digit or white space is
// refused with EINVAL: the reader would take it for more of the length.
int write_padded_frame(FILE* out, std::string_view payload) noexcept;

// Reads one frame into message (its previous content is dropped first).
// On failure (end of stream, a length that is not hexadecimal, a payload
// cut short, no memory) message is left empty and -1 is returned.
int read_message(FILE* in, std::string& message) noexcept;
