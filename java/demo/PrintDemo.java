import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import orvik.services.posprinterPortComm.CommonComPort;

/**
 * Prints a short sample receipt on a network printer through the library and reads the
 * printer's status back. Arguments: host and TCP port (default 127.0.0.1 9100). The log
 * goes to standard output, so every call and every byte shows there.
 */
public final class PrintDemo {
    private static final byte ESC = 0x1b;
    private static final byte GS = 0x1d;
    private static final byte DLE = 0x10;
    private static final byte EOT = 0x04;

    private PrintDemo() {}

    public static void main(String[] args) {
        String host = args.length > 0 ? args[0] : "127.0.0.1";
        int tcpPort = args.length > 1 ? Integer.parseInt(args[1]) : 9100;
        CommonComPort port = LoadedLibrary.load("PrintDemo");
        port.SetLogType(1, true);

        int id;
        try {
            id = port.OpenETHERNETDevice(host, tcpPort);
        } catch (Exception e) {
            System.out.println("PrintDemo: cannot open the printer at " + host + ":" + tcpPort + ": " + e.getMessage());
            System.exit(1);
            return;
        }
        int status = 0;
        try {
            port.WriteToDevice(id, receipt());
            port.WriteToDevice(id, new byte[] {DLE, EOT, 1});
            int[] answer = port.ReadFromDevice(id, 1);
            status = answer[0];
        } catch (Exception e) {
            System.out.println("PrintDemo: printing failed: " + e.getMessage());
            port.CloseDevice(id);
            System.exit(1);
            return;
        }
        port.CloseDevice(id);
        System.out.println();
        System.out.printf("PrintDemo: receipt sent; printer status 0x%02x: %s%n", status, describe(status));
    }

    /** A sample receipt: initialise, a centred bold heading, three items, a total, feed and cut. */
    static byte[] receipt() {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        bytes(out, ESC, '@');
        bytes(out, ESC, 'a', 1, ESC, 'E', 1);
        text(out, "ORVIK CORNER CAFE\n");
        bytes(out, ESC, 'E', 0);
        text(out, "Till 2 - receipt 0042\n\n");
        bytes(out, ESC, 'a', 0);
        text(out, "Cappuccino             3.20\n");
        text(out, "Cinnamon bun           2.90\n");
        text(out, "Still water            1.50\n");
        text(out, "----------------------------\n");
        bytes(out, ESC, 'E', 1);
        text(out, "TOTAL                  7.60\n");
        bytes(out, ESC, 'E', 0);
        text(out, "Card                   7.60\n\n");
        bytes(out, ESC, 'a', 1);
        text(out, "Thank you!\n");
        bytes(out, ESC, 'd', 3, GS, 'V', 66, 0);
        return out.toByteArray();
    }

    private static void bytes(ByteArrayOutputStream out, int... values) {
        for (int value : values) out.write(value);
    }

    private static void text(ByteArrayOutputStream out, String text) {
        byte[] ascii = text.getBytes(StandardCharsets.US_ASCII);
        out.write(ascii, 0, ascii.length);
    }

    /** Reads the printer status byte of DLE EOT 1. */
    static String describe(int status) {
        if ((status & 0x93) != 0x12) return "not a printer status byte";
        return (status & 0x08) != 0 ? "offline" : "online";
    }
}
