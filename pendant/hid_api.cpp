#include "pendant/hid_api.h"

#include <atomic>

namespace {
std::atomic<HidApi*> g_installed{nullptr};
}

HidApi& Hid() {
    HidApi* api = g_installed.load(std::memory_order_acquire);
    return api ? *api : DefaultHidApi();
}

void SetHidApi(HidApi* api) { g_installed.store(api, std::memory_order_release); }
