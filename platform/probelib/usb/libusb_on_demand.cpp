// The libusb calls of the usb backend for a program that does not link
// libusb-1.0: each loads the library (and the udev library it needs) at its
// first use rather than at process start, so that a run that never opens a
// probe (vornic-cli convert) never maps or relocates them. Linked into such a
// program, these definitions take the place of the library's; its package then
// names libusb in Depends itself (packaging/CMakeLists.txt).
// Without the library, the calls fail as libusb would without a USB system:
// libusb_init returns LIBUSB_ERROR_NOT_SUPPORTED and nothing further is called.
#include <dlfcn.h>
#include <libusb.h>

namespace {

void* Library() {
    static void* const handle = ::dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
    return handle;
}

void* Symbol(const char* name) {
    void* library = Library();
    return library != nullptr ? ::dlsym(library, name) : nullptr;
}

}  // namespace

// Defines libusb's function `name` as a call of the library's own, or as
// `fallback` when the library is not there.
#define VORNIC_ON_DEMAND(result, name, parameters, arguments, fallback)              \
    extern "C" result LIBUSB_CALL name parameters {                                  \
        static const auto real = reinterpret_cast<decltype(&(name))>(Symbol(#name)); \
        if (real == nullptr) return fallback;                                        \
        return real arguments;                                                       \
    }

VORNIC_ON_DEMAND(int, libusb_init, (libusb_context * *context), (context),
                 LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(void, libusb_exit, (libusb_context * context), (context), void())
VORNIC_ON_DEMAND(const char*, libusb_strerror, (int code), (code),
                 "libusb-1.0.so.0 could not be loaded")
VORNIC_ON_DEMAND(int, libusb_has_capability, (uint32_t capability), (capability), 0)
VORNIC_ON_DEMAND(ssize_t, libusb_get_device_list, (libusb_context * context, libusb_device*** list),
                 (context, list), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(void, libusb_free_device_list, (libusb_device * *list, int unref), (list, unref),
                 void())
VORNIC_ON_DEMAND(int, libusb_get_device_descriptor,
                 (libusb_device * device, libusb_device_descriptor* descriptor),
                 (device, descriptor), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_get_active_config_descriptor,
                 (libusb_device * device, libusb_config_descriptor** config), (device, config),
                 LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_get_config_descriptor,
                 (libusb_device * device, uint8_t index, libusb_config_descriptor** config),
                 (device, index, config), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(void, libusb_free_config_descriptor, (libusb_config_descriptor * config), (config),
                 void())
VORNIC_ON_DEMAND(uint8_t, libusb_get_bus_number, (libusb_device * device), (device), 0)
VORNIC_ON_DEMAND(uint8_t, libusb_get_device_address, (libusb_device * device), (device), 0)
VORNIC_ON_DEMAND(int, libusb_get_port_numbers,
                 (libusb_device * device, uint8_t* numbers, int length), (device, numbers, length),
                 LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_open, (libusb_device * device, libusb_device_handle** handle),
                 (device, handle), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(void, libusb_close, (libusb_device_handle * handle), (handle), void())
VORNIC_ON_DEMAND(int, libusb_kernel_driver_active, (libusb_device_handle * handle, int number),
                 (handle, number), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_set_auto_detach_kernel_driver,
                 (libusb_device_handle * handle, int enable), (handle, enable),
                 LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_claim_interface, (libusb_device_handle * handle, int number),
                 (handle, number), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_release_interface, (libusb_device_handle * handle, int number),
                 (handle, number), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_clear_halt, (libusb_device_handle * handle, unsigned char endpoint),
                 (handle, endpoint), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(libusb_transfer*, libusb_alloc_transfer, (int packets), (packets), nullptr)
VORNIC_ON_DEMAND(void, libusb_free_transfer, (libusb_transfer * transfer), (transfer), void())
VORNIC_ON_DEMAND(int, libusb_submit_transfer, (libusb_transfer * transfer), (transfer),
                 LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_cancel_transfer, (libusb_transfer * transfer), (transfer),
                 LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(int, libusb_handle_events_timeout_completed,
                 (libusb_context * context, struct timeval* timeout, int* completed),
                 (context, timeout, completed), LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(void, libusb_interrupt_event_handler, (libusb_context * context), (context),
                 void())
VORNIC_ON_DEMAND(int, libusb_hotplug_register_callback,
                 (libusb_context * context, int events, int flags, int vendor, int product,
                  int deviceClass, libusb_hotplug_callback_fn callback, void* user,
                  libusb_hotplug_callback_handle* handle),
                 (context, events, flags, vendor, product, deviceClass, callback, user, handle),
                 LIBUSB_ERROR_NOT_SUPPORTED)
VORNIC_ON_DEMAND(void, libusb_hotplug_deregister_callback,
                 (libusb_context * context, libusb_hotplug_callback_handle handle),
                 (context, handle), void())
