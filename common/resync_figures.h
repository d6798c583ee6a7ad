// How far a running resync has come, as the control channel carries it
// from vornelix to vornctl: the reply to "prog:XX" is "idle" while no
// resync writes replica XX, or "busy DONE TODO BYTES" in decimal (TODO 0
// when the total is not known). A daemon older than the request answers
// "ERR", which reads as idle: the control tree then shows what it always
// showed.
//
// Conventions: format answers the reply text; parse answers false for a
// reply it does not know, leaving figures idle.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct resync_figures {
    bool running = false;
    uint64_t done = 0;   // entries made to match so far
    uint64_t todo = 0;   // entries in all, 0 when not known
    uint64_t bytes = 0;  // bytes of contents written

    friend bool operator==(const resync_figures&, const resync_figures&) = default;
};

std::string format_resync_figures(const resync_figures& figures);
bool parse_resync_figures(std::string_view reply, resync_figures& figures) noexcept;
