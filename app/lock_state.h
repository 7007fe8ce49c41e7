// The lock: whether pendant keys go to the host. The driver state's enabled and operatorLocked
// change only through these, on the UI thread.
#pragma once

namespace lockstate {

// The operator's own lock and unlock (the tray menu, Ctrl+F11).
void LockByOperator();
void UnlockByOperator();
// An unlock that found no pendant: locked again, still by the operator's wish to use it.
void RefuseUnlock();
// No pendant at start-up: locked until a reconnection finds it.
void LockForWantOfPendant();
// A reconnection ends a lock that only the missing pendant caused, never the operator's; true
// when it unlocked.
bool UnlockByReconnection();
// A fresh start: unlocked.
void Reset();

}  // namespace lockstate
