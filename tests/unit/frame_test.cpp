#include "common/frame.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// A read-only stream over bytes (which may hold NULs).
struct byte_stream {
    std::string bytes;
    FILE* file = nullptr;
    explicit byte_stream(std::string text) : bytes(std::move(text))
    {
        // fmemopen refuses a zero-sized buffer on some C libraries: give it
        // one byte and read nothing of it.
        file = bytes.empty() ? fmemopen(const_cast<char*>(""), 1, "r") : fmemopen(bytes.data(), bytes.size(), "r");
        if (bytes.empty() && file != nullptr)
            fgetc(file);
    }
    ~byte_stream()
    {
        if (file != nullptr)
            fclose(file);
    }
};

// Collects what a writer sends.
struct sink {
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);
    ~sink()
    {
        if (file != nullptr)
            fclose(file);
        free(data);
    }
    std::string text()
    {
        fflush(file);
        return std::string(data, size);
    }
};

std::vector<std::string> read_all(FILE* in)
{
    std::vector<std::string> messages;
    std::string message;
    while (read_message(in, message) == 0)
        messages.push_back(message);
    EXPECT_TRUE(message.empty());
    return messages;
}

TEST(read_message, both_length_forms_carry_the_same_message)
{
    byte_stream zero("0004info");
    byte_stream spaces("   4info");
    std::string a, b;
    ASSERT_EQ(read_message(zero.file, a), 0);
    ASSERT_EQ(read_message(spaces.file, b), 0);
    EXPECT_EQ(a, "info");
    EXPECT_EQ(b, "info");

    byte_stream path("  1C/a/path/of/28/characters/x/x0002OK");
    std::string p;
    ASSERT_EQ(read_message(path.file, p), 0);
    EXPECT_EQ(p, "/a/path/of/28/characters/x/x");
}

TEST(read_message, frames_follow_each_other_directly)
{
    // An empty frame, a frame whose payload starts with digits (taken as
    // payload because the length field ends after four characters), the
    // one-dot root, and a lower-case length.
    byte_stream in("00000004123400011   1.000aabcdefghij");
    EXPECT_EQ(read_all(in.file), (std::vector<std::string>{"", "1234", "1", ".", "abcdefghij"}));
}

TEST(read_message, payload_may_hold_newlines_and_nuls)
{
    byte_stream in(std::string("0005ab\ncd0003a\0b0002OK", 22));
    std::string message;
    ASSERT_EQ(read_message(in.file, message), 0);
    EXPECT_EQ(message, "ab\ncd");
    ASSERT_EQ(read_message(in.file, message), 0);
    EXPECT_EQ(message, std::string("a\0b", 3));
    // The stray NUL did not shift the next frame.
    ASSERT_EQ(read_message(in.file, message), 0);
    EXPECT_EQ(message, "OK");
}

TEST(read_message, failures_leave_the_slot_empty)
{
    const char* broken[] = {
        "",          // end of stream before the length
        "0005ab",    // end of stream inside the payload
        "0004",      // a length and no payload at all
        "zz04info",  // no length digits
        "-001x",     // a sign: would be a huge length if taken
        "    ",      // white space only
    };
    for (const char* text : broken) {
        byte_stream in(text);
        std::string message = "the previous message";
        EXPECT_EQ(read_message(in.file, message), -1) << '"' << text << '"';
        EXPECT_TRUE(message.empty()) << '"' << text << '"';
    }
}

TEST(read_message, previous_message_is_replaced)
{
    byte_stream in("0003one0000");
    std::string message = "left over from before";
    ASSERT_EQ(read_message(in.file, message), 0);
    EXPECT_EQ(message, "one");
    ASSERT_EQ(read_message(in.file, message), 0);
    EXPECT_EQ(message, "");
}

TEST(write_frame, lengths_in_both_forms)
{
    sink out;
    ASSERT_EQ(write_frame(out.file, "info"), 0);
    ASSERT_EQ(write_frame(out.file, ""), 0);
    ASSERT_EQ(write_frame(out.file, "stat:0A"), 0);
    ASSERT_EQ(write_padded_frame(out.file, "/data/r1"), 0);
    ASSERT_EQ(write_padded_frame(out.file, "."), 0);
    ASSERT_EQ(write_padded_frame(out.file, "/a/path/of/28/characters/x/x"), 0);
    EXPECT_EQ(out.text(), "0004info00000007stat:0A   8/data/r1   1.  1C/a/path/of/28/characters/x/x");
}

TEST(write_frame, refuses_what_cannot_be_read_back)
{
    sink out;
    errno = 0;
    EXPECT_EQ(write_frame(out.file, std::string(max_frame_payload + 1, 'x')), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    // After a space-padded length the reader would take these for digits.
    for (const char* payload : {"", "abc", "1/x", " /x", "F"}) {
        errno = 0;
        EXPECT_EQ(write_padded_frame(out.file, payload), -1) << '"' << payload << '"';
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(out.text(), "");
}

TEST(write_frame, largest_payload_round_trips)
{
    sink out;
    const std::string big = "/" + std::string(max_frame_payload - 1, 'p');
    ASSERT_EQ(write_padded_frame(out.file, big), 0);
    ASSERT_EQ(write_frame(out.file, "OK"), 0);
    const std::string bytes = out.text();
    EXPECT_EQ(bytes.substr(0, 4), "FFFF");
    byte_stream in(bytes);
    EXPECT_EQ(read_all(in.file), (std::vector<std::string>{big, "OK"}));
}

// Whatever the bytes, the reader never overruns a frame, never hands out
// more than a frame holds, and stops at the end of the stream.
TEST(read_message, random_streams)
{
    std::mt19937 random(20261209);
    const std::string alphabet("0123456789ABCDEFabcdef \n\t/.x-+\0", 31);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes(random() % 64, '\0');
        for (char& c : bytes)
            c = (round % 2 == 0) ? static_cast<char>(random()) : alphabet[random() % alphabet.size()];
        byte_stream in(bytes);
        std::string message;
        size_t consumed = 0;
        int frames = 0;
        while (read_message(in.file, message) == 0) {
            ASSERT_LE(message.size(), max_frame_payload);
            consumed += 1 + message.size();  // at least one length digit
            ASSERT_LE(consumed, bytes.size());
            ASSERT_LT(++frames, 64);
        }
        EXPECT_TRUE(message.empty());
    }
}

// Frames written by either writer read back as they were sent.
TEST(read_message, random_frames_round_trip)
{
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> sent;
        sink out;
        const int count = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < count; ++i) {
            std::string payload(random() % 300, '\0');
            for (char& c : payload)
                c = static_cast<char>(1 + random() % 255);
            if (random() % 2 == 0) {
                payload.insert(0, "/");
                ASSERT_EQ(write_padded_frame(out.file, payload), 0);
            } else {
                ASSERT_EQ(write_frame(out.file, payload), 0);
            }
            sent.push_back(payload);
        }
        byte_stream in(out.text());
        EXPECT_EQ(read_all(in.file), sent);
    }
}

}  // namespace
