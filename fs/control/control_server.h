// The control thread: starts the control program on two pipes and answers
// its requests (configuration, replica state, disable, trust, resync, the
// progress of a resync, and the healing's probe rounds, which only the
// tests ask for) until the channel ends.
//
// Lifetime and thread safety: the thread reads the replica table, the
// mount point and the control directory, and changes replica states. All
// of these are released by destroy, while the thread may be blocked
// waiting for the next request. The thread therefore serves each request,
// and does everything before its first wait, under the service lock, and
// looks at the state's control_stopped flag each time it takes it;
// stop_control_service takes the same lock to set the flag, so once it
// returns no request is served any more and the thread ends at its next
// wake-up.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

// Started by init when a control directory was given. Never joined.
void start_control_thread() noexcept;

// Called by destroy before the replica table is released: from then on the
// control thread serves no request (it ends at the next one).
void stop_control_service() noexcept;

// Answers one request payload on out: 0, or -errno when the reply could
// not be written. Exposed for the tests, which drive it over their own streams.
int answer_request(const std::string& payload, FILE* out) noexcept;

// The request loop of the control thread over the given streams: reads a
// request, serves it under the service lock, until a read fails or the
// service has been stopped. Exposed for the tests.
void serve_control_requests(FILE* in, FILE* out) noexcept;

// Why the configuration cannot be carried by the channel (more than 255
// replicas: ERANGE; a path longer than a frame holds: ENAMETOOLONG), with
// the path to name in the log line; none when it can.
struct channel_refusal {
    int code;
    std::string path;
};
std::optional<channel_refusal> check_channel_limits() noexcept;
