#include "app/lock_state.h"

#include "app/driver_state.h"

namespace lockstate {

void LockByOperator() {
    g_state.enabled = 0;
    g_state.operatorLocked = 1;
}

void UnlockByOperator() {
    g_state.enabled = 1;
    g_state.operatorLocked = 0;
}

void RefuseUnlock() { g_state.enabled = 0; }

void LockForWantOfPendant() { g_state.enabled = 0; }

bool UnlockByReconnection() {
    if (g_state.operatorLocked || g_state.enabled == 1) return false;
    g_state.enabled = 1;
    return true;
}

void Reset() {
    g_state.enabled = 1;
    g_state.operatorLocked = 0;
}

}  // namespace lockstate
