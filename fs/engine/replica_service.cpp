#include "fs/engine/replica_service.h"

#include <ctime>
#include <mutex>
#include <utility>

#include "fs/engine/event_log.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replica_record.h"
#include "fs/engine/replicas.h"

void disable_replica(int k, bool forced, int error) noexcept
{
    // Requests that gave up on a replica together all come here: one
    // departure, one line. (The administrator's "2" is always logged.)
    std::unique_lock<std::mutex> held = hold_records();
    if (!forced && state_of(k) == replica_state::disabled)
        return;
    write_log("disabling replica", replica_at(k).root, forced ? code_forced : 0);
    // The replicas that stay in service record durably that they are
    // ahead, before this one leaves and before the caller replies.
    const std::unique_lock<std::mutex> recorded = record_departure(k, std::move(held));
    replica_at(k).left_for.store(forced ? departure::administrator : departure_for_error(error));
    set_state(k, replica_state::disabled, time(nullptr));
    forget_replica_places(k);
}

void trust_replica(int k, bool forced) noexcept
{
    write_log("trusting replica", replica_at(k).root, forced ? code_forced : 0);
    // Recorded as current before it takes part again.
    const std::unique_lock<std::mutex> recorded = record_return(k);
    forget_replica_places(k);
    replica_at(k).left_for.store(departure::unknown);
    set_state(k, replica_state::in_service);
}
