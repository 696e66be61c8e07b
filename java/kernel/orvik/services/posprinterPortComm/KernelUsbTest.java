package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * The real library in the ARM JVM on the kernel's own USB stack: two printer gadgets on
 * dummy_hcd, enumerated by the kernel with its printer driver usblp bound to them, reached
 * through usbfs with real URBs; unplugged and replugged by powering their hub port.
 */
class KernelUsbTest {
    private static final String READ_FAILED = "Read timeout! No data read";

    private final CommonComPort port = new CommonComPort();
    private final List<Integer> opened = new ArrayList<>();
    private final ExecutorService threads = Executors.newFixedThreadPool(2);

    private int open(int address) throws Exception {
        int id = port.OpenUSBDevice(KernelPrinter.PRODUCT, Integer.toString(address));
        opened.add(id);
        return id;
    }

    @AfterEach
    void closeAndRestore() throws Exception {
        for (int id : opened) port.CloseDevice(id);
        threads.shutdownNow();
        assertTrue(threads.awaitTermination(10, TimeUnit.SECONDS), "a call of the case never ended");
        KernelPrinter.usb(1).restore();
        KernelPrinter.usb(2).restore();
    }

    @Test
    void printersAreFoundByProductAndSerialDigitAndEachThreadsJobsReachOnlyItsOwn() throws Exception {
        KernelPrinter first = KernelPrinter.usb(1);
        KernelPrinter second = KernelPrinter.usb(2);
        long[] from = {first.receivedCount(), second.receivedCount()};
        Exception none = assertThrows(Exception.class, () -> port.OpenUSBDevice("0B2E", "1"));
        assertEquals("", none.getMessage(), "no printer of another product");

        int jobs = 6;
        int size = 4500;
        List<Future<?>> printing = new ArrayList<>();
        for (int address : new int[] {1, 2}) {
            printing.add(threads.submit(() -> {
                int id = port.OpenUSBDevice(KernelPrinter.PRODUCT.toLowerCase(), Integer.toString(address));
                try {
                    for (int k = 0; k < jobs; k++) {
                        assertEquals(size, port.WriteToDevice(id, KernelPrinter.job(address * 100 + k, size)));
                    }
                } finally {
                    port.CloseDevice(id);
                }
                return null;
            }));
        }
        for (Future<?> thread : printing) thread.get(60, TimeUnit.SECONDS);

        for (int address : new int[] {1, 2}) {
            ByteArrayOutputStream expected = new ByteArrayOutputStream();
            for (int k = 0; k < jobs; k++) expected.write(KernelPrinter.job(address * 100 + k, size));
            KernelPrinter printer = KernelPrinter.usb(address);
            assertArrayEquals(expected.toByteArray(), printer.received(from[address - 1], jobs * size),
                    "what printer " + address + " got");
            assertEquals(from[address - 1] + jobs * size, printer.quietCount(200), "printer " + address + " got more");
        }
    }

    @Test
    void kernelDriverIsBoundBeforeOpenDetachedWhileThePortHoldsThePrinterAndBackAtClose() throws Exception {
        KernelPrinter printer = KernelPrinter.usb(1);
        assertEquals("usblp", printer.driver());
        int id = open(1);
        // usbfs is the kernel's side of the port's claim.
        assertEquals("usbfs", printer.driver(), "detached while the port holds the printer");
        assertEquals(3000, port.WriteToDevice(id, KernelPrinter.job(1, 3000)));
        assertEquals("usbfs", printer.driver());
        assertEquals("usblp", KernelPrinter.usb(2).driver(), "the other printer keeps its driver");

        port.CloseDevice(id);
        opened.clear();
        assertEquals("usblp", printer.driver(), "given back at CloseDevice");
    }

    @Test
    void answersComeInWholePacketsAndAFiveBytePacketIsReadAsOneThenFourBytes() throws Exception {
        int id = open(1);
        assertEquals(3, port.WriteToDevice(id, new byte[] {0x10, 0x04, 0x01}));
        assertArrayEquals(new int[] {0x12}, port.ReadFromDevice(id, 1), "the status answer");

        // One packet of 5 bytes for a request of 1: the rest waits in the port for the next read.
        KernelPrinter.usb(1).send(new byte[] {0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
        assertArrayEquals(new int[] {0x1a}, port.ReadFromDevice(id, 1));
        assertArrayEquals(new int[] {0x2b, 0x3c, 0x4d, 0x5e}, port.ReadFromDevice(id, 4));
    }

    @Test
    void aReadThatGetsNothingEndsAtItsTimeout() throws Exception {
        int id = open(1);
        port.SetTimeoutRX(id, 300);
        long start = System.nanoTime();
        Exception silent = threads.submit(() -> failure(() -> port.ReadFromDevice(id, 4)))
                .get(KernelPrinter.scaled(5000), TimeUnit.MILLISECONDS);
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertEquals(READ_FAILED, silent == null ? "an answer came" : silent.getMessage());
        assertTrue(ms >= 290 && ms < 300 + KernelPrinter.scaled(700), ms + " ms");
        // The port closed itself and the next write finds the printer again.
        assertEquals(10, port.WriteToDevice(id, KernelPrinter.job(2, 10)));
    }

    @Test
    void unplugDuringAJobFailsItInTimeAndAfterReplugTheNextJobPrints() throws Exception {
        KernelPrinter printer = KernelPrinter.usb(1);
        int id = open(1);
        port.SetTimeoutTX(id, 1000);
        // A printer that takes no more holds the job until the unplug.
        printer.pause();
        byte[] stalled = KernelPrinter.job(3, 256 * 1024);
        Future<Exception> job = threads.submit(() -> failure(() -> port.WriteToDevice(id, stalled)));
        Thread.sleep(300);
        long unplugged = System.nanoTime();
        printer.unplug();
        Exception failed = job.get(10, TimeUnit.SECONDS);
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - unplugged);
        assertEquals("Write Error", failed == null ? "the write went through" : failed.getMessage());
        assertTrue(ms < 1000 + 1000, "the write failed " + ms + " ms after the unplug");

        // The port closed for rediscovery: while the printer is away the next write cannot find it.
        Exception away = assertThrows(Exception.class, () -> port.WriteToDevice(id, KernelPrinter.job(4, 10)));
        assertEquals("Write Error---> error to reinit device", away.getMessage());

        printer.resume();
        printer.replug();
        long from = printer.quietCount(200);
        byte[] next = KernelPrinter.job(5, 20000);
        assertEquals(next.length, port.WriteToDevice(id, next));
        assertArrayEquals(next, printer.received(from, next.length));
    }

    @Test
    void unplugEndsAReadThatWaitsWithoutLimitWithinTwoSeconds() throws Exception {
        int id = open(1);
        port.SetTimeoutRX(id, 0);
        Future<Exception> read = threads.submit(() -> failure(() -> port.ReadFromDevice(id, 1)));
        Thread.sleep(300);
        long unplugged = System.nanoTime();
        KernelPrinter.usb(1).unplug();
        Exception ended = read.get(10, TimeUnit.SECONDS);
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - unplugged);
        assertEquals(READ_FAILED, ended == null ? "an answer came" : ended.getMessage());
        assertTrue(ms < 2000, "the read ended " + ms + " ms after the unplug");
    }

    @Test
    void closeFromAnotherThreadEndsAReadThatWaitsWithoutLimit() throws Exception {
        int id = open(1);
        port.SetTimeoutRX(id, 0);
        Future<Exception> read = threads.submit(() -> failure(() -> port.ReadFromDevice(id, 1)));
        Thread.sleep(300);
        long closing = System.nanoTime();
        Future<?> close = threads.submit(() -> port.CloseDevice(id));
        Exception ended = read.get(10, TimeUnit.SECONDS);
        close.get(10, TimeUnit.SECONDS);
        opened.clear();
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - closing);
        assertEquals(READ_FAILED, ended == null ? "an answer came" : ended.getMessage());
        // Well before the close's 2 s pause, which only a write in progress may take.
        assertTrue(ms < 1500, "read and close ended " + ms + " ms after the close began");
        assertEquals("usblp", KernelPrinter.usb(1).driver());
    }

    @Test
    void aPrinterThatStopsReadingFailsTheWriteAtItsTimeoutAndTheLogCountsWhatItGot() throws Exception {
        KernelPrinter printer = KernelPrinter.usb(1);
        int id = open(1);
        port.SetTimeoutTX(id, 500);
        long from = printer.quietCount(100);
        printer.pause();
        byte[] job = KernelPrinter.job(6, 64 * 1024);
        Path log = Path.of(System.getenv("TILLPORTCOMM_LOG_FILE"));
        long logFrom = Files.exists(log) ? Files.size(log) : 0;
        port.SetLogType(2, true);
        long start = System.nanoTime();
        Exception failed;
        try {
            failed = assertThrows(Exception.class, () -> port.WriteToDevice(id, job));
        } finally {
            port.SetLogType(2, false);
        }
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertEquals("Write Error", failed.getMessage());
        assertTrue(ms >= 490 && ms < 500 + KernelPrinter.scaled(1000), "failed after " + ms + " ms");

        printer.resume();
        long got = printer.quietCount(300) - from;
        String logged = new String(Files.readAllBytes(log), StandardCharsets.ISO_8859_1).substring((int) logFrom);
        Matcher count = Pattern.compile("ERROR: Write Error\\(([0-9]+)/65536\\)").matcher(logged);
        assertTrue(count.find(), "no Write Error(n/65536) in the log");
        assertEquals(got, Long.parseLong(count.group(1)), "the log's count against what the printer got");
        assertTrue(got > 0 && got < job.length, got + " bytes");
        assertArrayEquals(Arrays.copyOf(job, (int) got), printer.received(from, got));
    }

    interface Call {
        Object run() throws Exception;
    }

    /** The exception the call threw, or null when it returned. */
    static Exception failure(Call call) {
        try {
            call.run();
            return null;
        } catch (Exception e) {
            return e;
        }
    }
}
