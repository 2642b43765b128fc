// The state monitor: announces the daemon, then once a second watches the
// processor and the network devices and carries out queued requests.
#pragma once

void* doCheckState(void* data);
