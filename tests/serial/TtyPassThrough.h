#ifndef TILLPORTCOMM_TESTS_TTYPASSTHROUGH_H
#define TILLPORTCOMM_TESTS_TTYPASSTHROUGH_H

#include <umockdev.h>

#include <cerrno>
#include <string>

// umockdev's preload library answers ioctls on emulated nodes itself and knows only the
// termios requests; this "handle-ioctl" handler runs every other request (FIONREAD among
// them) on the real terminal, as the kernel would for a serial port.
inline gboolean TtyPassThrough(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    int nErrno = 0;
    GError* pError = nullptr;
    int nResult = umockdev_ioctl_client_execute(client, &nErrno, &pError);
    if (pError != nullptr) {
        g_error_free(pError);
        nResult = -1;
        nErrno = EIO;
    }
    umockdev_ioctl_client_complete(client, nResult, nErrno);
    return TRUE;
}

inline std::string TtyDevicePath(int index) { return "/dev/ttyS" + std::to_string(index); }

#endif
