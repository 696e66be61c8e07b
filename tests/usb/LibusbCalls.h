#ifndef TILLPORTCOMM_TESTS_LIBUSBCALLS_H
#define TILLPORTCOMM_TESTS_LIBUSBCALLS_H

// Counts the library's calls on libusb's default context and on handles, so tests can
// assert that every start, list and handle is given back exactly once. The usb_tests
// program defines these libusb functions itself and forwards each call to the real one;
// calls from inside libusb and on other contexts are not seen.
struct LibusbCalls {
    int inits = 0;        // libusb_init(NULL) that succeeded
    int exits = 0;        // libusb_exit(NULL)
    int lists = 0;        // libusb_get_device_list(NULL, ...) that succeeded
    int frees = 0;        // libusb_free_device_list of a non-null list
    int opens = 0;        // libusb_open that succeeded
    int closes = 0;       // libusb_close of a non-null handle
    int claims = 0;       // libusb_claim_interface that succeeded
    int releases = 0;     // libusb_release_interface
    int transfers = 0;    // bulk transfers submitted
    int unmatched = 0;    // exits without a start, frees of unknown lists, closes of unknown handles

    static LibusbCalls Now();
    LibusbCalls operator-(const LibusbCalls& before) const;
};

#endif
