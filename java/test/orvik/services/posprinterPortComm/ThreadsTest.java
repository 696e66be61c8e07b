package orvik.services.posprinterPortComm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/** A print thread, a status poller and a closing thread on one network printer, as a service runs them. */
class ThreadsTest {
    private static final int JOBS = 20;
    private static final int JOB_SIZE = 16 * 1024;
    private static final int POLLS = 40;
    private static final byte[] STATUS_REQUEST = {0x10, 0x04, 0x01};

    private final CommonComPort port = new CommonComPort();

    /** Job k: printable bytes only, so no status request can hide in it, and no two jobs alike. */
    private static byte[] job(int k) {
        byte[] bytes = new byte[JOB_SIZE];
        for (int i = 0; i < bytes.length; i++) bytes[i] = (byte) (0x20 + (k * 7 + i) % 95);
        return bytes;
    }

    @Test
    @Timeout(value = 60, unit = TimeUnit.SECONDS)
    void printAndPollTogetherThenCloseWhileAReadWaits() throws Exception {
        ExecutorService threads = Executors.newFixedThreadPool(3);
        List<Throwable> errors = Collections.synchronizedList(new ArrayList<>());
        try (VirtualPrinter printer = new VirtualPrinter()) {
            int id = port.OpenETHERNETDevice("127.0.0.1", printer.port());
            CountDownLatch start = new CountDownLatch(1);
            Future<?> printing = threads.submit(() -> {
                try {
                    start.await();
                    for (int k = 0; k < JOBS; k++) assertEquals(JOB_SIZE, port.WriteToDevice(id, job(k)));
                } catch (Throwable e) {
                    errors.add(e);
                }
            });
            Future<?> polling = threads.submit(() -> {
                try {
                    start.await();
                    for (int i = 0; i < POLLS; i++) {
                        assertEquals(3, port.WriteToDevice(id, STATUS_REQUEST));
                        assertArrayEquals(new int[] {0x12}, port.ReadFromDevice(id, 1));
                    }
                } catch (Throwable e) {
                    errors.add(e);
                }
            });
            start.countDown();
            printing.get(30, TimeUnit.SECONDS);
            polling.get(30, TimeUnit.SECONDS);
            assertEquals(List.of(), errors);

            // The printer got every job whole and in order, and every request whole.
            byte[] received = printer.received(JOBS * JOB_SIZE + POLLS * STATUS_REQUEST.length);
            assertEquals(JOBS * JOB_SIZE + POLLS * STATUS_REQUEST.length, received.length);
            int at = 0;
            int nextJob = 0;
            int requests = 0;
            while (at < received.length) {
                if (received[at] == 0x10) {
                    assertArrayEquals(STATUS_REQUEST, java.util.Arrays.copyOfRange(received, at, at + 3), "request cut at " + at);
                    at += 3;
                    requests++;
                } else {
                    assertTrue(nextJob < JOBS, "more job bytes than jobs at " + at);
                    assertArrayEquals(job(nextJob), java.util.Arrays.copyOfRange(received, at, at + JOB_SIZE),
                            "job " + nextJob + " not whole at " + at);
                    at += JOB_SIZE;
                    nextJob++;
                }
            }
            assertEquals(JOBS, nextJob);
            assertEquals(POLLS, requests);

            // A read waits for an answer that never comes; a close from another thread waits
            // for it to end, and afterwards the ID names no port.
            port.SetTimeoutRX(id, 1500);
            CountDownLatch reading = new CountDownLatch(1);
            Future<Exception> waitingRead = threads.submit(() -> {
                reading.countDown();
                try {
                    port.ReadFromDevice(id, 1);
                    return null;
                } catch (Exception e) {
                    return e;
                }
            });
            assertTrue(reading.await(5, TimeUnit.SECONDS));
            Thread.sleep(200);
            Future<?> closing = threads.submit(() -> port.CloseDevice(id));
            Exception readFailure = waitingRead.get(10, TimeUnit.SECONDS);
            closing.get(10, TimeUnit.SECONDS);
            assertEquals("EthRead Error", readFailure == null ? "answer came" : readFailure.getMessage());
            assertNull(port.ReadFromDevice(id, 1));
            assertEquals(0, port.WriteToDevice(id, STATUS_REQUEST));
        } finally {
            threads.shutdownNow();
            assertTrue(threads.awaitTermination(10, TimeUnit.SECONDS));
        }
    }
}
