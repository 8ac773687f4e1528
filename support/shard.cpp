#include "support/shard.h"

namespace {

// Per thread: a process's main thread installs it; tests run several processes as threads.
thread_local Shard *installed = nullptr;

} // namespace

Shard *work_shard()
{
    return installed;
}

void set_work_shard(Shard *shard)
{
    installed = shard;
}
