package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * A service stopped while its threads wait in the library: one in a read without limit, one
 * in a write queued behind it. The JVM exits as fast as it would without them.
 */
class ExitTest {
    /** Seconds a JVM may take from System.exit to its end; one that hangs is killed after 20. */
    private static final double EXIT_BOUND = 3.0 * scale();

    private static double scale() {
        String value = System.getenv("TILLPORT_TIME_SCALE");
        return value == null ? 1.0 : Math.max(1.0, Double.parseDouble(value));
    }

    /**
     * The stopped service, in a JVM of its own: opens the printer (args: "tcp PORT" or "usb"),
     * sets no receive limit, starts a read and a write on another thread behind it, says
     * "exiting", and exits.
     */
    public static final class Service {
        public static void main(String[] args) throws Exception {
            CommonComPort port = new CommonComPort();
            UsbTestbed bed = null;
            int id;
            if (args[0].equals("usb")) {
                bed = new UsbTestbed();
                bed.add(0x0A1F, "PRN-1");
                id = port.OpenUSBDevice("0A1F", "1");
            } else {
                id = port.OpenETHERNETDevice("127.0.0.1", Integer.parseInt(args[1]));
            }
            port.SetTimeoutRX(id, 0);
            for (boolean read : new boolean[] {true, false}) {
                CountDownLatch started = new CountDownLatch(1);
                Thread call = new Thread(() -> {
                    started.countDown();
                    try {
                        if (read) {
                            port.ReadFromDevice(id, 1);
                        } else {
                            port.WriteToDevice(id, new byte[] {0x1b, 0x40});
                        }
                    } catch (Exception e) {
                        System.out.println("call ended: " + e.getMessage());
                    }
                });
                call.setDaemon(true);
                call.start();
                started.await();
                Thread.sleep(300);  // the read waits for the printer, the write for the read
            }
            System.out.println("exiting");
            System.out.flush();
            System.exit(0);
        }
    }

    /** Runs the service and returns the seconds from its "exiting" to its end, or -1 when it hung. */
    private static double exitSeconds(String... args) throws Exception {
        List<String> command = new ArrayList<>();
        command.add(System.getProperty("java.home") + File.separator + "bin" + File.separator + "java");
        command.add("-XX:TieredStopAtLevel=1");
        command.add("-XX:+UseSerialGC");
        for (String property : new String[] {"tillportcomm.library", "tillportcomm.build"}) {
            command.add("-D" + property + "=" + System.getProperty(property));
        }
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(Service.class.getName());
        command.addAll(List.of(args));
        Process service = new ProcessBuilder(command).redirectErrorStream(true).start();
        try {
            BufferedReader output = new BufferedReader(new InputStreamReader(service.getInputStream(), StandardCharsets.UTF_8));
            List<String> said = new ArrayList<>();
            for (String line; (line = output.readLine()) != null && !line.equals("exiting"); ) said.add(line);
            long exiting = System.nanoTime();
            assertTrue(service.isAlive() || service.exitValue() == 0, "the service failed: " + said);
            boolean ended = service.waitFor(20, TimeUnit.SECONDS);
            double seconds = (System.nanoTime() - exiting) / 1e9;
            if (!ended) return -1;
            assertEquals(0, service.exitValue(), "the service failed: " + said);
            return seconds;
        } finally {
            service.destroyForcibly();
            service.waitFor(10, TimeUnit.SECONDS);
        }
    }

    @Test
    @Timeout(value = 180, unit = TimeUnit.SECONDS)
    void exitIsNotHeldUpByThreadsWaitingOnANetworkPrinter() throws Exception {
        try (VirtualPrinter printer = new VirtualPrinter("--silent")) {
            double seconds = exitSeconds("tcp", Integer.toString(printer.port()));
            assertTrue(seconds >= 0 && seconds < EXIT_BOUND, "exit took " + (seconds < 0 ? "for ever" : seconds + " s"));
        }
    }

    @Test
    @Timeout(value = 180, unit = TimeUnit.SECONDS)
    void exitIsNotHeldUpByThreadsWaitingOnAUsbPrinter() throws Exception {
        double seconds = exitSeconds("usb");
        assertTrue(seconds >= 0 && seconds < EXIT_BOUND, "exit took " + (seconds < 0 ? "for ever" : seconds + " s"));
    }
}
