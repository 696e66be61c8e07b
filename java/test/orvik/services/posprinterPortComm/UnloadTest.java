package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * A service redeployed in an application server: the library is loaded by a class loader of
 * its own, used on all three transports, and dropped with ports still open. Once that loader
 * is collected, the JVM unloads the library, which gives every printer back; a second class
 * loader then opens the same printers at once.
 */
class UnloadTest {
    private static final int PRODUCT = 0x0A1F;
    private static final String LIBRARY = System.getProperty("tillportcomm.library");

    /** CommonComPort of a class loader of its own, driven through reflection. */
    private static final class Deployment {
        private final Object port;

        Deployment() throws Exception {
            URL classes = CommonComPort.class.getProtectionDomain().getCodeSource().getLocation();
            // No parent but the platform's: this loader loads its own CommonComPort, and with it the library.
            URLClassLoader loader = new URLClassLoader(new URL[] {classes}, ClassLoader.getPlatformClassLoader());
            port = loader.loadClass(CommonComPort.class.getName()).getConstructor().newInstance();
        }

        Object call(String name, Object... args) throws Exception {
            for (Method method : port.getClass().getMethods()) {
                if (method.getName().equals(name) && method.getParameterCount() == args.length) {
                    try {
                        return method.invoke(port, args);
                    } catch (InvocationTargetException e) {
                        throw (Exception) e.getCause();
                    }
                }
            }
            throw new NoSuchMethodException(name);
        }

        /** Opens the network printer and the USB printer or the serial line, prints a job on each and leaves them open. */
        void printOnBoth(int tcpPort, boolean usb, byte[] job) throws Exception {
            for (Object id : new Object[] {
                    call("OpenETHERNETDevice", "127.0.0.1", tcpPort),
                    usb ? call("OpenUSBDevice", "0A1F", "1") : call("OpenRS232Device", "COM1", 9600, 0)}) {
                assertEquals(job.length, call("WriteToDevice", id, job));
            }
        }
    }

    private static boolean libraryMapped() throws Exception {
        return Files.readAllLines(Path.of("/proc/self/maps"), StandardCharsets.UTF_8).stream()
                .anyMatch(line -> line.endsWith(LIBRARY));
    }

    /** Collects garbage until the JVM has unloaded the library (bounded). */
    private static boolean awaitUnload() throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (libraryMapped() && System.nanoTime() < deadline) {
            System.gc();
            Thread.sleep(50);
        }
        return !libraryMapped();
    }

    private static final byte[] FIRST = "first deployment\n".getBytes(StandardCharsets.US_ASCII);
    private static final byte[] SECOND = "second deployment\n".getBytes(StandardCharsets.US_ASCII);

    private static byte[] bothJobs() {
        byte[] both = Arrays.copyOf(FIRST, FIRST.length + SECOND.length);
        System.arraycopy(SECOND, 0, both, FIRST.length, SECOND.length);
        return both;
    }

    // One emulated device kind per test: an umockdev testbed is one per process.

    @Test
    @Timeout(value = 240, unit = TimeUnit.SECONDS)
    void unloadGivesTheUsbAndNetworkPrintersBackAndASecondLoaderOpensThemAtOnce() throws Exception {
        // The network printer takes one connection at a time, as many do.
        try (VirtualPrinter network = new VirtualPrinter("--max-connections", "1"); UsbTestbed usb = new UsbTestbed()) {
            int printer = usb.add(PRODUCT, "PRN-1");
            deployAndDrop(network.port(), true, FIRST);
            assertTrue(awaitUnload(), "the library was never unloaded");
            assertEquals(1, usb.releases(printer), "the USB interface is still claimed");
            assertEquals(1, usb.attaches(printer), "the kernel driver did not get the printer back");

            deployAndDrop(network.port(), true, SECOND);
            assertArrayEquals(bothJobs(), network.received(bothJobs().length));
            assertArrayEquals(bothJobs(), usb.received(printer));
            assertTrue(awaitUnload(), "the library was not unloaded a second time");
            assertEquals(2, usb.releases(printer));
        }
    }

    @Test
    @Timeout(value = 240, unit = TimeUnit.SECONDS)
    void unloadGivesTheSerialLineBackAndASecondLoaderOpensItAtOnce() throws Exception {
        try (VirtualPrinter network = new VirtualPrinter("--max-connections", "1"); SerialTestbed serial = new SerialTestbed()) {
            serial.addLine(0);
            deployAndDrop(network.port(), false, FIRST);
            assertTrue(awaitUnload(), "the library was never unloaded");
            assertArrayEquals(FIRST, serial.receive(0, FIRST.length, 2000));

            deployAndDrop(network.port(), false, SECOND);
            assertArrayEquals(bothJobs(), network.received(bothJobs().length));
            assertArrayEquals(SECOND, serial.receive(0, SECOND.length, 2000));
            assertTrue(awaitUnload(), "the library was not unloaded a second time");
        }
    }

    /** A deployment that prints and is dropped with its ports open: nothing refers to it afterwards. */
    private static void deployAndDrop(int tcpPort, boolean usb, byte[] job) throws Exception {
        new Deployment().printOnBoth(tcpPort, usb, job);
        assertTrue(libraryMapped());
    }
}
