package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * The real library in the ARM JVM on the kernel's own 8250 driver: COM1 is the machine's
 * 16550A UART on PCI, whose line qemu joins to the printer's end. The emulated UART sends at
 * once whatever the baud rate, and reads DCD and CTS as asserted.
 */
class KernelSerialTest {
    private static final int XON = 0x11;
    private static final int XOFF = 0x13;

    private final CommonComPort port = new CommonComPort();
    private final KernelPrinter printer = KernelPrinter.serial();
    private int id = -1;
    private boolean held;  // the printer sent XOFF and may not have sent XON yet

    /** A line a case left held by XOFF goes on before the port closes. */
    @AfterEach
    void restoreAndClose() throws Exception {
        if (held) printer.send(new byte[] {XON});
        if (id >= 0) port.CloseDevice(id);
    }

    @Test
    void everyBaudRateOfTheTableOpensSetsTheLineAndPrintsAJobWhole() throws Exception {
        int[] rates = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
        for (int rate : rates) {
            long from = printer.quietCount(50);
            id = port.OpenRS232Device("COM1", rate, 0);
            assertEquals("speed " + rate + " baud", lineSpeed(), "the 8250 driver's line at " + rate);
            byte[] job = KernelPrinter.job(rate, 1500);
            assertEquals(job.length, port.WriteToDevice(id, job));
            port.CloseDevice(id);
            id = -1;
            assertArrayEquals(job, printer.received(from, job.length), "the job at " + rate + " baud");
        }
    }

    @Test
    void xoffHeldPastTheTimeoutFailsTheWriteAndNothingOfItFollowsTheXon() throws Exception {
        id = port.OpenRS232Device("COM1", 9600, 2);
        port.SetTimeoutTX(id, 500);
        long linesBefore = uartReceived();
        held = true;
        printer.send(new byte[] {XOFF});
        KernelPrinter.await("the UART to take the XOFF", () -> uartReceived() > linesBefore,
                KernelPrinter.scaled(2000));

        long start = System.nanoTime();
        byte[] job = KernelPrinter.job(7, 16 * 1024);
        Exception stopped = assertThrows(Exception.class, () -> port.WriteToDevice(id, job));
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertEquals("Write Error", stopped.getMessage());
        assertTrue(ms >= 490 && ms < 500 + KernelPrinter.scaled(1000), "failed after " + ms + " ms");
        // What the UART sent before the XOFF took hold may have arrived.
        long sent = printer.quietCount(200);

        printer.send(new byte[] {XON});
        held = false;
        byte[] next = "after the XON\n".getBytes(StandardCharsets.US_ASCII);
        assertEquals(next.length, port.WriteToDevice(id, next));
        assertArrayEquals(next, printer.received(sent, next.length), "nothing of the failed job before the next one");
        assertEquals(sent + next.length, printer.quietCount(200));
    }

    @Test
    void aSecondOpenOfAHeldLineFailsAtOnce() throws Exception {
        id = port.OpenRS232Device("COM1", 9600, 0);
        long start = System.nanoTime();
        int[] second = {-1};
        Exception refused = KernelUsbTest.failure(() -> second[0] = port.OpenRS232Device("/dev/ttyS0", 9600, 0));
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        if (refused == null) port.CloseDevice(second[0]);
        assertEquals("Open RS232 Device Error", refused == null ? "the second open succeeded" : refused.getMessage());
        assertTrue(ms < KernelPrinter.scaled(200), "the second open took " + ms + " ms");
        byte[] job = KernelPrinter.job(8, 100);
        long from = printer.quietCount(50);
        assertEquals(job.length, port.WriteToDevice(id, job), "the holding port prints on");
        assertArrayEquals(job, printer.received(from, job.length));
    }

    @Test
    void statusRequestsAreAnswered() throws Exception {
        id = port.OpenRS232Device("COM1", 19200, 0);
        // The printer reports paper out: 1a 32 12 7e.
        int[] answers = {0x1a, 0x32, 0x12, 0x7e};
        for (int n = 1; n <= 4; n++) {
            assertEquals(3, port.WriteToDevice(id, new byte[] {0x10, 0x04, (byte) n}));
            assertArrayEquals(new int[] {answers[n - 1]}, port.ReadFromDevice(id, 1), "DLE EOT " + n);
        }
    }

    /** The line's speed as the 8250 driver has it, read with the machine's stty. */
    private static String lineSpeed() throws IOException, InterruptedException {
        Process stty = new ProcessBuilder("stty", "-F", KernelPrinter.SERIAL_LINE).redirectErrorStream(true).start();
        String said = new String(stty.getInputStream().readAllBytes(), StandardCharsets.US_ASCII);
        assertTrue(stty.waitFor(10, TimeUnit.SECONDS), "stty did not end");
        return said.replaceAll("(?s);.*", "").trim();
    }

    /** The bytes the UART has received (the rx count of the 8250 driver's port 0). */
    private static long uartReceived() {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/tty/driver/serial"))) {
                if (line.startsWith("0: ")) return Long.parseLong(line.replaceAll(".* rx:([0-9]+).*", "$1"));
            }
        } catch (IOException | NumberFormatException e) {
            throw new IllegalStateException("no rx count for ttyS0", e);
        }
        throw new IllegalStateException("no port 0 in /proc/tty/driver/serial");
    }
}
