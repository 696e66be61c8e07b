import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicLong;
import orvik.services.posprinterPortComm.CommonComPort;

/**
 * Loopback measurements of the TCP path, each beside the same exchange over a plain
 * java.net.Socket to the same peer: (a) a status round trip, 3 bytes out and 1 byte back;
 * (b) a 1 MiB job in one call and in 1 KiB calls; (c) what the log adds to the 1 MiB job,
 * written to the file TILLPORTCOMM_LOG_FILE names, against a plain write of the same number
 * of bytes to a file in the same folder; (d) a receipt-sized job: how soon its last byte
 * arrives, and a status round trip right after it. Not a test: it prints figures.
 */
public final class EthBenchmark {
    private static final byte[] STATUS_REQUEST = {0x10, 0x04, 1};
    private static final int MIB = 1 << 20;
    private static final int KIB = 1 << 10;
    private static final int RECEIPT = 4000;

    private EthBenchmark() {}

    /** A printer stand-in that answers every 3 bytes with one status byte. */
    private static ServerSocket statusPeer() throws IOException {
        ServerSocket server = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        serve(server, socket -> {
            InputStream in = socket.getInputStream();
            OutputStream out = socket.getOutputStream();
            byte[] buffer = new byte[4096];
            long pending = 0;
            for (int n; (n = in.read(buffer)) > 0; ) {
                pending += n;
                for (; pending >= 3; pending -= 3) out.write(0x12);
            }
        });
        return server;
    }

    /**
     * A printer stand-in that takes everything, counts it, and answers each status request
     * DLE EOT n in the stream with one status byte (jobs sent to it hold no DLE).
     */
    private static ServerSocket printerPeer(AtomicLong count) throws IOException {
        ServerSocket server = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        serve(server, socket -> {
            socket.setTcpNoDelay(true);
            InputStream in = socket.getInputStream();
            OutputStream out = socket.getOutputStream();
            byte[] buffer = new byte[256 * KIB];
            int matched = 0;  // bytes of DLE EOT seen at the end of the stream so far
            for (int n; (n = in.read(buffer)) > 0; ) {
                for (int i = 0; i < n; i++) {
                    byte b = buffer[i];
                    if (matched == 2 && b >= 1 && b <= 4) {
                        out.write(0x12);
                        matched = 0;
                    } else {
                        matched = b == 0x10 ? 1 : (matched == 1 && b == 0x04 ? 2 : 0);
                    }
                }
                count.addAndGet(n);
            }
        });
        return server;
    }

    private interface Connection {
        void serve(Socket socket) throws IOException;
    }

    private static void serve(ServerSocket server, Connection connection) {
        Thread acceptor = new Thread(() -> {
            while (!server.isClosed()) {
                try {
                    Socket socket = server.accept();
                    Thread worker = new Thread(() -> {
                        try (Socket open = socket) {
                            connection.serve(open);
                        } catch (IOException e) {
                            // connection ended
                        }
                    });
                    worker.setDaemon(true);
                    worker.start();
                } catch (IOException e) {
                    return;
                }
            }
        });
        acceptor.setDaemon(true);
        acceptor.start();
    }

    private interface Job {
        void run() throws Exception;
    }

    /** Time of one run of the job, in nanoseconds. */
    private static long time(Job job) throws Exception {
        long start = System.nanoTime();
        job.run();
        return System.nanoTime() - start;
    }

    private static double median(long[] times) {
        long[] sorted = times.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    /** Median time of one run of the job, in nanoseconds, over the given runs. */
    private static double median(int runs, Job job) throws Exception {
        long[] times = new long[runs];
        for (int i = 0; i < runs; i++) times[i] = time(job);
        return median(times);
    }

    private static void awaitCount(AtomicLong count, long target) {
        while (count.get() < target) Thread.yield();
    }

    private static double mibPerSecond(double nanos) {
        return 1e9 / nanos;  // one job is 1 MiB
    }

    private static void statusRoundTrip(CommonComPort port, int roundTrips) throws Exception {
        ServerSocket status = statusPeer();
        int id = port.OpenETHERNETDevice("127.0.0.1", status.getLocalPort());
        Socket plain = new Socket(InetAddress.getLoopbackAddress(), status.getLocalPort());
        OutputStream plainOut = plain.getOutputStream();
        InputStream plainIn = plain.getInputStream();
        Job nativeTrip = () -> {
            port.WriteToDevice(id, STATUS_REQUEST);
            if (port.ReadFromDevice(id, 1).length != 1) throw new IllegalStateException("no status");
        };
        Job plainTrip = () -> {
            plainOut.write(STATUS_REQUEST);
            if (plainIn.read() < 0) throw new IllegalStateException("no status");
        };
        median(roundTrips, nativeTrip);  // warm-up of both paths
        median(roundTrips, plainTrip);
        double nativeRtt = 0, plainRtt = 0;
        for (int round = 0; round < 3; round++) {  // interleaved, so both see the same machine
            nativeRtt += median(roundTrips, nativeTrip) / 3;
            plainRtt += median(roundTrips, plainTrip) / 3;
        }
        plain.close();
        port.CloseDevice(id);
        status.close();
        System.out.printf("(a) status round trip: library %.1f us, plain socket %.1f us, ratio %.2f%n",
                nativeRtt / 1e3, plainRtt / 1e3, nativeRtt / plainRtt);
    }

    public static void main(String[] args) throws Exception {
        int roundTrips = args.length > 0 ? Integer.parseInt(args[0]) : 2000;
        int jobs = args.length > 1 ? Integer.parseInt(args[1]) : 20;
        CommonComPort port = new CommonComPort();
        port.SetLogType(0, false);

        // (a) status round trip.
        statusRoundTrip(port, roundTrips);

        // (b) 1 MiB job.
        AtomicLong count = new AtomicLong();
        ServerSocket sink = printerPeer(count);
        int job = port.OpenETHERNETDevice("127.0.0.1", sink.getLocalPort());
        Socket plainSink = new Socket(InetAddress.getLoopbackAddress(), sink.getLocalPort());
        OutputStream sinkOut = plainSink.getOutputStream();
        byte[] data = new byte[MIB];
        for (int i = 0; i < data.length; i++) data[i] = (byte) (0x20 + (i * 7 + (i >> 10)) % 0x5f);  // no DLE
        Job nativeOne = () -> {
            long target = count.get() + MIB;
            port.WriteToDevice(job, data);
            awaitCount(count, target);
        };
        Job nativeKib = () -> {
            long target = count.get() + MIB;
            byte[] piece = new byte[KIB];
            for (int off = 0; off < MIB; off += KIB) {
                System.arraycopy(data, off, piece, 0, KIB);
                port.WriteToDevice(job, piece);
            }
            awaitCount(count, target);
        };
        Job plainOne = () -> {
            long target = count.get() + MIB;
            sinkOut.write(data);
            awaitCount(count, target);
        };
        Job plainKib = () -> {
            long target = count.get() + MIB;
            byte[] piece = new byte[KIB];
            for (int off = 0; off < MIB; off += KIB) {
                System.arraycopy(data, off, piece, 0, KIB);
                sinkOut.write(piece);
            }
            awaitCount(count, target);
        };
        for (Job warm : new Job[] {nativeOne, nativeKib, plainOne, plainKib}) median(3, warm);
        long[] n1 = new long[jobs], p1 = new long[jobs];
        for (int i = 0; i < jobs; i++) {  // interleaved, so both see the same machine
            n1[i] = time(nativeOne);
            p1[i] = time(plainOne);
        }
        double nk = median(jobs, nativeKib), pk = median(jobs, plainKib);
        System.out.printf("(b) 1 MiB in one call: library %.0f MiB/s, plain socket %.0f MiB/s, ratio %.2f%n",
                mibPerSecond(median(n1)), mibPerSecond(median(p1)), median(p1) / median(n1));
        System.out.printf("    1 MiB in 1 KiB calls: library %.0f MiB/s, plain socket %.0f MiB/s, ratio %.2f%n",
                mibPerSecond(nk), mibPerSecond(pk), pk / nk);

        // (c) what the log adds to the same job, against a plain write of as many bytes.
        String logName = System.getenv().getOrDefault("TILLPORTCOMM_LOG_FILE", "tillportcomm.log");
        Path logPath = Paths.get(logName).toAbsolutePath();
        port.SetLogType(2, true);
        long before = Files.size(logPath);
        nativeOne.run();
        long logBytes = Files.size(logPath) - before;  // one job's lines and dump
        Path plainPath = logPath.resolveSibling(logPath.getFileName() + ".plain");
        ByteBuffer text = ByteBuffer.allocateDirect((int) logBytes);
        try (FileChannel plainFile = FileChannel.open(plainPath, StandardOpenOption.CREATE, StandardOpenOption.WRITE)) {
            Job plainWrite = () -> {
                text.clear();
                while (text.hasRemaining()) plainFile.write(text);
            };
            int rounds = Math.max(5, jobs / 2);
            long[] on = new long[rounds], off = new long[rounds], write = new long[rounds];
            for (int i = 0; i < rounds; i++) {  // interleaved, so all three see the same machine
                port.SetLogType(2, true);
                on[i] = time(nativeOne);
                port.SetLogType(0, false);
                off[i] = time(nativeOne);
                plainFile.truncate(0);
                write[i] = time(plainWrite);
            }
            double added = median(on) - median(off);
            System.out.printf("(c) 1 MiB in one call with the log on to %s: %.1f ms per job, %.1f ms with it off:"
                    + " the log adds %.1f ms for %d bytes of log%n", logName, median(on) / 1e6, median(off) / 1e6,
                    added / 1e6, logBytes);
            System.out.printf("    a plain write of %d bytes to a file in the same folder: %.1f ms;"
                    + " the log adds %.1fx that%n", logBytes, median(write) / 1e6, added / median(write));
        } finally {
            Files.deleteIfExists(plainPath);
        }

        // (d) a receipt: when its last byte arrives, and a status round trip right after it.
        Socket plainPrinter = new Socket(InetAddress.getLoopbackAddress(), sink.getLocalPort());
        plainPrinter.setTcpNoDelay(true);  // as the library's socket
        OutputStream printerOut = plainPrinter.getOutputStream();
        InputStream printerIn = plainPrinter.getInputStream();
        byte[] receipt = Arrays.copyOf(data, RECEIPT);
        Job nativeReceipt = () -> {
            long target = count.get() + RECEIPT;
            port.WriteToDevice(job, receipt);
            awaitCount(count, target);
        };
        Job plainReceipt = () -> {
            long target = count.get() + RECEIPT;
            printerOut.write(receipt);
            awaitCount(count, target);
        };
        Job nativeStatus = () -> {
            port.WriteToDevice(job, STATUS_REQUEST);
            if (port.ReadFromDevice(job, 1).length != 1) throw new IllegalStateException("no status");
        };
        Job plainStatus = () -> {
            printerOut.write(STATUS_REQUEST);
            if (printerIn.read() < 0) throw new IllegalStateException("no status");
        };
        int samples = Math.max(50, roundTrips / 10);
        long[] nd = new long[samples], pd = new long[samples], ns = new long[samples], ps = new long[samples];
        for (int i = 0; i < samples; i++) {
            nd[i] = time(nativeReceipt);
            pd[i] = time(plainReceipt);
            port.WriteToDevice(job, receipt);
            ns[i] = time(nativeStatus);
            printerOut.write(receipt);
            ps[i] = time(plainStatus);
        }
        System.out.printf("(d) %d-byte receipt, its last byte at the printer after: library %.1f us,"
                + " plain socket %.1f us, ratio %.2f%n", RECEIPT, median(nd) / 1e3, median(pd) / 1e3,
                median(nd) / median(pd));
        System.out.printf("    status round trip right after a receipt: library %.1f us, plain socket %.1f us,"
                + " ratio %.2f%n", median(ns) / 1e3, median(ps) / 1e3, median(ns) / median(ps));

        plainPrinter.close();
        plainSink.close();
        port.CloseDevice(job);
        sink.close();
    }
}
