package orvik.services.posprinterPortComm;

import java.io.File;

/**
 * Emulated USB printers inside this JVM, for tests run under umockdev-wrapper. Backed by
 * the test-only library libtillportcomm_usbtestbed.so in the build tree's tests directory.
 * Create one per test and close it when done.
 */
final class UsbTestbed implements AutoCloseable {
    static {
        String build = System.getProperty("tillportcomm.build");
        System.load(new File(new File(build, "tests"), "libtillportcomm_usbtestbed.so").getAbsolutePath());
    }

    private long bed = create();

    /** Plugs in a printer of the library's vendor; returns its index. */
    int add(int productId, String serial) {
        return add(bed, productId, serial);
    }

    void unplug(int printer) {
        unplug(bed, printer);
    }

    void plugBack(int printer) {
        plugBack(bed, printer);
    }

    void setClaimFails(int printer, boolean fail) {
        setClaimFails(bed, printer, fail);
    }

    /** The printer's next bulk transfer fails with a protocol error. */
    void failNextTransfer(int printer) {
        failNextTransfer(bed, printer);
    }

    /** Bytes the printer answers to the next bulk IN transfer. */
    void queueAnswer(int printer, byte[] bytes) {
        queueAnswer(bed, printer, bytes);
    }

    /** Lengths of the bulk OUT transfers the printer accepted, in order. */
    int[] outLengths(int printer) {
        return outLengths(bed, printer);
    }

    /** Every byte the printer accepted, in order. */
    byte[] received(int printer) {
        return received(bed, printer);
    }

    int claims(int printer) {
        return claims(bed, printer);
    }

    int releases(int printer) {
        return releases(bed, printer);
    }

    /** How often the kernel driver was given the printer back. */
    int attaches(int printer) {
        return attaches(bed, printer);
    }

    @Override
    public void close() {
        if (bed != 0) destroy(bed);
        bed = 0;
    }

    private static native long create();

    private static native void destroy(long bed);

    private static native int add(long bed, int productId, String serial);

    private static native void unplug(long bed, int printer);

    private static native void plugBack(long bed, int printer);

    private static native void setClaimFails(long bed, int printer, boolean fail);

    private static native void failNextTransfer(long bed, int printer);

    private static native void queueAnswer(long bed, int printer, byte[] bytes);

    private static native int[] outLengths(long bed, int printer);

    private static native byte[] received(long bed, int printer);

    private static native int claims(long bed, int printer);

    private static native int releases(long bed, int printer);

    private static native int attaches(long bed, int printer);
}
