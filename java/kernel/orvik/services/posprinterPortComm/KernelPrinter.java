package orvik.services.posprinterPortComm;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;

/**
 * A printer that tests/kernel/guest.sh plays with tools/device_printer inside the emulated
 * ARM machine: the device side of a USB printer gadget ("usb1", "usb2", found by the library
 * as product {@link #PRODUCT} with serial numbers KT-0001 and KT-0002) or the far end of the
 * machine's 16550 UART ("serial", on {@link #SERIAL_LINE}). Commands reach the program through
 * its FIFO and each is answered by a line of its output; what it received is in its record
 * file. Every wait is bounded.
 */
final class KernelPrinter {
    private static final Path PLACE = Path.of(requiredProperty("tillportcomm.kernel.printers"));
    private static final Properties PRINTERS = load(PLACE.resolve("printers.properties"));
    static final String PRODUCT = PRINTERS.getProperty("usb.product", "").toUpperCase();
    static final String SERIAL_LINE = PRINTERS.getProperty("serial.line", "");
    private static final long ANSWER_MS = scaled(5000);

    private static final KernelPrinter USB1 = new KernelPrinter("usb1", PRINTERS.getProperty("usb.1.interface"));
    private static final KernelPrinter USB2 = new KernelPrinter("usb2", PRINTERS.getProperty("usb.2.interface"));
    private static final KernelPrinter SERIAL = new KernelPrinter("serial", null);

    private final String name;
    private final Path commands;
    private final Path record;
    private final Path output;
    private final Path usbInterface;  // the gadget's interface as the host's USB stack sees it
    private boolean paused;
    private boolean unplugged;

    private KernelPrinter(String name, String usbInterface) {
        this.name = name;
        this.commands = PLACE.resolve(name + ".commands");
        this.record = PLACE.resolve(name + ".record");
        this.output = PLACE.resolve(name + ".out");
        this.usbInterface = usbInterface == null ? null : Path.of(usbInterface);
    }

    /** Gadget n (1 or 2): serial number KT-000n, so the library's address n. */
    static KernelPrinter usb(int n) {
        return n == 1 ? USB1 : USB2;
    }

    static KernelPrinter serial() {
        return SERIAL;
    }

    /** Upper bounds on elapsed time stretch with the machine's TILLPORT_TIME_SCALE; lower bounds never. */
    static long scaled(long ms) {
        String scale = System.getenv("TILLPORT_TIME_SCALE");
        double factor = 1;
        try {
            if (scale != null) factor = Math.max(1, Double.parseDouble(scale));
        } catch (NumberFormatException e) {
            // unscaled
        }
        return Math.round(ms * factor);
    }

    /** Printable bytes only (no status request can hide in them), different for each seed. */
    static byte[] job(int seed, int length) {
        byte[] bytes = new byte[length];
        for (int i = 0; i < length; i++) bytes[i] = (byte) (0x20 + (seed * 31 + i * 7 + i / 95) % 95);
        return bytes;
    }

    /** Writes the bytes to the device in one write: on a gadget one transfer, one packet up to 512 bytes. */
    void send(byte[] bytes) throws IOException, InterruptedException {
        StringBuilder line = new StringBuilder("send ");
        for (byte b : bytes) line.append(String.format("%02x", b & 0xff));
        command(line.toString());
    }

    /** Stops reading: a gadget keeps what its request buffers took, and the host's writes then wait. */
    void pause() throws IOException, InterruptedException {
        command("pause");
        paused = true;
    }

    void resume() throws IOException, InterruptedException {
        command("resume");
        paused = false;
    }

    /** Powers the gadget's hub port off and waits until the host's USB stack has let the printer go. */
    void unplug() throws IOException, InterruptedException {
        unplugged = true;
        command("unplug");
        Path device = usbInterface.getParent().resolve(usbInterface.getFileName().toString().replaceAll(":.*", ""));
        await("the printer to leave the bus", () -> !Files.exists(device), ANSWER_MS);
    }

    /** Powers the port on and waits until the host has enumerated the printer and usblp has it again. */
    void replug() throws IOException, InterruptedException {
        command("replug");
        await("the printer to be back with usblp", () -> "usblp".equals(driver()), scaled(10000));
        unplugged = false;
    }

    /**
     * After a case: reading again, on the bus, and usblp bound, as at the start. A printer a
     * case left without its driver gets usblp bound again, so the next case starts as every
     * case does.
     */
    void restore() throws IOException, InterruptedException {
        if (paused) resume();
        if (unplugged) {
            command("replug");
            await("the printer to be back", () -> Files.exists(usbInterface), scaled(10000));
            unplugged = false;
        }
        if (usbInterface == null || "usblp".equals(driver())) return;
        // A replugged printer gets usblp from the kernel's own probe, which may come first.
        if (!within(() -> !driver().isEmpty(), scaled(500))) {
            try {
                Files.write(Path.of("/sys/bus/usb/drivers/usblp/bind"),
                        usbInterface.getFileName().toString().getBytes(StandardCharsets.US_ASCII));
            } catch (IOException e) {
                // bound by the kernel in the meantime
            }
        }
        await("usblp to have the printer", () -> "usblp".equals(driver()), ANSWER_MS);
    }

    /** The kernel driver bound to the gadget's interface on the host side, or "" for none. */
    String driver() {
        try {
            return Files.readSymbolicLink(usbInterface.resolve("driver")).getFileName().toString();
        } catch (NoSuchFileException e) {
            return "";
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    long receivedCount() throws IOException {
        return Files.size(record);
    }

    /** The bytes received from offset on, after waiting up to 5 s (scaled) for count of them. */
    byte[] received(long offset, long count) throws IOException, InterruptedException {
        await(count + " bytes at " + name, () -> sizeOf(record) >= offset + count, ANSWER_MS);
        byte[] all = Files.readAllBytes(record);
        return Arrays.copyOfRange(all, (int) Math.min(offset, all.length), all.length);
    }

    /** The count once nothing more has arrived for quietMs, waiting at most 5 s (scaled). */
    long quietCount(long quietMs) throws IOException, InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(ANSWER_MS);
        long count = receivedCount();
        long since = System.nanoTime();
        while (System.nanoTime() < deadline) {
            Thread.sleep(10);
            long now = receivedCount();
            if (now != count) {
                count = now;
                since = System.nanoTime();
            } else if (System.nanoTime() - since >= TimeUnit.MILLISECONDS.toNanos(quietMs)) {
                return count;
            }
        }
        throw new IllegalStateException(name + " kept receiving for " + ANSWER_MS + " ms");
    }

    /** Waits until the condition holds, at most limitMs; fails naming what did not happen. */
    static void await(String what, BooleanSupplier condition, long limitMs) throws InterruptedException {
        if (!within(condition, limitMs)) throw new IllegalStateException("waited " + limitMs + " ms for " + what);
    }

    /** Whether the condition came to hold within limitMs. */
    private static boolean within(BooleanSupplier condition, long limitMs) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(limitMs);
        while (!condition.getAsBoolean()) {
            if (System.nanoTime() > deadline) return false;
            Thread.sleep(10);
        }
        return true;
    }

    /** Sends one command line and waits for the program's answer to it; an "error" answer throws. */
    private synchronized void command(String line) throws IOException, InterruptedException {
        int before = answers().size();
        // The program holds its FIFO open for reading and writing: this open never waits.
        try (OutputStream fifo = new FileOutputStream(commands.toFile())) {
            fifo.write((line + "\n").getBytes(StandardCharsets.US_ASCII));
        }
        await(name + " to answer \"" + line.split(" ")[0] + "\"", () -> answers().size() > before, ANSWER_MS);
        String answer = answers().get(before);
        if (!answer.startsWith("ok ")) throw new IOException(name + ": " + answer);
    }

    /** The program's answer lines so far. */
    private List<String> answers() {
        try {
            return Files.readAllLines(output).stream()
                    .filter(l -> l.startsWith("ok ") || l.startsWith("error "))
                    .collect(java.util.stream.Collectors.toList());
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    private static long sizeOf(Path path) {
        try {
            return Files.size(path);
        } catch (IOException e) {
            return -1;
        }
    }

    private static String requiredProperty(String key) {
        String value = System.getProperty(key);
        if (value == null) {
            throw new IllegalStateException(key + " is not set: these tests run only in the emulated ARM machine "
                    + "(scripts/kernel-tests.sh)");
        }
        return value;
    }

    private static Properties load(Path path) {
        Properties properties = new Properties();
        try (InputStream in = Files.newInputStream(path)) {
            properties.load(in);
        } catch (IOException e) {
            throw new IllegalStateException("no " + path, e);
        }
        return properties;
    }
}
