package orvik.services.posprinterPortComm;

/**
 * Emulated serial lines inside this JVM, for the serial JVM tests: the C++ tests' umockdev
 * testbed (tests/serial/SerialLine.h) in which /dev/ttySn is a pseudo-terminal whose other
 * end this object holds as the printer. Backed by the test-only library
 * libtillportcomm_serialtestbed.so in the build tree; the JVM must run under
 * umockdev-wrapper. One testbed at a time; its failures throw IllegalStateException.
 */
final class SerialTestbed implements AutoCloseable {
    static {
        System.load(System.getProperty("tillportcomm.build") + "/tests/serial/jvm/libtillportcomm_serialtestbed.so");
    }

    private long handle;

    SerialTestbed() {
        handle = create();
    }

    /** Adds /dev/ttyS{index}. */
    void addLine(int index) {
        addLine(handle, index);
    }

    /** An index 0..8 that neither the testbed nor the machine has, or -1. */
    int missingIndex() {
        return missingIndex(handle);
    }

    /** The printer answers. */
    void send(int index, byte[] data) {
        send(handle, index, data);
    }

    /** What the library wrote: up to count bytes, waiting at most timeoutMs for each part. */
    byte[] receive(int index, int count, int timeoutMs) {
        return receive(handle, index, count, timeoutMs);
    }

    /** The line's settings as {c_iflag, c_oflag, c_cflag, c_lflag}. */
    int[] settings(int index) {
        return settings(handle, index);
    }

    @Override
    public void close() {
        if (handle != 0) {
            destroy(handle);
            handle = 0;
        }
    }

    private static native long create();

    private static native void addLine(long handle, int index);

    private static native int missingIndex(long handle);

    private static native void send(long handle, int index, byte[] data);

    private static native byte[] receive(long handle, int index, int count, int timeoutMs);

    private static native int[] settings(long handle, int index);

    private static native void destroy(long handle);
}
