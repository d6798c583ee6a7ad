// The control thread: starts the control program on two pipes and answers
// its requests (configuration, replica state, disable, trust) until the
// channel ends.
#pragma once

#include <cstdio>
#include <string>

// Started by init when a control directory was given. Never joined.
void start_control_thread() noexcept;

// Called by destroy before the replica table is released: from then on the
// control thread serves no request (it ends at the next one).
void stop_control_service() noexcept;

// Answers one request payload on out. Exposed for the tests, which drive
// it over their own streams.
void answer_request(const std::string& payload, FILE* out) noexcept;
