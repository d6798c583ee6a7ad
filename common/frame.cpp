#include "common/frame.h"

#include <cctype>
#include <cerrno>
#include <new>

namespace {

constexpr size_t length_digits = 4;

// A read interrupted by a signal is not the end of the channel: both
// programs run beside libfuse's signal handlers, installed without
// SA_RESTART.
int next_char(FILE* in) noexcept
{
    for (;;) {
        errno = 0;
        int c = getc(in);
        if (c != EOF || !ferror(in) || errno != EINTR)
            return c;
        clearerr(in);
    }
}

int hex_value(int c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The length field: white space, then one to four hexadecimal digits. The
// character after the last digit is left on the stream. No sign and no
// "0x" prefix: such a field could only come from a broken writer, and a
// sign would turn into a huge unsigned length.
int read_length(FILE* in, size_t& length) noexcept
{
    int c = next_char(in);
    while (c != EOF && isspace(static_cast<unsigned char>(c)))
        c = next_char(in);

    size_t value = 0;
    size_t digits = 0;
    while (digits < length_digits && c != EOF) {
        int v = hex_value(c);
        if (v < 0)
            break;
        value = value * 16 + static_cast<size_t>(v);
        ++digits;
        if (digits < length_digits)
            c = next_char(in);
        else
            c = EOF;  // the field is complete: read nothing beyond it
    }
    if (digits < length_digits && c != EOF)
        ungetc(c, in);
    if (digits == 0)
        return -1;
    length = value;
    return 0;
}

// Exactly length payload bytes. A payload is read by count, never up to a
// terminator, so that a stray NUL cannot shift the frames that follow.
int read_payload(FILE* in, size_t length, std::string& message) noexcept
{
    try {
        message.resize(length);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    size_t count = 0;
    while (count < length) {
        size_t got = fread(message.data() + count, 1, length - count, in);
        count += got;
        if (count == length)
            break;
        if (ferror(in) && errno == EINTR) {
            clearerr(in);
            continue;
        }
        return -1;  // end of stream or a read error inside the frame
    }
    return 0;
}

int write_with_length(FILE* out, const char* length_format, std::string_view payload) noexcept
{
    if (payload.size() > max_frame_payload) {
        errno = EMSGSIZE;
        return -1;
    }
    if (fprintf(out, length_format, static_cast<unsigned>(payload.size())) < 0)
        return -1;
    if (!payload.empty() && fwrite(payload.data(), 1, payload.size(), out) != payload.size())
        return -1;
    return fflush(out) == 0 ? 0 : -1;
}

}  // namespace

int write_frame(FILE* out, std::string_view payload) noexcept
{
    return write_with_length(out, "%04X", payload);
}

int write_padded_frame(FILE* out, std::string_view payload) noexcept
{
    // After a space-padded length the reader goes on taking digits: a
    // payload that starts with a hexadecimal digit or white space (or an
    // empty one, followed by the next frame's digits) would be misread.
    if (payload.empty() || hex_value(static_cast<unsigned char>(payload[0])) >= 0 ||
        isspace(static_cast<unsigned char>(payload[0]))) {
        errno = EINVAL;
        return -1;
    }
    return write_with_length(out, "%4X", payload);
}

int read_message(FILE* in, std::string& message) noexcept
{
    message.clear();
    size_t length = 0;
    if (read_length(in, length) != 0 || read_payload(in, length, message) != 0) {
        message.clear();
        message.shrink_to_fit();
        return -1;
    }
    return 0;
}
