// Whether anyone but the administrators can change the driver's executable or its folder. The
// machine-wide autostart value runs that file at every user's logon, an administrator's included:
// a file that a standard user can replace, or a folder where one can drop a library beside it,
// would run that user's code in the next administrator's session.
#pragma once

#include <windows.h>

#include <string>

// What the log and the diagnosis say when the driver's file or folder is open to others.
constexpr char kChangeableFolder[] =
    "the driver's folder can be changed by any user: install it under Program Files";

// Why someone other than the system and the administrators could change the driver's own
// executable or the folder it lies in, read from their access lists; empty when no one else can.
// The account that runs this check counts as an administrator only while it is one, and a file
// in its own profile is always open to it, elevated or not.
std::string WhyOthersCanChangeThisDriver();

// The rule for one security descriptor (owner and access list) of what: empty when only the
// system, the administrators, TrustedInstaller and (while it is an administrator) the account
// running this can change it.
std::string WhyOthersCanChange(PSECURITY_DESCRIPTOR descriptor, const std::wstring& what);
