// The machine-wide autostart value "dunmoral" under HKLM\...\Run: written at every start (where
// it may be), read by the diagnosis.
#pragma once

#include <string>

namespace autostart {

enum class Outcome {
    kWritten,
    kKeyUnavailable,  // the Run key cannot be opened (no administrator rights): silent
    kRefused,         // the driver's folder can be changed by other users: logged, not written
    kWriteFailed,     // the key opened but the value could not be written
};
// Writes this executable's path as the value, and logs what came of it.
Outcome Register();

// Writes the value for the given executable path; false when the write failed (not when the key
// could not be opened, which *keyOpened tells).
bool WriteValue(const char* exePath, bool* keyOpened);
// The value written for an executable path: quoted when it holds a blank.
std::string ValueFor(const char* exePath);
// The value as it stands; false when there is none.
bool ReadValue(std::string* value);

}  // namespace autostart
