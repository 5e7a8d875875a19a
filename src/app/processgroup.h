#pragma once

#include <sys/types.h>

// Whether any process of process group `group` still runs. A member that has ended but not been
// reaped (a zombie) does not count: it holds nothing any more, and a child orphaned by its shell
// is reaped by whoever adopted it, which may be late or never (PID 1 of a container that is not
// an init). kill(-group, 0) counts zombies, and so waited seconds for nothing.
bool processGroupRuns(pid_t group);
