#include "LibusbCalls.h"

#include <dlfcn.h>
#include <libusb.h>

#include <mutex>
#include <map>
#include <set>

namespace {

std::mutex g_mutex;
LibusbCalls g_calls;
int g_started = 0;
std::map<libusb_device**, bool> g_lists;  // list -> taken on the default context
std::set<libusb_device_handle*> g_handles;

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

LibusbCalls LibusbCalls::Now() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

LibusbCalls LibusbCalls::operator-(const LibusbCalls& b) const {
    LibusbCalls d;
    d.inits = inits - b.inits;
    d.exits = exits - b.exits;
    d.lists = lists - b.lists;
    d.frees = frees - b.frees;
    d.opens = opens - b.opens;
    d.closes = closes - b.closes;
    d.claims = claims - b.claims;
    d.releases = releases - b.releases;
    d.transfers = transfers - b.transfers;
    d.unmatched = unmatched - b.unmatched;
    return d;
}

extern "C" {

int libusb_init(libusb_context** ctx) {
    static auto real = Real<int (*)(libusb_context**)>("libusb_init");
    int result = real(ctx);
    if (ctx == nullptr && result == 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_calls.inits;
        ++g_started;
    }
    return result;
}

void libusb_exit(libusb_context* ctx) {
    static auto real = Real<void (*)(libusb_context*)>("libusb_exit");
    if (ctx == nullptr) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_calls.exits;
        if (g_started == 0) {
            ++g_calls.unmatched;
            return;  // would end a start that is not ours: keep the process sound
        }
        --g_started;
    }
    real(ctx);
}

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    static auto real = Real<ssize_t (*)(libusb_context*, libusb_device***)>("libusb_get_device_list");
    ssize_t result = real(ctx, list);
    if (result >= 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (ctx == nullptr) ++g_calls.lists;
        g_lists[*list] = ctx == nullptr;
    }
    return result;
}

void libusb_free_device_list(libusb_device** list, int unref) {
    static auto real = Real<void (*)(libusb_device**, int)>("libusb_free_device_list");
    if (list != nullptr) {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_lists.find(list);
        if (it == g_lists.end()) {
            ++g_calls.unmatched;  // freed already, or never handed out
            return;
        }
        if (it->second) ++g_calls.frees;
        g_lists.erase(it);
    }
    real(list, unref);
}

int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    static auto real = Real<int (*)(libusb_device*, libusb_device_handle**)>("libusb_open");
    int result = real(dev, handle);
    if (result == 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_calls.opens;
        g_handles.insert(*handle);
    }
    return result;
}

void libusb_close(libusb_device_handle* handle) {
    static auto real = Real<void (*)(libusb_device_handle*)>("libusb_close");
    if (handle != nullptr) {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_handles.erase(handle) == 0) {
            ++g_calls.unmatched;
            return;
        }
        ++g_calls.closes;
    }
    real(handle);
}

int libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
    static auto real = Real<int (*)(libusb_device_handle*, int)>("libusb_claim_interface");
    int result = real(handle, interface_number);
    if (result == 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_calls.claims;
    }
    return result;
}

int libusb_release_interface(libusb_device_handle* handle, int interface_number) {
    static auto real = Real<int (*)(libusb_device_handle*, int)>("libusb_release_interface");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_calls.releases;
    }
    return real(handle, interface_number);
}

int libusb_submit_transfer(libusb_transfer* transfer) {
    static auto real = Real<int (*)(libusb_transfer*)>("libusb_submit_transfer");
    if (transfer->type == LIBUSB_TRANSFER_TYPE_BULK) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_calls.transfers;
    }
    return real(transfer);
}

}  // extern "C"
