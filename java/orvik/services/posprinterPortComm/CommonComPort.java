package orvik.services.posprinterPortComm;

/**
 * Byte pipe to a receipt printer on USB, an RS-232 line or TCP, through the native
 * library libtillportcomm&lt;TAG&gt;.so (TAG = ARM32, ARM64 or X64 for the running processor).
 *
 * <p>An open method returns a small port ID (0..31) by which every later call names the
 * port. Failures of an open, a write or a read are thrown as {@link Exception} with the
 * port's error text. A port ID with no open port is ignored: the call does nothing and
 * returns 0 or null. Any thread may call: calls on one port run one at a time, each whole,
 * and a close waits for the call in progress on its port.
 */
public class CommonComPort {
    /** System property naming the library file to load instead of the processor's default. */
    public static final String LIBRARY_PROPERTY = "tillportcomm.library";

    static {
        String explicit = System.getProperty(LIBRARY_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            System.load(explicit);
        } else {
            System.loadLibrary(libraryName(System.getProperty("os.arch", "")));
        }
    }

    /** The library's base name for a processor as Java reports it in {@code os.arch}. */
    public static String libraryName(String osArch) {
        switch (osArch) {
            case "arm":
            case "armv7l":
            case "armhf":
            case "aarch32":
                return "tillportcommARM32";
            case "aarch64":
            case "arm64":
                return "tillportcommARM64";
            case "amd64":
            case "x86_64":
                return "tillportcommX64";
            default:
                throw new UnsatisfiedLinkError("tillportcomm: no library for processor " + osArch);
        }
    }

    /** Log destination: 0 off, 1 standard output, 2 the file named by TILLPORTCOMM_LOG_FILE. */
    public native void SetLogType(int logType, boolean flag);

    /** Closes the port and frees its ID. */
    public native void CloseDevice(int portId);

    /** Discards output not yet sent (serial lines only). */
    public native void ClearPipeTX(int portId);

    /** Discards input received but not yet read (serial lines only). */
    public native void ClearPipeRX(int portId);

    /** Transmit timeout in milliseconds. */
    public native void SetTimeoutTX(int portId, int timeoutMs);

    /** Receive timeout in milliseconds; bounds {@link #ReadFromDevice}. */
    public native void SetTimeoutRX(int portId, int timeoutMs);

    /** Writes all bytes; returns their count, throws when fewer went out. */
    public native int WriteToDevice(int portId, byte[] data) throws Exception;

    /**
     * Collects the printer's answer until {@code expected} bytes arrived or the receive
     * timeout elapsed; each element is one byte, 0..255. Throws when nothing arrived.
     */
    public native int[] ReadFromDevice(int portId, int expected) throws Exception;

    /** Connects to a printer over TCP (IPv4); returns the port ID. */
    public native int OpenETHERNETDevice(String host, int tcpPort) throws Exception;

    /** Finds the USB printer by product ID (4 hex digits) and serial-number digit. */
    public native int OpenUSBDevice(String productId, String address) throws Exception;

    /** Opens COM1..COM9 or /dev/ttyS0../dev/ttyS8 at a baud rate with flow control 0, 1 or 2. */
    public native int OpenRS232Device(String portName, int baudrate, int flowControl) throws Exception;
}
