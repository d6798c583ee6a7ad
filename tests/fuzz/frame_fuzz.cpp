// libFuzzer target for the channel framing: whatever bytes arrive on a
// pipe, read_message must neither overrun nor hand out more than a frame
// holds, and every message it reads must survive write_frame unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    std::vector<char> bytes(data, data + size);
    FILE* in = fmemopen(bytes.data(), bytes.size(), "r");
    if (in == nullptr)
        return 0;
    std::string message;
    size_t consumed = 0;
    while (read_message(in, message) == 0) {
        if (message.size() > max_frame_payload)
            abort();
        consumed += 1 + message.size();  // at least one length digit
        if (consumed > size)
            abort();

        char* written = nullptr;
        size_t written_size = 0;
        FILE* out = open_memstream(&written, &written_size);
        if (out == nullptr || write_frame(out, message) != 0)
            abort();
        fclose(out);
        FILE* back = fmemopen(written, written_size, "r");
        std::string again;
        if (back == nullptr || read_message(back, again) != 0 || again != message)
            abort();
        fclose(back);
        free(written);
    }
    if (!message.empty())
        abort();
    fclose(in);
    return 0;
}
