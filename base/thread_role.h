// What each of the driver's threads is for, as a crash report names it.
#pragma once

// A text with static storage ("UI", "reader", "poller", "link", "log"); "unnamed" for a thread
// that never said.
void SetThreadRole(const char* role);
const char* ThreadRole();
