// A replica leaving and rejoining service: the log line, the record the
// other replicas keep of it (replica_record.h), then its new state, in
// that order, so that nothing is acknowledged before the survivors have
// recorded that they are ahead. The replica table (replicas.h) knows
// nothing of records; this is where the two meet.
#pragma once

// Logs "disabling replica" then disables k at the current time; when k
// was in service, the replicas staying in service first record durably
// that they are ahead (replica_record.h). The reason kept (departure.h):
// the administrator's when forced, else the one error gives; a replica
// already disabled keeps the reason it left for.
void disable_replica(int k, bool forced, int error = 0) noexcept;
// Logs "trusting replica", records k as current, then puts it in service.
void trust_replica(int k, bool forced) noexcept;
