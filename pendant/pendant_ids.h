// The pendant's USB identity, as its HID attributes report it.
#pragma once

#include <windows.h>

constexpr USHORT kPendantVendorId = 0x10CE;
constexpr USHORT kPendantProductId = 0xEB93;
