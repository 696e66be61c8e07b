package orvik.services.posprinterPortComm;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;

/**
 * This build's virtual network printer (tools/virtual_printer) as a child process, for the
 * JVM tests: it listens on a free port of 127.0.0.1, records every byte it receives in a
 * file, answers status requests with 0x12 unless started --silent, and sends what the test
 * gives it through its standard input (--commands). Every wait is bounded; close() ends the
 * program and waits for it.
 */
final class VirtualPrinter implements AutoCloseable {
    private static final long WAIT_MS = 5000;
    private static final long START_MS = 10000;  // a busy emulated core starts programs slowly
    private static final int MAX_SEND = 4096;    // the most bytes one command carries

    private final Process process;
    private final Path record;
    private final OutputStream commands;
    private final Thread reader;
    private final List<String> output = new ArrayList<>();  // its lines so far; guarded by itself
    private final int port;

    /**
     * Starts the printer with further options of the program, such as "--silent",
     * "--close-after", "0" (closes every connection at once) or "--refuse" (holds the port
     * but refuses every connection).
     */
    VirtualPrinter(String... options) throws IOException {
        record = Files.createTempFile("virtual-printer", ".bin");
        List<String> command = new ArrayList<>(List.of(
                Path.of(System.getProperty("tillportcomm.build"), "tools", "virtual_printer").toString(),
                "--port", "0", "--record", record.toString(), "--max-seconds", "120", "--quiet", "--commands"));
        command.addAll(List.of(options));
        try {
            process = new ProcessBuilder(command).redirectErrorStream(true).start();
        } catch (IOException e) {
            Files.deleteIfExists(record);
            throw e;
        }
        commands = process.getOutputStream();
        reader = new Thread(this::collectOutput, "virtual-printer-output");
        reader.setDaemon(true);
        reader.start();
        // "virtual_printer listening on 127.0.0.1 port N", or "refusing".
        String first = awaitLine(line -> true, START_MS);
        if (first == null || !first.matches("virtual_printer (listening|refusing) on 127\\.0\\.0\\.1 port [0-9]+")) {
            close();
            throw new IOException("the virtual printer did not start: " + said());
        }
        port = Integer.parseInt(first.substring(first.lastIndexOf(' ') + 1));
    }

    int port() {
        return port;
    }

    /** Waits up to 5 s until the printer has accepted a connection. */
    void awaitAccepted() {
        if (awaitLine(line -> line.matches("connection [0-9]+ from .*"), WAIT_MS) == null) {
            throw new IllegalStateException("the virtual printer accepted no connection: " + said());
        }
    }

    /** Sends at most 4096 bytes to the library on the newest connection, delayMs after the bytes sent before. */
    void send(byte[] bytes, long delayMs) throws IOException {
        if (bytes.length == 0 || bytes.length > MAX_SEND) throw new IllegalArgumentException(bytes.length + " bytes");
        awaitAccepted();  // a command that comes before the accept finds no connection
        StringBuilder line = new StringBuilder("send ");
        for (byte b : bytes) line.append(String.format("%02x", b & 0xff));
        line.append(' ').append(delayMs).append('\n');
        commands.write(line.toString().getBytes(StandardCharsets.US_ASCII));
        commands.flush();
    }

    /** The bytes received so far, after waiting up to 5 s for at least count of them. */
    byte[] received(int count) throws IOException, InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(WAIT_MS);
        while (Files.size(record) < count && System.nanoTime() < deadline) Thread.sleep(20);
        return Files.readAllBytes(record);
    }

    /** Ends the printer with SIGTERM: its exit status, or -1 when it has not ended within 10 s. */
    int terminate() throws InterruptedException {
        process.destroy();
        return process.waitFor(10, TimeUnit.SECONDS) ? process.exitValue() : -1;
    }

    /** The end of its commands stops the printer; one that does not stop within 5 s is killed. */
    @Override
    public void close() throws IOException {
        try {
            try {
                commands.close();
            } catch (IOException e) {
                // it has ended already
            }
            if (!process.waitFor(WAIT_MS, TimeUnit.MILLISECONDS)) {
                process.destroyForcibly();
                process.waitFor(WAIT_MS, TimeUnit.MILLISECONDS);
            }
            reader.join(WAIT_MS);
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        } finally {
            Files.deleteIfExists(record);
        }
    }

    private void collectOutput() {
        try (BufferedReader lines = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line; (line = lines.readLine()) != null; ) {
                synchronized (output) {
                    output.add(line);
                    output.notifyAll();
                }
            }
        } catch (IOException e) {
            // the output ends with the program
        }
    }

    /** The first line of its output that matches, waiting up to timeoutMs for it; null if none came. */
    private String awaitLine(Predicate<String> wanted, long timeoutMs) {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeoutMs);
        synchronized (output) {
            for (int seen = 0; ; ) {
                for (; seen < output.size(); seen++) {
                    if (wanted.test(output.get(seen))) return output.get(seen);
                }
                long left = TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
                if (left <= 0 || !reader.isAlive()) return null;
                try {
                    output.wait(Math.min(left, 50));
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    return null;
                }
            }
        }
    }

    private String said() {
        synchronized (output) {
            return output.isEmpty() ? "(nothing)" : String.join(" | ", output);
        }
    }
}
