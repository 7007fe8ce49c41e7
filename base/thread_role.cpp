#include "base/thread_role.h"

namespace {
thread_local const char* t_role = nullptr;
}

void SetThreadRole(const char* role) { t_role = role; }
const char* ThreadRole() { return t_role ? t_role : "unnamed"; }
